#include "support/FaultServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace testsupport {

namespace {

struct Endpoint {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = 0;
};

Endpoint endpoint(const std::string& address, int port) {
    Endpoint e;
    if (address.find(':') != std::string::npos) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&e.storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, address.c_str(), &a->sin6_addr);
        e.length = sizeof *a;
        e.family = AF_INET6;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&e.storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address.c_str(), &a->sin_addr);
        e.length = sizeof *a;
        e.family = AF_INET;
    }
    return e;
}

int boundPort(int s) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(s, reinterpret_cast<sockaddr*>(&ss), &len);
    return ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                                    : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

void sendAll(int s, const std::string& data) {
    std::size_t off = 0;
    while (off < data.size()) {
        const ssize_t n = ::send(s, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<std::size_t>(n);
    }
}

}  // namespace

int FaultServer::closedPort(const std::string& address) {
    const Endpoint e = endpoint(address, 0);
    const int s = ::socket(e.family, SOCK_STREAM, 0);
    ::bind(s, reinterpret_cast<const sockaddr*>(&e.storage), e.length);
    const int port = boundPort(s);
    ::close(s);
    return port;
}

FaultServer::FaultServer(Mode mode, std::string payload, const std::string& address, int port)
    : mode_(mode), payload_(std::move(payload)) {
    const Endpoint e = endpoint(address, port);
    family_ = e.family;
    listener_ = ::socket(e.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (mode == SlowReader) {
        int small = 4096;  // accepted sockets inherit it: the client's writes back up
        setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&e.storage), e.length) != 0)
        throw std::runtime_error("fault server cannot bind " + address + ":" + std::to_string(port) + ": " +
                                 std::strerror(errno));
    ::listen(listener_, mode == Silent ? 0 : 16);
    port_ = boundPort(listener_);
    if (pipe2(stopPipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (mode == Silent) {
        // Fill the accept queue ourselves; the kernel then drops new SYNs.
        for (int i = 0; i < 2; ++i) {
            const int c = ::socket(e.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            Endpoint self = endpoint(address, port_);
            ::connect(c, reinterpret_cast<const sockaddr*>(&self.storage), self.length);
            fillers_.push_back(c);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return;
    }
    thread_ = std::thread([this] { run(); });
}

FaultServer::~FaultServer() {
    if (stopPipe_[1] >= 0) {
        const char b = 1;
        (void)!::write(stopPipe_[1], &b, 1);
    }
    if (thread_.joinable()) thread_.join();
    for (int s : held_) ::close(s);
    for (int s : fillers_) ::close(s);
    ::close(listener_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
}

std::string FaultServer::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void FaultServer::run() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        ++connections_;
        serve(client);
    }
}

void FaultServer::serve(int client) {
    switch (mode_) {
        case AcceptAndClose:
            ::close(client);
            return;
        case ResetMidStream: {
            sendAll(client, payload_);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            linger l{1, 0};
            setsockopt(client, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            ::close(client);
            return;
        }
        case NeverAnswer:
            held_.push_back(client);
            return;
        case SendPayload:
            sendAll(client, payload_);
            held_.push_back(client);
            return;
        case SlowReader: {
            char buf[2048];
            for (;;) {
                pollfd fds[2] = {{client, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
                if (::poll(fds, 2, -1) < 0) continue;
                if (fds[1].revents) break;
                const ssize_t n = ::recv(client, buf, sizeof buf, 0);
                if (n <= 0) break;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    received_.append(buf, static_cast<std::size_t>(n));
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            ::close(client);
            return;
        }
        case Silent:
            return;
    }
}

}  // namespace testsupport

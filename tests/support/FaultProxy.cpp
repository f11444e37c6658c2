#include "support/FaultProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "support/LoopbackSocket.h"

namespace testsupport {

FaultProxy::FaultProxy(int listenPort, int serverPort, int delayMs) : serverPort_(serverPort), delayMs_(delayMs) {
    // Close-on-exec throughout: a peer process forked by the test must not
    // hold a copy of a connection, or closing it here would not end it.
    if (::pipe2(wake_, O_CLOEXEC) != 0) return;
    listener_ = listenOnLoopback(listenPort);
    if (listener_ >= 0) thread_ = std::thread([this] { run(); });
}

FaultProxy::~FaultProxy() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        (void)!::write(wake_[1], "x", 1);
        thread_.join();
    }
    for (Link& link : links_) close(link, false);
    if (listener_ >= 0) ::close(listener_);
    for (int fd : wake_)
        if (fd >= 0) ::close(fd);
}

void FaultProxy::command(Command c) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable()) return;
    pending_ = c;
    (void)!::write(wake_[1], "x", 1);
    done_.wait_for(lock, std::chrono::seconds(5), [this] { return pending_ == None; });
}

void FaultProxy::close(Link& link, bool reset) {
    if (reset) {
        // Closing with a zero linger time sends RST instead of FIN.
        const linger now{1, 0};
        ::setsockopt(link.client, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        ::setsockopt(link.server, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    }
    ::close(link.client);
    ::close(link.server);
    link.client = link.server = -1;
}

void FaultProxy::deliverDue() {
    const auto now = std::chrono::steady_clock::now();
    while (!held_.empty() && held_.front().due <= now) {
        const Chunk chunk = std::move(held_.front());
        held_.pop_front();
        for (Link& link : links_) {
            if (link.id != chunk.link || link.client < 0) continue;
            if (!sendAll(chunk.toServer ? link.server : link.client, chunk.data.data(), chunk.data.size()))
                close(link, false);
        }
    }
}

void FaultProxy::accept() {
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    if (closed_) {
        ::close(client);
        return;
    }
    ++accepted_;
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(serverPort_);
    if (::connect(server, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(server);
        ::close(client);
        return;
    }
    // A transparent hop: no Nagle here, and no delayed acknowledgements
    // (quick-ack after every read) that the server's own Nagle would wait
    // for; the ends keep their own behaviour.
    const int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    links_.push_back({client, server, false, nextLinkId_++});
}

void FaultProxy::run() {
    char buffer[16384];
    // Bounded: the destructor stops it.
    for (;;) {
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        for (const Link& link : links_) {
            // A silent link is not even read: both peers' data stay queued.
            fds.push_back({link.silent ? -1 : link.client, POLLIN, 0});
            fds.push_back({link.silent ? -1 : link.server, POLLIN, 0});
        }
        int waitMs = 1000;
        if (!held_.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(held_.front().due -
                                                                                     std::chrono::steady_clock::now());
            waitMs = static_cast<int>(std::max<long long>(0, left.count()));
        }
        const int ready = ::poll(fds.data(), fds.size(), waitMs);
        deliverDue();
        if (ready <= 0) continue;
        if (fds[0].revents) {
            (void)!::read(wake_[0], buffer, sizeof buffer);
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) return;
            if (pending_ != None) {
                for (Link& link : links_) {
                    if (pending_ == Reset) close(link, true);
                    else link.silent = true;
                }
                if (pending_ == Reset) links_.clear();
                pending_ = None;
                done_.notify_all();
            }
            continue;
        }
        const std::size_t polled = links_.size();
        if (fds[1].revents & POLLIN) accept();
        for (std::size_t i = 0; i < polled; ++i) {
            Link& link = links_[i];
            for (int side = 0; side < 2 && link.client >= 0; ++side) {
                if (!(fds[2 + 2 * i + side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const int from = side == 0 ? link.client : link.server;
                const int to = side == 0 ? link.server : link.client;
                const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
                const int one = 1;
                ::setsockopt(from, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
                if (n > 0 && delayMs_ > 0) {
                    held_.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs_), link.id,
                                     side == 0, std::string(buffer, static_cast<std::size_t>(n))});
                    continue;
                }
                if (n <= 0 || !sendAll(to, buffer, static_cast<std::size_t>(n))) close(link, false);
            }
        }
        links_.erase(std::remove_if(links_.begin(), links_.end(), [](const Link& l) { return l.client < 0; }),
                     links_.end());
    }
}

}  // namespace testsupport

// BSD sockets, poll and glibc's resolver.
#include "transport/Platform.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <resolv.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <stdexcept>

namespace tern {
namespace platform {

namespace {

int fd(SocketHandle s) { return static_cast<int>(s); }

// Remaining time until a deadline, for ppoll; null means no limit.
struct Deadline {
    bool infinite;
    timespec end{};
    explicit Deadline(long long timeoutUs) : infinite(timeoutUs < 0) {
        if (infinite) return;
        clock_gettime(CLOCK_MONOTONIC, &end);
        end.tv_sec += static_cast<time_t>(timeoutUs / 1000000);
        end.tv_nsec += static_cast<long>(timeoutUs % 1000000) * 1000;
        if (end.tv_nsec >= 1000000000) {
            end.tv_sec += 1;
            end.tv_nsec -= 1000000000;
        }
    }
    const timespec* remaining(timespec& out) const {
        if (infinite) return nullptr;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long ns = (static_cast<long long>(end.tv_sec) - now.tv_sec) * 1000000000LL + (end.tv_nsec - now.tv_nsec);
        if (ns < 0) ns = 0;
        out.tv_sec = static_cast<time_t>(ns / 1000000000LL);
        out.tv_nsec = static_cast<long>(ns % 1000000000LL);
        return &out;
    }
};

// Polls the socket for the events and the waker for readability; retries
// when a signal interrupts. Returns poll's count, with revents filled in.
int pollWith(pollfd (&fds)[2], int count, const Deadline& deadline) {
    for (;;) {
        timespec t;
        const int r = ppoll(fds, static_cast<nfds_t>(count), deadline.remaining(t), nullptr);
        if (r >= 0 || errno != EINTR) return r;
    }
}

}  // namespace

Waker::Waker() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("cannot create a wake-up pipe");
    read_ = fds[0];
    write_ = fds[1];
}

Waker::~Waker() {
    ::close(fd(read_));
    ::close(fd(write_));
}

void Waker::signal() {
    const char b = 1;
    while (::write(fd(write_), &b, 1) < 0 && errno == EINTR) {
    }
}

void Waker::clear() {
    char drain[64];
    while (::read(fd(read_), drain, sizeof drain) > 0) {
    }
}

std::vector<NetAddress> resolveHost(const std::string& host, unsigned short port) {
    std::vector<NetAddress> out;
    if (host.empty()) return out;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) return out;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(NetAddress::storage)) continue;
        NetAddress a;
        std::memcpy(a.storage, ai->ai_addr, ai->ai_addrlen);
        a.length = static_cast<int>(ai->ai_addrlen);
        a.family = ai->ai_family;
        char text[INET6_ADDRSTRLEN] = "?";
        if (ai->ai_family == AF_INET6) {
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(ai->ai_addr)->sin6_addr, text, sizeof text);
            a.text = std::string("[") + text + "]:" + service;
        } else if (ai->ai_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr, text, sizeof text);
            a.text = std::string(text) + ":" + service;
        } else {
            continue;
        }
        out.push_back(a);
    }
    freeaddrinfo(list);
    return out;
}

SocketHandle openStreamSocket(const NetAddress& address) {
    const int s = ::socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) return kInvalidSocket;
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Stanzas are small and interactive: send them at once.
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

void shutdownWrite(SocketHandle s) {
    if (s >= 0) ::shutdown(static_cast<int>(s), SHUT_WR);
}

void closeSocket(SocketHandle s) {
    if (s >= 0) ::close(fd(s));
}

ConnectOutcome connectWithin(SocketHandle s, const NetAddress& address, int timeoutMs, Waker* waker) {
    if (::connect(fd(s), reinterpret_cast<const sockaddr*>(address.storage),
                  static_cast<socklen_t>(address.length)) == 0)
        return ConnectOutcome::Connected;
    if (errno != EINPROGRESS && errno != EINTR) return ConnectOutcome::Refused;
    pollfd fds[2] = {{fd(s), POLLOUT, 0}, {waker ? fd(waker->handle()) : -1, POLLIN, 0}};
    const int r = pollWith(fds, waker ? 2 : 1, Deadline(static_cast<long long>(timeoutMs) * 1000));
    if (r < 0) return ConnectOutcome::Refused;
    if (waker && (fds[1].revents & POLLIN)) return ConnectOutcome::Cancelled;
    if (r == 0) return ConnectOutcome::TimedOut;
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd(s), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) return ConnectOutcome::Refused;
    return ConnectOutcome::Connected;
}

WaitResult waitReadable(SocketHandle s, long long timeoutUs, Waker* waker) {
    pollfd fds[2] = {{fd(s), POLLIN, 0}, {waker ? fd(waker->handle()) : -1, POLLIN, 0}};
    const int r = pollWith(fds, waker ? 2 : 1, Deadline(timeoutUs));
    if (r < 0) return WaitResult::Error;
    if (waker && (fds[1].revents & POLLIN)) return WaitResult::Woken;
    if (r == 0) return WaitResult::Timeout;
    return WaitResult::Ready;  // data, end of stream or an error: the read tells
}

WaitResult waitWritable(SocketHandle s, long long timeoutUs, Waker* waker) {
    pollfd fds[2] = {{fd(s), POLLOUT, 0}, {waker ? fd(waker->handle()) : -1, POLLIN, 0}};
    const int r = pollWith(fds, waker ? 2 : 1, Deadline(timeoutUs));
    if (r < 0) return WaitResult::Error;
    if (r == 0) return WaitResult::Timeout;
    if (fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) return WaitResult::Ready;
    if (waker && (fds[1].revents & POLLIN)) return WaitResult::Woken;
    return WaitResult::Error;
}

long receiveSome(SocketHandle s, char* buffer, std::size_t length) {
    for (;;) {
        const ssize_t n = ::recv(fd(s), buffer, length, 0);
#ifdef TCP_QUICKACK
        // Servers write small segments with Nagle's algorithm on (a TLS
        // session ticket, then the stream header): a delayed acknowledgement
        // here holds the second one back for 40 ms. Linux drops quick-ack
        // mode on its own, so it is asked for again after every read that
        // emptied the socket; full reads mean a bulk transfer, where it
        // would only cost a system call per buffer.
        if (n > 0 && static_cast<std::size_t>(n) < length) {
            int one = 1;
            setsockopt(fd(s), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        }
#endif
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
        return -1;
    }
}

long sendSome(SocketHandle s, const char* data, std::size_t length) {
    for (;;) {
        const ssize_t n = ::send(fd(s), data, length, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
        return -1;
    }
}

DnsStatus querySrv(const std::string& name, std::vector<SrvRecord>& records) {
    // A resolver state of our own per query: res_query's global one is not
    // safe when a login and a registration resolve at the same time.
    struct __res_state state;
    std::memset(&state, 0, sizeof state);
    if (res_ninit(&state) != 0) return DnsStatus::Failed;
    state.retrans = 2;  // seconds per try; bounded so that a log-out never waits long
    state.retry = 2;
    std::vector<unsigned char> answer(NS_MAXMSG);
    const int len = res_nquery(&state, name.c_str(), ns_c_in, ns_t_srv, answer.data(),
                               static_cast<int>(answer.size()));
    if (len < 0) {
        const int herr = state.res_h_errno;
        res_nclose(&state);
        return herr == HOST_NOT_FOUND || herr == NO_DATA ? DnsStatus::NoRecords : DnsStatus::Failed;
    }
    res_nclose(&state);
    ns_msg msg;
    if (ns_initparse(answer.data(), len, &msg) < 0) return DnsStatus::Failed;
    const int count = ns_msg_count(msg, ns_s_an);
    for (int i = 0; i < count; ++i) {
        ns_rr rr;
        if (ns_parserr(&msg, ns_s_an, i, &rr) < 0) continue;
        if (ns_rr_type(rr) != ns_t_srv || ns_rr_rdlen(rr) < 7) continue;
        const unsigned char* rdata = ns_rr_rdata(rr);
        char target[NS_MAXDNAME];
        if (dn_expand(ns_msg_base(msg), ns_msg_end(msg), rdata + 6, target, sizeof target) < 0) continue;
        SrvRecord r;
        r.priority = ns_get16(rdata);
        r.weight = ns_get16(rdata + 2);
        r.port = ns_get16(rdata + 4);
        r.target = target;
        records.push_back(r);
    }
    return records.empty() ? DnsStatus::NoRecords : DnsStatus::Ok;
}

void fillRandom(void* buffer, std::size_t length) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        const ssize_t n = getrandom(p, length, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("the system's random source failed");
        }
        p += n;
        length -= static_cast<std::size_t>(n);
    }
}

void keepCodeLoaded() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Opening the object that holds this function again with NODELETE
        // makes every later dlclose of it leave it mapped; in a program
        // linked statically this names the program itself and changes nothing.
        Dl_info self;
        if (dladdr(reinterpret_cast<void*>(&keepCodeLoaded), &self) && self.dli_fname)
            dlopen(self.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
    });
}

}  // namespace platform
}  // namespace tern

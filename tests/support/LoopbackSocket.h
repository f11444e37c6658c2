// Loopback sockets for the tests' servers and proxies.
#ifndef PARLEY_TESTS_SUPPORT_LOOPBACKSOCKET_H
#define PARLEY_TESTS_SUPPORT_LOOPBACKSOCKET_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace testsupport {

inline sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A listening socket on 127.0.0.1:port (close-on-exec), or -1.
inline int listenOnLoopback(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in a = loopback(port);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 && ::listen(s, 16) == 0) return s;
    ::close(s);
    return -1;
}

inline bool sendAll(int s, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(s, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace testsupport

#endif

// Loopback sockets for the benchmarks' in-process servers and raw clients.
#ifndef PARLEY_BENCH_LOOPBACK_H
#define PARLEY_BENCH_LOOPBACK_H

#include "../tests/support/LoopbackSocket.h"

namespace bench {

inline sockaddr_in loopbackAddress(int port) { return testsupport::loopback(port); }

// A listening socket on 127.0.0.1 with a port the kernel picks (in port).
inline int listenOnLoopback(int& port, int backlog = 1) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loopbackAddress(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, backlog);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

inline int connectToLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = loopbackAddress(port);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    return fd;
}

}  // namespace bench

#endif

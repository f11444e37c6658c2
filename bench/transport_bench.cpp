// NetworkTCPC's receive path against a plain recv loop with the same
// 1024-byte buffer, over loopback in the same run, and the CPU an idle
// connection burns while it waits for data that never comes.
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Loopback.h"
#include "transport/NetworkTCPC.h"

using namespace tern;

namespace {

constexpr std::size_t kTotal = 512u * 1024 * 1024;

[[noreturn]] void failRun(const char* why) {
    std::fprintf(stderr, "transport_bench: %s\n", why);
    std::exit(1);
}

// Accepts one connection and writes kTotal bytes into it as fast as it goes.
struct Sender {
    int listener;
    int port;
    std::thread thread;
    explicit Sender(bool silent = false) {
        listener = bench::listenOnLoopback(port);
        thread = std::thread([this, silent] {
            const int c = ::accept(listener, nullptr, nullptr);
            if (silent) {
                char b;
                ::recv(c, &b, 1, 0);  // until the client goes away
            } else {
                const std::string block(1 << 20, 'x');
                for (std::size_t sent = 0; sent < kTotal;) {
                    const ssize_t n = ::send(c, block.data(), std::min(block.size(), kTotal - sent), MSG_NOSIGNAL);
                    if (n <= 0) break;
                    sent += static_cast<std::size_t>(n);
                }
            }
            ::close(c);
        });
    }
    ~Sender() {
        thread.join();
        ::close(listener);
    }
};

struct Counter : NetworkDataHandler {
    std::size_t bytes = 0;
    void onDataReceived(NetworkUtil*, const std::string& d) override { bytes += d.size(); }
    void onConnected(NetworkUtil*) override {}
    void onDisconnected(NetworkUtil* c, ConnectionError) override { c->cleanup(); }
};

double viaConnection() {
    Sender s;
    Counter counter;
    NetworkTCPC c(&counter, nullptr, "127.0.0.1", s.port);
    const auto t0 = std::chrono::steady_clock::now();
    if (c.connect() != NoError) failRun("NetworkTCPC did not connect");
    c.receiveLoop();
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (counter.bytes != kTotal) failRun("NetworkTCPC did not receive everything");
    return static_cast<double>(counter.bytes) / secs / 1e6;
}

double viaRecv() {
    Sender s;
    const auto t0 = std::chrono::steady_clock::now();
    const int fd = bench::connectToLoopback(s.port);
    char buf[1024];
    std::size_t bytes = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        bytes += static_cast<std::size_t>(n);
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ::close(fd);
    if (bytes != kTotal) failRun("the plain recv loop did not receive everything");
    return static_cast<double>(bytes) / secs / 1e6;
}

double threadCpuMs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    std::vector<double> ours, plain;
    for (int round = 0; round < 5; ++round) {
        if (round % 2 == 0) {
            ours.push_back(viaConnection());
            plain.push_back(viaRecv());
        } else {
            plain.push_back(viaRecv());
            ours.push_back(viaConnection());
        }
    }
    std::printf("%zu MB over loopback per pass, 1024-byte reads, 5 passes each\n", kTotal >> 20);
    std::printf("NetworkTCPC    %8.1f MB/s (median)\n", median(ours));
    std::printf("plain recv     %8.1f MB/s (median)\n", median(plain));

    {
        Sender silent(true);
        Counter counter;
        NetworkTCPC c(&counter, nullptr, "127.0.0.1", silent.port);
        if (c.connect() != NoError) failRun("NetworkTCPC did not connect to the silent server");
        const double cpu0 = threadCpuMs();
        const auto t0 = std::chrono::steady_clock::now();
        c.receiveOnce(5 * 1000 * 1000);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("idle wait: %.2f s of waiting for data cost %.3f ms of CPU\n", wall, threadCpuMs() - cpu0);
        c.cleanup();
    }
    std::printf("transport_vs_recv: %.2f\n", median(ours) / median(plain));
    return 0;
}

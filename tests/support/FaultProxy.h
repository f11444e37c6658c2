// A TCP proxy on loopback between a client and a real server, for the
// faults of real networks: every connection it carries can be reset (RST
// both ways) or made silent (nothing read or written, sockets kept open, as
// behind a dead NAT mapping). Connections made afterwards are carried as
// usual. With a delay, every chunk is held back that long in each
// direction: a slow link without losing anything.
#ifndef PARLEY_TESTS_SUPPORT_FAULTPROXY_H
#define PARLEY_TESTS_SUPPORT_FAULTPROXY_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class FaultProxy {
public:
    // Listens on 127.0.0.1:listenPort and carries to 127.0.0.1:serverPort.
    FaultProxy(int listenPort, int serverPort, int delayMs = 0);
    ~FaultProxy();
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    bool listening() const { return listener_ >= 0; }
    // Connections accepted so far.
    int connections() const { return accepted_.load(); }
    // What happens to the connections open now; returns once done.
    void resetAll() { command(Reset); }
    void silenceAll() { command(Silence); }
    // While closed, new connections are accepted and closed at once (the
    // client sees the end of the stream); open ones are carried as usual.
    void setClosed(bool closed) { closed_ = closed; }

private:
    enum Command { None, Reset, Silence };
    struct Link {
        int client;
        int server;
        bool silent;
        int id;
    };
    struct Chunk {  // held back until due
        std::chrono::steady_clock::time_point due;
        int link;
        bool toServer;
        std::string data;
    };
    void command(Command c);
    void run();
    void accept();
    void close(Link& link, bool reset);
    void deliverDue();

    int listener_ = -1;
    int serverPort_;
    int wake_[2] = {-1, -1};
    int delayMs_;
    std::vector<Link> links_;  // the proxy thread's
    std::deque<Chunk> held_;   // the proxy thread's, in the order due
    int nextLinkId_ = 0;
    std::atomic<int> accepted_{0};
    std::atomic<bool> closed_{false};
    std::mutex mutex_;
    std::condition_variable done_;
    Command pending_ = None;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace testsupport

#endif

// A TCP proxy on loopback between a client and a real server, for the
// faults of real networks: every connection it carries can be reset (RST
// both ways) or made silent (nothing read or written, sockets kept open, as
// behind a dead NAT mapping). Connections made afterwards are carried as
// usual.
#ifndef PARLEY_TESTS_SUPPORT_FAULTPROXY_H
#define PARLEY_TESTS_SUPPORT_FAULTPROXY_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace testsupport {

class FaultProxy {
public:
    // Listens on 127.0.0.1:listenPort and carries to 127.0.0.1:serverPort.
    FaultProxy(int listenPort, int serverPort);
    ~FaultProxy();
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    bool listening() const { return listener_ >= 0; }
    // Connections accepted so far.
    int connections() const { return accepted_.load(); }
    // What happens to the connections open now; returns once done.
    void resetAll() { command(Reset); }
    void silenceAll() { command(Silence); }

private:
    enum Command { None, Reset, Silence };
    struct Link {
        int client;
        int server;
        bool silent;
    };
    void command(Command c);
    void run();
    void accept();
    void close(Link& link, bool reset);

    int listener_ = -1;
    int serverPort_;
    int wake_[2] = {-1, -1};
    std::vector<Link> links_;  // the proxy thread's
    std::atomic<int> accepted_{0};
    std::mutex mutex_;
    std::condition_variable done_;
    Command pending_ = None;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace testsupport

#endif

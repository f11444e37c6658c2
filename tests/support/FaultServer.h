// A loopback TCP server that misbehaves on request, for what a real server
// will not do: close at once, reset mid-stream, never answer, read slowly,
// send zero bytes, or not even accept (a full backlog: a silent address).
#ifndef PARLEY_TESTS_SUPPORT_FAULTSERVER_H
#define PARLEY_TESTS_SUPPORT_FAULTSERVER_H

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class FaultServer {
public:
    enum Mode {
        AcceptAndClose,  // close every connection at once
        ResetMidStream,  // send the payload, then reset the connection
        NeverAnswer,     // accept and hold the connection, silent
        SlowReader,      // read in small pieces with pauses
        SendPayload,     // send the payload, then hold the connection
        Silent,          // never accept; connection attempts go unanswered
    };

    // Listens on address:port (port 0: any free port).
    explicit FaultServer(Mode mode, std::string payload = std::string(), const std::string& address = "127.0.0.1",
                         int port = 0);
    ~FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    int port() const { return port_; }
    std::string received() const;
    int connections() const { return connections_.load(); }

    // A loopback port that nothing listens on.
    static int closedPort(const std::string& address = "127.0.0.1");

private:
    void run();
    void serve(int client);

    Mode mode_;
    std::string payload_;
    int listener_ = -1;
    int family_ = 0;
    int port_ = 0;
    int stopPipe_[2] = {-1, -1};
    std::vector<int> held_;
    std::vector<int> fillers_;  // our own connections that fill a Silent backlog
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};

}  // namespace testsupport

#endif

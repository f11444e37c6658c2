// A relay on loopback that terminates TLS between a client and a server, as
// an attacker with a certificate for the server's domain would: it speaks
// TLS (direct, or after answering STARTTLS itself) to the client with that
// certificate, and plain TCP, direct TLS or STARTTLS of its own to the
// server, carrying everything in between. It can remove -PLUS mechanisms
// and the channel-binding types from the server's features. The tests also
// put it in front of a server that cannot offer TLS with what they need.
// It can also rewrite those features as it likes, from a given connection on.
#ifndef PARLEY_TESTS_SUPPORT_TLSRELAY_H
#define PARLEY_TESTS_SUPPORT_TLSRELAY_H

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class TlsRelay {
public:
    enum class Way { Plain, DirectTls, StartTls };
    struct Options {
        int listenPort = 0;
        int serverPort = 0;
        Way client = Way::DirectTls;  // how the client reaches the relay
        Way server = Way::Plain;      // how the relay reaches the server
        int clientMaxVersion = 0;     // 0: the library's highest
        int serverMaxVersion = 0;
        std::string certificateFile;  // shown to the client, with its key
        std::string keyFile;
        std::string domain;           // the stream's 'to' towards the server
        bool stripPlus = false;       // -PLUS and binding types out of the server's features
        // Any other change to the server's features (once TLS is up).
        std::function<std::string(const std::string&)> rewrite;
        int faithfulConnections = 0;  // the first ones are carried unchanged
    };
    explicit TlsRelay(const Options& options);
    ~TlsRelay();
    TlsRelay(const TlsRelay&) = delete;
    TlsRelay& operator=(const TlsRelay&) = delete;

    bool listening() const { return listener_ >= 0; }
    int connections() const { return accepted_.load(); }
    // What each connection's client wrote first once TLS was up, in order.
    std::vector<std::string> firstClientWrites() const;

private:
    void acceptLoop();
    void carry(int client, int number);

    Options options_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> firstWrites_;
    std::vector<std::thread> links_;
    std::thread thread_;
};

}  // namespace testsupport

#endif

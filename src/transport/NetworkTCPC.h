// The client side of a TCP connection: connecting through the resolver and
// one receive cycle.
#ifndef TERN_TRANSPORT_NETWORKTCPC_H
#define TERN_TRANSPORT_NETWORKTCPC_H

#include "transport/NetworkTCPUtil.h"

namespace tern {

class NetworkTCPC : public NetworkTCPUtil {
public:
    NetworkTCPC(NetworkDataHandler* handler, LogExport* log, const std::string& server, int port);

    // Port -1 resolves the server by DNS SRV. onConnected runs on this thread
    // before connect returns. A disconnect or cleanup from another thread
    // aborts the attempt: connect then returns NotConnected and reports nothing.
    ConnectionError connect() override;
    ConnectionError receiveOnce(int timeoutUs) override;
    NetworkUtil* clone() const override;
    void allowDirectTls(bool allow) override { allowDirectTls_ = allow; }
    bool directTls() const override { return directTls_; }

private:
    std::atomic<bool> allowDirectTls_{false};
    std::atomic<bool> directTls_{false};
};

}  // namespace tern

#endif

// The TLS object the engine asks for: a forwarding front over the build's
// TLS implementation (none when the build has no TLS).
#ifndef TERN_TRANSPORT_TLSDEFAULT_H
#define TERN_TRANSPORT_TLSDEFAULT_H

#include <memory>

#include "transport/TLSBase.h"

namespace tern {

class TLSDefault : public TLSBase {
public:
    enum Kind { KindClient = 1 };

    // Kind 1 makes the build's client implementation; any other kind none.
    TLSDefault(TLSHandler* handler, const std::string& server, int kind);
    ~TLSDefault() override;

    // Whether this build has a TLS implementation.
    static bool available();

    bool encrypt(const std::string& data) override;
    int decrypt(const std::string& data) override;
    void cleanup() override;
    bool handshake() override;
    bool isSecure() const override;
    void setCACerts(const StringList& caCerts) override;
    CertificateInfo& certificateInfo() override;
    void setClientCert(const std::string& clientKey, const std::string& clientCerts) override;

private:
    std::unique_ptr<TLSBase> impl_;
};

// The build's implementation for a client, or null.
TLSBase* createTlsImplementation(TLSHandler* handler, const std::string& server);

}  // namespace tern

#endif

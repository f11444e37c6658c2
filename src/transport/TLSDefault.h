// The TLS object the engine asks for: a forwarding front over the build's
// TLS implementation (none when the build has no TLS).
#ifndef TERN_TRANSPORT_TLSDEFAULT_H
#define TERN_TRANSPORT_TLSDEFAULT_H

#include <memory>

#include "TLSBase.h"

namespace tern {

class TLSDefault : public TLSBase {
public:
    enum Kind { KindClient = 1 };

    // Kind 1 makes the build's client implementation; any other kind none.
    TLSDefault(TLSHandler* handler, const std::string& server, int kind);
    ~TLSDefault() override;

    // Whether this build has a TLS implementation.
    static bool available();
    // Sets the implementation up for the process (at most once); what is
    // set up earlier is torn down later at exit.
    static void initialiseProcess();
    // Releases what the implementation keeps for the calling thread. Threads
    // that nobody joins call it last, so that nothing of theirs is still
    // running when the process ends and the implementation is torn down.
    static void releaseThreadState();

    bool encrypt(const std::string& data) override;
    int decrypt(const std::string& data) override;
    void cleanup() override;
    bool handshake() override;
    bool isSecure() const override;
    void setCACerts(const StringList& caCerts) override;
    CertificateInfo& certificateInfo() override;
    void setClientCert(const std::string& clientKey, const std::string& clientCerts) override;
    void setAlpn(const std::string& protocol) override;
    int protocolVersion() const override;
    std::string channelBinding(ChannelBindingType type) const override;

private:
    std::unique_ptr<TLSBase> impl_;
};

// The build's implementation for a client, or null.
TLSBase* createTlsImplementation(TLSHandler* handler, const std::string& server);

}  // namespace tern

#endif

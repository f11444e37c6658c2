// The client side of TLS over the Windows security-package interface (SSPI)
// with the SChannel provider; the server's certificate is checked with the
// CryptoAPI chain functions for the server's name.
#ifndef TERN_TRANSPORT_TLSSCHANNEL_H
#define TERN_TRANSPORT_TLSSCHANNEL_H

#define SECURITY_WIN32
#include <windows.h>
#include <security.h>
#include <schannel.h>
#include <wincrypt.h>

#include <mutex>
#include <string>
#include <vector>

#include "transport/TLSBase.h"

namespace tern {

class TLSSChannel : public TLSBase {
public:
    TLSSChannel(TLSHandler* handler, const std::string& server);
    ~TLSSChannel() override;

    bool encrypt(const std::string& data) override;
    int decrypt(const std::string& data) override;
    void cleanup() override;
    bool handshake() override;
    bool isSecure() const override;
    // PEM files of trust anchors, added to the system's; entries that do
    // not exist are skipped.
    void setCACerts(const StringList& caCerts) override;
    // Client certificates are not offered.
    void setClientCert(const std::string& clientKey, const std::string& clientCerts) override;
    int protocolVersion() const override;
    // tls-unique as SECPKG_ATTR_UNIQUE_BINDINGS gives it; tls-exporter on
    // TLS 1.3, where the system exports keying material.
    std::string channelBinding(ChannelBindingType type) const override;

private:
    struct Step {
        std::vector<std::string> toSend;
        bool done = false;
        bool failed = false;
    };
    Step handshakeStep(const std::string& data);
    void readRecords(const std::string& data);
    void sendOutput(const std::vector<std::string>& records);
    void collectCertificateInfo();
    bool anchoredInOurStore(PCCERT_CHAIN_CONTEXT chain) const;
    void releaseHandles();
    void fail();

    mutable std::mutex sslMutex_;       // the security context; never held while the handler runs
    std::recursive_mutex writeMutex_;  // records reach the wire in sequence order
    CredHandle credentials_{};
    CtxtHandle context_{};
    SecPkgContext_StreamSizes sizes_{};
    std::string received_;  // bytes not yet consumed, during and after the handshake
    bool released_ = true;
    int protocolVersion_ = 0;  // of the established context
    HCERTSTORE anchors_ = nullptr;  // the caCerts that could be read
};

}  // namespace tern

#endif

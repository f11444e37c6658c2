// The interface every TLS object offers the stream engine, the handler it
// reports through, and the certificate record it hands up.
#ifndef TERN_TRANSPORT_TLSBASE_H
#define TERN_TRANSPORT_TLSBASE_H

#include <string>
#include <vector>

namespace tern {

struct CertificateInfo {
    int status = 0;
    bool chainValid = false;  // chain verified and the name matched the server
    std::string issuer;
    std::string subject;
    int validFrom = 0;  // seconds since 1970-01-01 UTC; 0 when not read
    int validTo = 0;
    std::string protocol;  // "TLSv1.2", "TLSv1.3", ... or "unknown"
    bool resumed = false;  // an earlier session was resumed (no full handshake)
    std::string cipher;
    std::string mac;
    std::string compression;
};

class TLSBase;

class TLSHandler {
public:
    virtual ~TLSHandler() = default;
    // Bytes for the peer: handshake messages and encrypted records.
    virtual void onEncrypted(TLSBase* tls, const std::string& data) = 0;
    // Plaintext from the peer.
    virtual void onDecrypted(TLSBase* tls, const std::string& data) = 0;
    // Every failure arrives here as success == false.
    virtual void onHandshakeResult(TLSBase* tls, bool success, CertificateInfo& info) = 0;
};

using StringList = std::vector<std::string>;

// Ways to name a TLS connection so that an authentication can be bound to
// it (SCRAM's -PLUS mechanisms): RFC 5929's first Finished message of the
// handshake, RFC 9266's exporter.
enum class ChannelBindingType { TlsUnique, TlsExporter };

// The negotiated protocol as the wire writes it.
constexpr int kTls12 = 0x0303;
constexpr int kTls13 = 0x0304;

class TLSBase {
public:
    TLSBase(TLSHandler* handler, const std::string& server) : handler_(handler), server_(server) {}
    TLSBase(const TLSBase&) = delete;
    TLSBase& operator=(const TLSBase&) = delete;
    virtual ~TLSBase() = default;

    virtual bool encrypt(const std::string& data) = 0;
    // While not secure, data are handshake bytes. Always 0.
    virtual int decrypt(const std::string& data) = 0;
    virtual void cleanup() = 0;
    // True when the first handshake message was produced.
    virtual bool handshake() = 0;
    virtual bool isSecure() const { return secure_; }
    virtual void setCACerts(const StringList& caCerts) = 0;
    virtual CertificateInfo& certificateInfo() { return certInfo_; }
    virtual void setClientCert(const std::string& clientKey, const std::string& clientCerts) = 0;
    // The ALPN protocol to offer in the next handshake; empty offers none.
    virtual void setAlpn(const std::string& protocol) { alpn_ = protocol; }
    // Once secure: the negotiated protocol (kTls12, kTls13, ...); 0 before.
    virtual int protocolVersion() const { return 0; }
    // Once secure: this connection's channel-binding data of that type;
    // empty when the implementation cannot give it.
    virtual std::string channelBinding(ChannelBindingType) const { return std::string(); }

    TLSHandler* handler() const { return handler_; }
    const std::string& server() const { return server_; }

protected:
    TLSHandler* handler_;
    StringList caCerts_;
    std::string clientKey_;
    std::string clientCerts_;
    std::string server_;
    CertificateInfo certInfo_;
    std::string alpn_;
    bool secure_ = false;
};

}  // namespace tern

#endif

// The client side of TLS over OpenSSL, driven through memory buffers: the
// engine hands in received ciphertext and outgoing plaintext and gets the
// results back through its TLSHandler, as with every TLS object.
#ifndef TERN_TRANSPORT_TLSOPENSSL_H
#define TERN_TRANSPORT_TLSOPENSSL_H

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "transport/TLSBase.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;
typedef struct ssl_session_st SSL_SESSION;

namespace tern {

class TLSOpenSSL : public TLSBase {
public:
    // The largest plaintext per record; longer texts are split.
    static constexpr std::size_t kMaxRecordPlaintext = 16384;

    TLSOpenSSL(TLSHandler* handler, const std::string& server);
    ~TLSOpenSSL() override;

    bool encrypt(const std::string& data) override;
    int decrypt(const std::string& data) override;
    void cleanup() override;
    bool handshake() override;
    bool isSecure() const override;
    // Files or folders of trust anchors in PEM, added to the system's;
    // entries that do not exist are skipped.
    void setCACerts(const StringList& caCerts) override;
    // Client certificates are not offered.
    void setClientCert(const std::string& clientKey, const std::string& clientCerts) override;
    int protocolVersion() const override;
    // tls-unique of any version (the TLS 1.3 form is what servers without
    // RFC 9266 compute); tls-exporter on TLS 1.3, and on TLS 1.2 only with
    // the extended master secret (RFC 7627), as RFC 9266 requires.
    std::string channelBinding(ChannelBindingType type) const override;

private:
    bool createSession();
    void releaseSession();
    std::string drainOutput();
    void sendOutput(const std::string& bytes);
    void handshakeStep(const std::string& data);
    void readRecords(const std::string& data);
    void collectCertificateInfo();
    void fail();

    // Guards the OpenSSL objects: the receive thread decrypts while any
    // thread encrypts. Never held while the handler is called.
    mutable std::mutex sslMutex_;
    // Keeps records in sequence order on the wire from encryption to send.
    std::recursive_mutex writeMutex_;
    SSL_CTX* context_ = nullptr;
    SSL* ssl_ = nullptr;
    SSL_SESSION* resume_ = nullptr;  // the last connection's TLS 1.3 session, to resume
    BIO* incoming_ = nullptr;  // ciphertext from the peer, owned by ssl_
    BIO* outgoing_ = nullptr;  // ciphertext for the peer, owned by ssl_
};

}  // namespace tern

#endif

// TLS on both ends inside the test: certificates made on the spot (no files
// to expire in the tree), an OpenSSL server over memory buffers, and a
// TLSHandler that records what a client TLS object reports.
#ifndef PARLEY_TESTS_SUPPORT_TLSFIXTURES_H
#define PARLEY_TESTS_SUPPORT_TLSFIXTURES_H

#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "transport/TLSBase.h"

namespace testsupport {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

// A certificate with its private key.
struct Credential {
    std::shared_ptr<X509> cert;
    std::shared_ptr<EVP_PKEY> key;
    std::string pem() const;  // the certificate in PEM
    // Writes the certificate as PEM to a file in the temporary folder and
    // returns its path; the file goes when the program ends.
    std::string writePem(const std::string& name) const;
};

struct CertificateSpec {
    std::string commonName;
    std::vector<std::string> dnsNames;  // subjectAltName entries; none: no extension
    std::time_t notBefore = std::time(nullptr) - 3600;
    std::time_t notAfter = std::time(nullptr) + 86400;
};

Credential makeAuthority(const std::string& name);
// Signed by issuer, or self-signed when issuer is null.
Credential issue(const CertificateSpec& spec, const Credential* issuer);

// The server end of one TLS connection over memory buffers.
class MemoryTlsServer {
public:
    // maxVersion 0 and an empty cipher list keep the library's defaults.
    // Without tickets no session can be resumed.
    MemoryTlsServer(const Credential& leaf, int maxVersion = 0, const std::string& tls12Ciphers = "",
                    bool tickets = false);
    // Another connection to the same server, whose tickets are good here.
    explicit MemoryTlsServer(const MemoryTlsServer* sameServer);
    ~MemoryTlsServer();
    MemoryTlsServer(const MemoryTlsServer&) = delete;
    MemoryTlsServer& operator=(const MemoryTlsServer&) = delete;

    // Ciphertext from the client; returns what the server has to send.
    std::string receive(const std::string& ciphertext);
    // One SSL_write; returns the records.
    std::string send(const std::string& plaintext);
    bool established() const { return SSL_is_init_finished(ssl_) == 1; }
    bool resumed() const { return SSL_session_reused(ssl_) == 1; }
    bool failed() const { return failed_; }
    // The channel-binding data of this connection as the server computes
    // it: the first Finished of the handshake (RFC 5929), the exporter
    // (RFC 9266).
    std::string tlsUnique() const;
    std::string exporter() const;
    // Plaintext received so far.
    std::string plaintext;

private:
    void start();
    std::string drain();
    SSL_CTX* context_;
    SSL* ssl_;
    BIO* in_;
    BIO* out_;
    bool failed_ = false;
};

class RecordingTlsHandler : public tern::TLSHandler {
public:
    void onEncrypted(tern::TLSBase*, const std::string& data) override {
        std::lock_guard<std::mutex> l(mutex);
        encrypted.push_back(data);
    }
    void onDecrypted(tern::TLSBase*, const std::string& data) override {
        std::lock_guard<std::mutex> l(mutex);
        decrypted.push_back(data);
        events.push_back("data");
    }
    void onHandshakeResult(tern::TLSBase*, bool success, tern::CertificateInfo& info) override {
        std::lock_guard<std::mutex> l(mutex);
        results.emplace_back(success, info);
        events.push_back(success ? "success" : "failure");
    }
    // Everything encrypted since the last call, concatenated.
    std::string takeEncrypted() {
        std::lock_guard<std::mutex> l(mutex);
        std::string all;
        for (const std::string& e : encrypted) all += e;
        encrypted.clear();
        return all;
    }

    std::mutex mutex;
    std::vector<std::string> encrypted;
    std::vector<std::string> decrypted;
    std::vector<std::pair<bool, tern::CertificateInfo>> results;
    std::vector<std::string> events;
};

// Runs the handshake between a client that has started it and the server,
// passing every flight whole; returns false when it did not finish.
bool completeHandshake(tern::TLSBase& client, RecordingTlsHandler& handler, MemoryTlsServer& server);

}  // namespace testsupport

#endif

#include "support/TlsFixtures.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace testsupport {

namespace {

// The files writePem leaves for a test, removed when the test program ends.
struct WrittenFiles {
    std::mutex mutex;
    std::vector<std::string> paths;
    ~WrittenFiles() {
        std::error_code ignored;
        for (const std::string& path : paths) std::filesystem::remove(path, ignored);
    }
};
WrittenFiles writtenFiles;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("OpenSSL: ") + what);
}

std::shared_ptr<EVP_PKEY> newKey() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    check(key != nullptr, "key generation");
    return std::shared_ptr<EVP_PKEY>(key, KeyFree());
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    check(ext != nullptr, "extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

Credential build(const std::string& commonName, const std::vector<std::string>& dnsNames, std::time_t notBefore,
                 std::time_t notAfter, const Credential* issuer, bool authority) {
    static long serial = 1;
    Credential c;
    c.key = newKey();
    X509* x = X509_new();
    c.cert = std::shared_ptr<X509>(x, X509Free());
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
    check(ASN1_TIME_set(X509_getm_notBefore(x), notBefore) && ASN1_TIME_set(X509_getm_notAfter(x), notAfter), "dates");
    X509_set_pubkey(x, c.key.get());
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Parley Tests"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509* issuerCert = issuer ? issuer->cert.get() : x;
    X509_set_issuer_name(x, X509_get_subject_name(issuerCert));
    addExtension(x, issuerCert, NID_subject_key_identifier, "hash");
    if (authority) {
        addExtension(x, issuerCert, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(x, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(x, issuerCert, NID_basic_constraints, "CA:FALSE");
        addExtension(x, issuerCert, NID_ext_key_usage, "serverAuth");
        if (issuer) addExtension(x, issuerCert, NID_authority_key_identifier, "keyid");
        std::string sans;
        for (const std::string& d : dnsNames) sans += (sans.empty() ? "DNS:" : ",DNS:") + d;
        if (!sans.empty()) addExtension(x, issuerCert, NID_subject_alt_name, sans);
    }
    EVP_PKEY* signer = issuer ? issuer->key.get() : c.key.get();
    check(X509_sign(x, signer, EVP_sha256()) > 0, "signing");
    return c;
}

}  // namespace

std::string Credential::pem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert.get());
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(n));
    BIO_free(bio);
    return out;
}

std::string Credential::writePem(const std::string& name) const {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("parley-" + std::to_string(::getpid()) + "-" + name + ".pem"))
                                 .string();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << pem();
    std::lock_guard<std::mutex> lock(writtenFiles.mutex);
    writtenFiles.paths.push_back(path);
    return path;
}

Credential makeAuthority(const std::string& name) {
    const std::time_t now = std::time(nullptr);
    return build(name, {}, now - 86400, now + 30 * 86400, nullptr, true);
}

Credential issue(const CertificateSpec& spec, const Credential* issuer) {
    return build(spec.commonName, spec.dnsNames, spec.notBefore, spec.notAfter, issuer, false);
}

MemoryTlsServer::MemoryTlsServer(const Credential& leaf, int maxVersion, const std::string& tls12Ciphers,
                                 bool tickets) {
    context_ = SSL_CTX_new(TLS_server_method());
    check(context_ != nullptr, "server context");
    check(SSL_CTX_use_certificate(context_, leaf.cert.get()) == 1, "server certificate");
    check(SSL_CTX_use_PrivateKey(context_, leaf.key.get()) == 1, "server key");
    if (maxVersion) SSL_CTX_set_max_proto_version(context_, maxVersion);
    if (!tls12Ciphers.empty()) check(SSL_CTX_set_cipher_list(context_, tls12Ciphers.c_str()) == 1, "cipher list");
    if (!tickets) SSL_CTX_set_num_tickets(context_, 0);  // keeps the flights predictable
    start();
}

MemoryTlsServer::MemoryTlsServer(const MemoryTlsServer* sameServer) : context_(sameServer->context_) {
    SSL_CTX_up_ref(context_);
    start();
}

void MemoryTlsServer::start() {
    ssl_ = SSL_new(context_);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(in_, -1);
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_accept_state(ssl_);
}

MemoryTlsServer::~MemoryTlsServer() {
    SSL_free(ssl_);
    SSL_CTX_free(context_);
}

std::string MemoryTlsServer::drain() {
    std::string out;
    char buffer[4096];
    int n;
    while ((n = BIO_read(out_, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    return out;
}

std::string MemoryTlsServer::receive(const std::string& ciphertext) {
    if (!ciphertext.empty()) BIO_write(in_, ciphertext.data(), static_cast<int>(ciphertext.size()));
    ERR_clear_error();
    if (!established()) {
        const int r = SSL_do_handshake(ssl_);
        if (r <= 0 && SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ) failed_ = true;
    }
    if (established()) {
        char buffer[16384];
        for (;;) {
            const int n = SSL_read(ssl_, buffer, sizeof buffer);
            if (n <= 0) {
                const int e = SSL_get_error(ssl_, n);
                if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_ZERO_RETURN) failed_ = true;
                break;
            }
            plaintext.append(buffer, static_cast<std::size_t>(n));
        }
    }
    return drain();
}

std::string MemoryTlsServer::send(const std::string& plaintext) {
    ERR_clear_error();
    SSL_write(ssl_, plaintext.data(), static_cast<int>(plaintext.size()));
    return drain();
}

std::string MemoryTlsServer::tlsUnique() const {
    unsigned char finished[EVP_MAX_MD_SIZE];
    const std::size_t n = SSL_session_reused(ssl_) ? SSL_get_finished(ssl_, finished, sizeof finished)
                                                   : SSL_get_peer_finished(ssl_, finished, sizeof finished);
    return std::string(reinterpret_cast<const char*>(finished), std::min(n, sizeof finished));
}

std::string MemoryTlsServer::exporter() const {
    static const char label[] = "EXPORTER-Channel-Binding";
    unsigned char out[32];
    if (SSL_export_keying_material(ssl_, out, sizeof out, label, sizeof label - 1, nullptr, 0, 0) != 1) return "";
    return std::string(reinterpret_cast<const char*>(out), sizeof out);
}

bool completeHandshake(tern::TLSBase& client, RecordingTlsHandler& handler, MemoryTlsServer& server) {
    for (int round = 0; round < 10; ++round) {
        const std::string toClient = server.receive(handler.takeEncrypted());
        if (server.failed()) return false;
        bool reported;
        {
            std::lock_guard<std::mutex> l(handler.mutex);
            reported = !handler.results.empty();
        }
        if (reported && toClient.empty()) {
            std::lock_guard<std::mutex> l(handler.mutex);
            return handler.results.back().first && server.established();
        }
        if (!toClient.empty()) client.decrypt(toClient);
    }
    return false;
}

}  // namespace testsupport

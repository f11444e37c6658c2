#include "transport/TLSOpenSSL.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "transport/TLSDefault.h"

namespace tern {

bool TLSDefault::available() { return true; }
// OpenSSL tears itself down from an exit handler that it registers on first
// use.
void TLSDefault::initialiseProcess() { OPENSSL_init_ssl(0, nullptr); }
// OpenSSL would do this from a thread-exit handler, after the thread's own
// last step.
void TLSDefault::releaseThreadState() { OPENSSL_thread_stop(); }
TLSBase* createTlsImplementation(TLSHandler* handler, const std::string& server) {
    return new TLSOpenSSL(handler, server);
}

namespace {

enum class PathKind { Missing, File, Folder };

PathKind pathKind(const char* path, std::string* stamp = nullptr) {
    struct stat st;
    if (!path || !*path || ::stat(path, &st) != 0) return PathKind::Missing;
    if (stamp)
        *stamp += std::string(path) + '\0' + std::to_string(st.st_mtime) + '.' + std::to_string(st.st_size) + '\0';
    if (S_ISDIR(st.st_mode)) return PathKind::Folder;
    return S_ISREG(st.st_mode) ? PathKind::File : PathKind::Missing;
}

// A bundle file is read at once; a hashed folder is consulted on demand.
void addTrustAnchors(X509_STORE* store, const char* path) {
    switch (pathKind(path)) {
        case PathKind::File:
            X509_STORE_load_file(store, path);
            break;
        case PathKind::Folder:
            X509_STORE_load_path(store, path);
            break;
        case PathKind::Missing:
            break;
    }
}

// A certificate decodes its extensions on first use and keeps them, and
// OpenSSL's readers check for that without the certificate's lock: anchors
// shared by sessions on several threads are decoded here, before any other
// thread can see them.
void decodeExtensions(X509_STORE* store) {
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
    for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i)
        if (X509* cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i))) X509_check_purpose(cert, -1, 0);
}

// Reading the system's bundle costs tens of milliseconds, more than the
// rest of a login, and a context costs more than a session: sessions with
// the same anchors share one context, made again when any of its files or
// folders changes. A context is safe to share between threads.
SSL_CTX* clientContext(const StringList& caCerts) {
    std::vector<const char*> paths = {X509_get_default_cert_file(), X509_get_default_cert_dir(),
                                      std::getenv(X509_get_default_cert_file_env()),
                                      std::getenv(X509_get_default_cert_dir_env())};
    for (const std::string& path : caCerts) paths.push_back(path.c_str());
    std::string stamp;
    for (const char* path : paths) pathKind(path, &stamp);

    static std::mutex mutex;
    static SSL_CTX* cached = nullptr;
    static std::string cachedStamp;
    std::lock_guard<std::mutex> lock(mutex);
    if (!cached || stamp != cachedStamp) {
        SSL_CTX* context = SSL_CTX_new(TLS_client_method());
        if (!context) return nullptr;
        // TLS 1.2 at least, whatever the system's configuration allows, and
        // the library's default ciphers.
        if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1) {
            SSL_CTX_free(context);
            return nullptr;
        }
        SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS);
        X509_STORE* store = SSL_CTX_get_cert_store(context);
        for (const char* path : paths) addTrustAnchors(store, path);
        decodeExtensions(store);
        ERR_clear_error();  // missing or unreadable anchors are not an error
        SSL_CTX_free(cached);
        cached = context;
        cachedStamp = stamp;
    }
    SSL_CTX_up_ref(cached);
    return cached;
}

const char* protocolName(int version) {
    switch (version) {
        case TLS1_3_VERSION: return "TLSv1.3";
        case TLS1_2_VERSION: return "TLSv1.2";
        case TLS1_1_VERSION: return "TLSv1.1";
        case TLS1_VERSION: return "TLSv1";
        case SSL3_VERSION: return "SSLv3";
        default: return "unknown";
    }
}

const char* cipherName(int nid) {
    switch (nid) {
        case NID_des_cbc: return "DES";
        case NID_rc2_cbc: return "RC2";
        case NID_des_ede3_cbc: return "3DES";
        case NID_aes_128_cbc:
        case NID_aes_128_gcm:
        case NID_aes_128_ccm: return "AES_128";
        case NID_aes_256_cbc:
        case NID_aes_256_gcm:
        case NID_aes_256_ccm: return "AES_256";
        case NID_rc4: return "RC4";
        case NID_chacha20_poly1305: return "CHACHA20_POLY1305";
        default: return "";
    }
}

std::string macName(const SSL_CIPHER* cipher) {
    // Authenticated encryption has no separate record MAC.
    if (SSL_CIPHER_is_aead(cipher)) return "AEAD";
    switch (SSL_CIPHER_get_digest_nid(cipher)) {
        case NID_md5: return "MD5";
        case NID_sha1: return "SHA";
        case NID_sha256: return "SHA256";
        case NID_sha384: return "SHA384";
        default: return "";
    }
}

// Seconds since 1970-01-01 UTC, clamped to the record's 32 bits.
int secondsSinceEpoch(const ASN1_TIME* time) {
    if (!time) return 0;
    ASN1_TIME* epoch = ASN1_TIME_set(nullptr, 0);
    int days = 0, seconds = 0;
    const bool ok = epoch && ASN1_TIME_diff(&days, &seconds, epoch, time);
    ASN1_TIME_free(epoch);
    if (!ok) return 0;
    const long long value = days * 86400LL + seconds;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// "C=DE, O=Example, CN=example.org": X.500 form in the certificate's order,
// multi-valued parts kept together, UTF-8 left as it is.
bool renderName(const X509_NAME* name, std::string& out) {
    static constexpr std::size_t kLimit = 1000;
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio) return false;
    const unsigned long flags = (XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_FN_SN | ASN1_STRFLGS_RFC2253) & ~ASN1_STRFLGS_ESC_MSB;
    const bool ok = name && X509_NAME_print_ex(bio, name, 0, flags) >= 0;
    if (ok) {
        char* data = nullptr;
        const long length = BIO_get_mem_data(bio, &data);
        out.assign(data, length > 0 ? static_cast<std::size_t>(length) : 0);
        if (out.size() > kLimit) out.resize(kLimit);
    }
    BIO_free(bio);
    return ok;
}

}  // namespace

TLSOpenSSL::TLSOpenSSL(TLSHandler* handler, const std::string& server) : TLSBase(handler, server) {}

TLSOpenSSL::~TLSOpenSSL() {
    handler_ = nullptr;  // nothing is reported while going away
    cleanup();
    SSL_SESSION_free(resume_);
}

void TLSOpenSSL::setCACerts(const StringList& caCerts) {
    std::lock_guard<std::mutex> lock(sslMutex_);
    // A session verified against other anchors is not resumed.
    if (caCerts != caCerts_) {
        SSL_SESSION_free(resume_);
        resume_ = nullptr;
    }
    caCerts_ = caCerts;
}

void TLSOpenSSL::setClientCert(const std::string& clientKey, const std::string& clientCerts) {
    std::lock_guard<std::mutex> lock(sslMutex_);
    clientKey_ = clientKey;
    clientCerts_ = clientCerts;
}

bool TLSOpenSSL::isSecure() const {
    std::lock_guard<std::mutex> lock(sslMutex_);
    return secure_;
}

// Called with sslMutex_ held.
bool TLSOpenSSL::createSession() {
    ERR_clear_error();
    context_ = clientContext(caCerts_);
    if (!context_) return false;

    ssl_ = SSL_new(context_);
    incoming_ = BIO_new(BIO_s_mem());
    outgoing_ = BIO_new(BIO_s_mem());
    if (!ssl_ || !incoming_ || !outgoing_) {
        BIO_free(incoming_);
        BIO_free(outgoing_);
        incoming_ = outgoing_ = nullptr;
        return false;
    }
    BIO_set_mem_eof_return(incoming_, -1);  // empty means "wait for more"
    SSL_set_bio(ssl_, incoming_, outgoing_);
    SSL_set_connect_state(ssl_);

    // The chain is checked and its result kept, but the handshake goes on
    // either way: the engine's listeners decide about the certificate.
    SSL_set_verify(ssl_, SSL_VERIFY_NONE, nullptr);
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
    if (!X509_VERIFY_PARAM_set1_ip_asc(param, server_.c_str())) {
        // Names as RFC 6125 has them: subjectAltName DNS entries only, a
        // wildcard only as the whole left-most label.
        X509_VERIFY_PARAM_set_hostflags(param,
                                        X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
        if (!X509_VERIFY_PARAM_set1_host(param, server_.c_str(), server_.size())) return false;
        SSL_set_tlsext_host_name(ssl_, server_.c_str());
    }
    SSL_set_max_send_fragment(ssl_, kMaxRecordPlaintext);
    // The last connection's session, when there was one: the next
    // connection to the server (a session being resumed) skips the full
    // handshake. The verdict on the server's chain travels with it.
    if (resume_) SSL_set_session(ssl_, resume_);
    if (!alpn_.empty() && alpn_.size() < 256) {
        const std::string wire = std::string(1, static_cast<char>(alpn_.size())) + alpn_;
        SSL_set_alpn_protos(ssl_, reinterpret_cast<const unsigned char*>(wire.data()),
                            static_cast<unsigned>(wire.size()));
    }
    ERR_clear_error();
    return true;
}

// Called with sslMutex_ held.
void TLSOpenSSL::releaseSession() {
    if (ssl_ && secure_) {
        // Freeing the connection marks its session not resumable unless the
        // connection was shut down cleanly, but a broken connection is just
        // when resumption matters: a copy is kept. TLS 1.3 only, which
        // allows it.
        SSL_SESSION* session = SSL_get1_session(ssl_);
        if (session && SSL_SESSION_get_protocol_version(session) == TLS1_3_VERSION &&
            SSL_SESSION_is_resumable(session)) {
            SSL_SESSION_free(resume_);
            resume_ = SSL_SESSION_dup(session);
        }
        SSL_SESSION_free(session);
    }
    SSL_free(ssl_);  // frees both memory buffers
    SSL_CTX_free(context_);
    ssl_ = nullptr;
    context_ = nullptr;
    incoming_ = outgoing_ = nullptr;
    secure_ = false;
}

// Called with sslMutex_ held.
std::string TLSOpenSSL::drainOutput() {
    std::string bytes;
    if (!outgoing_) return bytes;
    const std::size_t pending = BIO_ctrl_pending(outgoing_);
    if (pending == 0) return bytes;
    bytes.resize(pending);
    const int n = BIO_read(outgoing_, &bytes[0], static_cast<int>(pending));
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
}

void TLSOpenSSL::sendOutput(const std::string& bytes) {
    if (bytes.empty() || !handler_) return;
    std::lock_guard<std::recursive_mutex> order(writeMutex_);
    handler_->onEncrypted(this, bytes);
}

void TLSOpenSSL::fail() {
    cleanup();
    if (handler_) handler_->onHandshakeResult(this, false, certInfo_);
}

bool TLSOpenSSL::handshake() {
    if (!handler_) return false;
    std::string first;
    {
        std::lock_guard<std::mutex> lock(sslMutex_);
        if (ssl_) releaseSession();  // a second handshake starts afresh
        certInfo_ = CertificateInfo();
        bool ok = createSession();
        if (ok) {
            ERR_clear_error();
            const int r = SSL_do_handshake(ssl_);
            ok = r <= 0 && SSL_get_error(ssl_, r) == SSL_ERROR_WANT_READ;
            first = drainOutput();
            ok = ok && !first.empty();
        }
        if (!ok) first.clear();
    }
    if (first.empty()) {
        fail();
        return false;
    }
    sendOutput(first);
    return true;
}

void TLSOpenSSL::handshakeStep(const std::string& data) {
    std::string reply;
    bool done = false;
    bool failed = false;
    {
        std::lock_guard<std::mutex> lock(sslMutex_);
        if (!ssl_) {
            failed = true;
        } else {
            if (!data.empty()) BIO_write(incoming_, data.data(), static_cast<int>(data.size()));
            ERR_clear_error();
            const int r = SSL_do_handshake(ssl_);
            if (r == 1) {
                done = true;
            } else {
                const int e = SSL_get_error(ssl_, r);
                failed = e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE;
            }
            // On failure this is the alert that tells the server why.
            reply = drainOutput();
        }
    }
    // The last handshake message goes out before any record can follow it.
    sendOutput(reply);
    if (failed) {
        fail();
        return;
    }
    if (!done) return;
    {
        std::lock_guard<std::mutex> lock(sslMutex_);
        if (!ssl_) return;
        collectCertificateInfo();
        secure_ = true;
    }
    if (handler_) handler_->onHandshakeResult(this, true, certInfo_);
    // Records that came in the same read as the end of the handshake are
    // handed up now; the next read may be a long time coming.
    readRecords(std::string());
}

void TLSOpenSSL::readRecords(const std::string& data) {
    std::vector<std::string> plaintexts;
    bool failed = false;
    bool replyPending = false;
    {
        std::lock_guard<std::mutex> lock(sslMutex_);
        if (!ssl_ || !secure_) return;
        if (!data.empty()) BIO_write(incoming_, data.data(), static_cast<int>(data.size()));
        char buffer[kMaxRecordPlaintext];
        for (;;) {
            ERR_clear_error();
            const int n = SSL_read(ssl_, buffer, sizeof buffer);
            if (n > 0) {
                plaintexts.emplace_back(buffer, static_cast<std::size_t>(n));
                continue;
            }
            const int e = SSL_get_error(ssl_, n);
            // WANT_READ: the rest of a record is still on its way;
            // ZERO_RETURN: the server closed TLS, the TCP close follows.
            failed = e != SSL_ERROR_WANT_READ && e != SSL_ERROR_ZERO_RETURN;
            break;
        }
        replyPending = BIO_ctrl_pending(outgoing_) > 0;  // an alert, or a key update's answer
    }
    for (const std::string& p : plaintexts)
        if (handler_) handler_->onDecrypted(this, p);
    // Whoever drains must send before anyone drains again, or records leave
    // out of order. A sender busy now takes these bytes with its next
    // record; waiting for it here could stall the receive thread.
    if (replyPending && writeMutex_.try_lock()) {
        std::string reply;
        {
            std::lock_guard<std::mutex> lock(sslMutex_);
            reply = drainOutput();
        }
        sendOutput(reply);
        writeMutex_.unlock();
    }
    if (failed) fail();
}

int TLSOpenSSL::decrypt(const std::string& data) {
    if (!handler_) return 0;
    bool secure;
    {
        std::lock_guard<std::mutex> lock(sslMutex_);
        secure = secure_;
    }
    if (secure)
        readRecords(data);
    else
        handshakeStep(data);
    return 0;
}

bool TLSOpenSSL::encrypt(const std::string& data) {
    if (!handler_) return false;
    std::unique_lock<std::recursive_mutex> order(writeMutex_);
    std::size_t offset = 0;
    do {
        const std::size_t n = std::min(kMaxRecordPlaintext, data.size() - offset);
        std::string record;
        bool written;
        {
            std::lock_guard<std::mutex> lock(sslMutex_);
            // Nothing is encrypted before the handshake is done or after
            // the session was released.
            if (!ssl_ || !secure_) return false;
            ERR_clear_error();
            written = n == 0 || SSL_write(ssl_, data.data() + offset, static_cast<int>(n)) > 0;
            if (written) record = drainOutput();
        }
        if (!written) {
            order.unlock();
            fail();
            return false;
        }
        offset += n;
        if (!record.empty() && handler_) handler_->onEncrypted(this, record);
    } while (offset < data.size());
    return true;
}

int TLSOpenSSL::protocolVersion() const {
    std::lock_guard<std::mutex> lock(sslMutex_);
    return ssl_ && secure_ ? SSL_version(ssl_) : 0;
}

std::string TLSOpenSSL::channelBinding(ChannelBindingType type) const {
    std::lock_guard<std::mutex> lock(sslMutex_);
    if (!ssl_ || !secure_) return std::string();
    if (type == ChannelBindingType::TlsUnique) {
        // The first Finished of the handshake: ours in a full one, the
        // server's when a session was resumed (RFC 5929, 3.1).
        unsigned char finished[EVP_MAX_MD_SIZE];
        const std::size_t n = SSL_session_reused(ssl_) ? SSL_get_peer_finished(ssl_, finished, sizeof finished)
                                                       : SSL_get_finished(ssl_, finished, sizeof finished);
        return std::string(reinterpret_cast<const char*>(finished), std::min(n, sizeof finished));
    }
    if (SSL_version(ssl_) < TLS1_3_VERSION && SSL_get_extms_support(ssl_) != 1) return std::string();
    static const char kLabel[] = "EXPORTER-Channel-Binding";
    unsigned char out[32];
    if (SSL_export_keying_material(ssl_, out, sizeof out, kLabel, sizeof kLabel - 1, nullptr, 0, 0) != 1)
        return std::string();
    return std::string(reinterpret_cast<const char*>(out), sizeof out);
}

void TLSOpenSSL::cleanup() {
    std::lock_guard<std::mutex> lock(sslMutex_);
    if (ssl_) releaseSession();
}

// Called with sslMutex_ held, once the handshake is done.
void TLSOpenSSL::collectCertificateInfo() {
    CertificateInfo info;
    X509* peer = SSL_get1_peer_certificate(ssl_);
    info.chainValid = peer && SSL_get_verify_result(ssl_) == X509_V_OK;
    info.protocol = protocolName(SSL_version(ssl_));
    info.resumed = SSL_session_reused(ssl_) == 1;
    if (const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_)) {
        info.cipher = cipherName(SSL_CIPHER_get_cipher_nid(cipher));
        info.mac = macName(cipher);
    }
    if (peer) {
        info.validFrom = secondsSinceEpoch(X509_get0_notBefore(peer));
        info.validTo = secondsSinceEpoch(X509_get0_notAfter(peer));
        if (renderName(X509_get_subject_name(peer), info.subject))
            renderName(X509_get_issuer_name(peer), info.issuer);
        else
            info.subject.clear();
        X509_free(peer);
    }
    certInfo_ = info;
}

}  // namespace tern

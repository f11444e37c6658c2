#include "transport/TLSSChannel.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "transport/TLSDefault.h"

namespace tern {

bool TLSDefault::available() { return true; }
void TLSDefault::initialiseProcess() {}
void TLSDefault::releaseThreadState() {}
TLSBase* createTlsImplementation(TLSHandler* handler, const std::string& server) {
    return new TLSSChannel(handler, server);
}

namespace {

constexpr ULONG kRequest = ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT | ISC_REQ_CONFIDENTIALITY |
                           ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM | ISC_REQ_INTEGRITY |
                           ISC_REQ_MANUAL_CRED_VALIDATION;

// SECURITY_FLAG_IGNORE_UNKNOWN_CA, from wininet.h.
constexpr DWORD kIgnoreUnknownCa = 0x00000100;

// RFC 9266's exporter label.
char kExporterLabel[] = "EXPORTER-Channel-Binding";
constexpr DWORD kExporterLength = 32;

std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
    return out;
}

bool readFile(const std::string& path, std::string& out) {
    FILE* f = _wfopen(wide(path).c_str(), L"rb");
    if (!f) return false;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
    return true;
}

// Every certificate of a PEM file into the store.
void addPemCertificates(HCERTSTORE store, const std::string& pem) {
    static const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
    for (std::size_t at = pem.find(begin); at != std::string::npos; at = pem.find(begin, at)) {
        const std::size_t stop = pem.find(end, at);
        if (stop == std::string::npos) break;
        const std::string block = pem.substr(at, stop + end.size() - at);
        at = stop + end.size();
        DWORD size = 0;
        if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                  &size, nullptr, nullptr))
            continue;
        std::vector<BYTE> der(size);
        if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                  der.data(), &size, nullptr, nullptr))
            continue;
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size, CERT_STORE_ADD_USE_EXISTING,
                                         nullptr);
    }
}

// Seconds since 1970-01-01 UTC, clamped to the record's 32 bits.
int secondsSinceEpoch(const FILETIME& t) {
    const long long ticks = (static_cast<long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    const long long seconds = (ticks - 116444736000000000LL) / 10000000LL;
    if (seconds > INT_MAX) return INT_MAX;
    if (seconds < INT_MIN) return INT_MIN;
    return static_cast<int>(seconds);
}

bool renderName(CERT_NAME_BLOB* name, std::string& out) {
    char buffer[1000];
    const DWORD n = CertNameToStrA(X509_ASN_ENCODING, name, CERT_X500_NAME_STR | CERT_NAME_STR_NO_PLUS_FLAG, buffer,
                                   sizeof buffer);
    if (n <= 1) return false;
    out.assign(buffer, n - 1);
    return true;
}

const char* protocolName(DWORD protocol) {
    if (protocol & SP_PROT_TLS1_3_CLIENT) return "TLSv1.3";
    if (protocol & SP_PROT_TLS1_2_CLIENT) return "TLSv1.2";
    if (protocol & SP_PROT_TLS1_1_CLIENT) return "TLSv1.1";
    if (protocol & SP_PROT_TLS1_CLIENT) return "TLSv1";
    if (protocol & SP_PROT_SSL3_CLIENT) return "SSLv3";
    return "unknown";
}

int versionOf(DWORD protocol) {
    if (protocol & SP_PROT_TLS1_3_CLIENT) return kTls13;
    if (protocol & SP_PROT_TLS1_2_CLIENT) return kTls12;
    return 0;
}

const char* cipherName(ALG_ID cipher) {
    switch (cipher) {
        case CALG_DES: return "DES";
        case CALG_RC2: return "RC2";
        case CALG_3DES: return "3DES";
        case CALG_AES_128: return "AES_128";
        case CALG_AES_256: return "AES_256";
        case CALG_RC4: return "RC4";
        default: return "";
    }
}

const char* macName(ALG_ID hash) {
    switch (hash) {
        case CALG_MD5: return "MD5";
        case CALG_SHA1: return "SHA";
        case CALG_SHA_256: return "SHA256";
        case CALG_SHA_384: return "SHA384";
        default: return "";
    }
}

}  // namespace

TLSSChannel::TLSSChannel(TLSHandler* handler, const std::string& server) : TLSBase(handler, server) {
    SecInvalidateHandle(&credentials_);
    SecInvalidateHandle(&context_);
}

TLSSChannel::~TLSSChannel() {
    handler_ = nullptr;  // nothing is reported while going away
    cleanup();
    if (anchors_) CertCloseStore(anchors_, 0);
}

void TLSSChannel::setCACerts(const StringList& caCerts) {
    std::lock_guard<std::mutex> lock(sslMutex_);
    caCerts_ = caCerts;
    if (anchors_) CertCloseStore(anchors_, 0);
    anchors_ = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    StringList files = caCerts;
    if (const char* env = std::getenv("SSL_CERT_FILE")) files.push_back(env);
    for (const std::string& path : files) {
        std::string pem;
        if (anchors_ && readFile(path, pem)) addPemCertificates(anchors_, pem);
    }
}

void TLSSChannel::setClientCert(const std::string& clientKey, const std::string& clientCerts) {
    std::lock_guard<std::mutex> lock(sslMutex_);
    clientKey_ = clientKey;
    clientCerts_ = clientCerts;
}

bool TLSSChannel::isSecure() const {
    std::lock_guard<std::mutex> lock(sslMutex_);
    return secure_;
}

// Called with sslMutex_ held.
void TLSSChannel::releaseHandles() {
    received_.clear();
    if (released_) return;
    secure_ = false;
    released_ = true;
    protocolVersion_ = 0;
    DeleteSecurityContext(&context_);
    FreeCredentialsHandle(&credentials_);
    SecInvalidateHandle(&credentials_);
    SecInvalidateHandle(&context_);
}

void TLSSChannel::cleanup() {
    std::lock_guard<std::mutex> lock(sslMutex_);
    releaseHandles();
}

void TLSSChannel::fail() {
    cleanup();
    if (handler_) handler_->onHandshakeResult(this, false, certInfo_);
}

void TLSSChannel::sendOutput(const std::vector<std::string>& records) {
    if (records.empty() || !handler_) return;
    std::lock_guard<std::recursive_mutex> order(writeMutex_);
    for (const std::string& r : records) handler_->onEncrypted(this, r);
}

bool TLSSChannel::handshake() {
    if (!handler_) return false;
    std::string first;
    {
        std::lock_guard<std::mutex> lock(sslMutex_);
        releaseHandles();  // a second handshake starts afresh
        certInfo_ = CertificateInfo();
        if (!anchors_) anchors_ = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
        // TLS 1.2 or later, as with OpenSSL; a system that refuses to be
        // offered 1.3 this way gets 1.2 alone.
        SCHANNEL_CRED cred{};
        cred.dwVersion = SCHANNEL_CRED_VERSION;
        // Strong crypto: no RC4, no export or other weak suites, whatever the
        // system's defaults.
        cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
        TimeStamp expiry;
        bool acquired = false;
        for (DWORD protocols : {DWORD(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT), DWORD(SP_PROT_TLS1_2_CLIENT)}) {
            cred.grbitEnabledProtocols = protocols;
            acquired = AcquireCredentialsHandleA(nullptr, const_cast<SEC_CHAR*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                                 nullptr, &cred, nullptr, nullptr, &credentials_, &expiry) == SEC_E_OK;
            if (acquired) break;
        }
        if (acquired) {
            SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
            SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
            ULONG attributes = 0;
            const SECURITY_STATUS s =
                InitializeSecurityContextA(&credentials_, nullptr, const_cast<SEC_CHAR*>(server_.c_str()), kRequest, 0,
                                           0, nullptr, 0, &context_, &outDesc, &attributes, &expiry);
            released_ = false;
            if (s == SEC_I_CONTINUE_NEEDED && out.pvBuffer && out.cbBuffer > 0)
                first.assign(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
            // The exporter's label is registered before the handshake ends,
            // where the system exports keying material at all; channelBinding
            // reads the result.
            SecPkgContext_KeyingMaterialInfo exporter{};
            exporter.cbLabel = sizeof kExporterLabel;
            exporter.pszLabel = kExporterLabel;
            exporter.cbKeyingMaterial = kExporterLength;
            if (s == SEC_I_CONTINUE_NEEDED)
                SetContextAttributesA(&context_, SECPKG_ATTR_KEYING_MATERIAL_INFO, &exporter, sizeof exporter);
            if (out.pvBuffer) FreeContextBuffer(out.pvBuffer);
        } else {
            SecInvalidateHandle(&credentials_);
        }
    }
    if (first.empty()) {
        fail();
        return false;
    }
    sendOutput({first});
    return true;
}

// Called with sslMutex_ held: runs the handshake as far as the bytes go.
TLSSChannel::Step TLSSChannel::handshakeStep(const std::string& data) {
    Step step;
    received_ += data;
    for (int round = 0; round < 16 && !received_.empty(); ++round) {
        SecBuffer in[2] = {{static_cast<ULONG>(received_.size()), SECBUFFER_TOKEN, &received_[0]},
                           {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
        SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
        ULONG attributes = 0;
        TimeStamp expiry;
        const SECURITY_STATUS s =
            InitializeSecurityContextA(&credentials_, &context_, const_cast<SEC_CHAR*>(server_.c_str()), kRequest, 0,
                                       0, &inDesc, 0, nullptr, &outDesc, &attributes, &expiry);
        // Answers, and on failure the alert that tells the server why.
        if (out.pvBuffer) {
            if (out.cbBuffer > 0) step.toSend.emplace_back(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
            FreeContextBuffer(out.pvBuffer);
        }
        if (s == SEC_E_INCOMPLETE_MESSAGE) return step;  // the rest is on its way
        const bool extra = in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0;
        if (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED || s == SEC_I_INCOMPLETE_CREDENTIALS) {
            if (extra)
                received_.erase(0, received_.size() - in[1].cbBuffer);
            else if (s != SEC_I_INCOMPLETE_CREDENTIALS)
                received_.clear();
            if (s == SEC_E_OK) {
                step.done = true;
                return step;  // what is left is application data
            }
            continue;  // another handshake message may already be here
        }
        step.failed = true;
        return step;
    }
    return step;
}

void TLSSChannel::readRecords(const std::string& data) {
    std::vector<std::string> plaintexts;
    std::vector<std::string> replies;
    bool failed = false;
    {
        std::lock_guard<std::mutex> lock(sslMutex_);
        if (released_ || !secure_) return;
        received_ += data;
        while (!received_.empty()) {
            SecBuffer buffers[4] = {{static_cast<ULONG>(received_.size()), SECBUFFER_DATA, &received_[0]},
                                    {0, SECBUFFER_EMPTY, nullptr},
                                    {0, SECBUFFER_EMPTY, nullptr},
                                    {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
            const SECURITY_STATUS s = DecryptMessage(&context_, &desc, 0, nullptr);
            if (s == SEC_E_INCOMPLETE_MESSAGE) break;
            if (s != SEC_E_OK && s != SEC_I_RENEGOTIATE && s != SEC_I_CONTEXT_EXPIRED) {
                failed = true;
                break;
            }
            const SecBuffer* plain = nullptr;
            const SecBuffer* extra = nullptr;
            for (int i = 1; i < 4; ++i) {
                if (!plain && buffers[i].BufferType == SECBUFFER_DATA) plain = &buffers[i];
                if (!extra && buffers[i].BufferType == SECBUFFER_EXTRA) extra = &buffers[i];
            }
            if (plain && plain->cbBuffer > 0)
                plaintexts.emplace_back(static_cast<const char*>(plain->pvBuffer), plain->cbBuffer);
            const std::string rest = extra ? received_.substr(received_.size() - extra->cbBuffer) : std::string();
            received_ = rest;
            if (s == SEC_I_CONTEXT_EXPIRED) break;  // the server closed TLS; the TCP close follows
            if (s == SEC_I_RENEGOTIATE) {
                // Post-handshake messages (TLS 1.3 tickets, key updates) go
                // back through the handshake function.
                const std::string pending = received_;
                received_.clear();
                const Step step = handshakeStep(pending);
                replies.insert(replies.end(), step.toSend.begin(), step.toSend.end());
                if (step.failed) {
                    failed = true;
                    break;
                }
            }
        }
    }
    for (const std::string& p : plaintexts)
        if (handler_) handler_->onDecrypted(this, p);
    sendOutput(replies);
    if (failed) fail();
}

int TLSSChannel::decrypt(const std::string& data) {
    if (!handler_) return 0;
    bool secure;
    Step step;
    {
        std::lock_guard<std::mutex> lock(sslMutex_);
        secure = secure_;
        if (!secure) {
            if (released_) {
                step.failed = true;
            } else {
                step = handshakeStep(data);
                if (step.done && QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK)
                    step.failed = true;
            }
        }
    }
    if (secure) {
        readRecords(data);
        return 0;
    }
    // The last handshake message goes out before any record can follow it.
    sendOutput(step.toSend);
    if (step.failed) {
        fail();
        return 0;
    }
    if (!step.done) return 0;
    {
        std::lock_guard<std::mutex> lock(sslMutex_);
        if (released_) return 0;
        collectCertificateInfo();
        secure_ = true;
    }
    if (handler_) handler_->onHandshakeResult(this, true, certInfo_);
    // Records that came with the end of the handshake are handed up now;
    // the next read may be a long time coming.
    readRecords(std::string());
    return 0;
}

bool TLSSChannel::encrypt(const std::string& data) {
    if (!handler_) return false;
    std::unique_lock<std::recursive_mutex> order(writeMutex_);
    std::size_t offset = 0;
    do {
        std::string record;
        bool written = false;
        std::size_t n = 0;
        {
            std::lock_guard<std::mutex> lock(sslMutex_);
            // Nothing is encrypted before the handshake is done or after
            // the session was released.
            if (released_ || !secure_) return false;
            n = std::min<std::size_t>(sizes_.cbMaximumMessage, data.size() - offset);
            record.resize(sizes_.cbHeader + n + sizes_.cbTrailer);
            std::copy(data.begin() + static_cast<std::ptrdiff_t>(offset),
                      data.begin() + static_cast<std::ptrdiff_t>(offset + n), record.begin() + sizes_.cbHeader);
            SecBuffer buffers[4] = {{sizes_.cbHeader, SECBUFFER_STREAM_HEADER, &record[0]},
                                    {static_cast<ULONG>(n), SECBUFFER_DATA, &record[sizes_.cbHeader]},
                                    {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, &record[sizes_.cbHeader + n]},
                                    {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
            written = EncryptMessage(&context_, 0, &desc, 0) == SEC_E_OK;
            if (written) record.resize(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        }
        if (!written) {
            order.unlock();
            fail();
            return false;
        }
        offset += n;
        if (handler_) handler_->onEncrypted(this, record);
    } while (offset < data.size());
    return true;
}

int TLSSChannel::protocolVersion() const {
    std::lock_guard<std::mutex> lock(sslMutex_);
    return secure_ ? protocolVersion_ : 0;
}

std::string TLSSChannel::channelBinding(ChannelBindingType type) const {
    std::lock_guard<std::mutex> lock(sslMutex_);
    if (released_ || !secure_) return std::string();
    CtxtHandle* context = const_cast<CtxtHandle*>(&context_);
    std::string data;
    if (type == ChannelBindingType::TlsUnique) {
        SecPkgContext_Bindings bindings{};
        if (QueryContextAttributesA(context, SECPKG_ATTR_UNIQUE_BINDINGS, &bindings) != SEC_E_OK || !bindings.Bindings)
            return data;
        const SEC_CHANNEL_BINDINGS* b = bindings.Bindings;
        if (b->dwApplicationDataOffset + b->cbApplicationDataLength <= bindings.BindingsLength) {
            data.assign(reinterpret_cast<const char*>(b) + b->dwApplicationDataOffset, b->cbApplicationDataLength);
            static const std::string prefix = "tls-unique:";
            if (data.compare(0, prefix.size(), prefix) == 0) data.erase(0, prefix.size());
        }
        FreeContextBuffer(bindings.Bindings);
        return data;
    }
    if (protocolVersion_ < kTls13) return data;
    SecPkgContext_KeyingMaterial material{};
    if (QueryContextAttributesA(context, SECPKG_ATTR_KEYING_MATERIAL, &material) == SEC_E_OK && material.pbKeyingMaterial) {
        if (material.cbKeyingMaterial == kExporterLength)
            data.assign(reinterpret_cast<const char*>(material.pbKeyingMaterial), material.cbKeyingMaterial);
        FreeContextBuffer(material.pbKeyingMaterial);
        return data;
    }
    // Later systems export on request, after the handshake.
    unsigned char out[kExporterLength];
    SecPkgContext_KeyingMaterial_Inproc inproc{};
    inproc.cbLabel = sizeof kExporterLabel;
    inproc.pszLabel = kExporterLabel;
    inproc.cbKeyingMaterial = kExporterLength;
    inproc.pbKeyingMaterial = out;
    if (QueryContextAttributesA(context, SECPKG_ATTR_KEYING_MATERIAL_INPROC, &inproc) == SEC_E_OK)
        data.assign(reinterpret_cast<const char*>(out), sizeof out);
    return data;
}

// Whether the chain ends in one of the anchors handed in by setCACerts.
bool TLSSChannel::anchoredInOurStore(PCCERT_CHAIN_CONTEXT chain) const {
    if (!anchors_ || chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) return false;
    const PCERT_SIMPLE_CHAIN simple = chain->rgpChain[0];
    PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
    // The same certificate, byte for byte: a root that only copies an
    // anchor's issuer and serial number (under another key) is a forgery.
    for (PCCERT_CONTEXT anchor = CertEnumCertificatesInStore(anchors_, nullptr); anchor;
         anchor = CertEnumCertificatesInStore(anchors_, anchor)) {
        if (anchor->cbCertEncoded == root->cbCertEncoded &&
            std::memcmp(anchor->pbCertEncoded, root->pbCertEncoded, root->cbCertEncoded) == 0) {
            CertFreeCertificateContext(anchor);
            return true;
        }
    }
    return false;
}

// Called with sslMutex_ held, once the handshake is done.
void TLSSChannel::collectCertificateInfo() {
    CertificateInfo info;
    PCCERT_CONTEXT peer = nullptr;
    if (QueryContextAttributesA(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer) == SEC_E_OK && peer) {
        // The server's own certificates and our anchors help build the chain.
        HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
        if (extra) {
            if (peer->hCertStore) CertAddStoreToCollection(extra, peer->hCertStore, 0, 0);
            if (anchors_) CertAddStoreToCollection(extra, anchors_, 0, 0);
        }
        static char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH, sgcMicrosoft[] = szOID_SERVER_GATED_CRYPTO,
                    sgcNetscape[] = szOID_SGC_NETSCAPE;
        LPSTR usages[] = {serverAuth, sgcMicrosoft, sgcNetscape};
        CERT_CHAIN_PARA chainPara{};
        chainPara.cbSize = sizeof chainPara;
        chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
        chainPara.RequestedUsage.Usage.cUsageIdentifier = 3;
        chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        if (CertGetCertificateChain(nullptr, peer, nullptr, extra, &chainPara, 0, nullptr, &chain) && chain) {
            std::wstring name = wide(server_);
            SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
            ssl.cbSize = sizeof ssl;
            ssl.dwAuthType = AUTHTYPE_SERVER;
            ssl.pwszServerName = &name[0];
            CERT_CHAIN_POLICY_PARA policy{};
            policy.cbSize = sizeof policy;
            policy.pvExtraPolicyPara = &ssl;
            CERT_CHAIN_POLICY_STATUS status{};
            status.cbSize = sizeof status;
            // A root the host trusts through caCerts is not in the system's
            // store: that one error is allowed for it, everything else is
            // checked. The chain's own status is read as well, since some
            // policy implementations pass partial chains.
            const bool anchored = anchoredInOurStore(chain);
            DWORD trust = chain->TrustStatus.dwErrorStatus;
            if (anchored) {
                trust &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
                ssl.fdwChecks = kIgnoreUnknownCa;
            }
            const bool ok = trust == CERT_TRUST_NO_ERROR &&
                            CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status) &&
                            status.dwError == 0;
            info.chainValid = ok;
            CertFreeCertificateChain(chain);
        }
        if (extra) CertCloseStore(extra, 0);
    }
    SecPkgContext_ConnectionInfo connection{};
    if (QueryContextAttributesA(&context_, SECPKG_ATTR_CONNECTION_INFO, &connection) == SEC_E_OK) {
        protocolVersion_ = versionOf(connection.dwProtocol);
        info.protocol = protocolName(connection.dwProtocol);
        info.cipher = cipherName(connection.aiCipher);
        info.mac = macName(connection.aiHash);
    }
    if (peer) {
        info.validFrom = secondsSinceEpoch(peer->pCertInfo->NotBefore);
        info.validTo = secondsSinceEpoch(peer->pCertInfo->NotAfter);
        if (renderName(&peer->pCertInfo->Subject, info.subject))
            renderName(&peer->pCertInfo->Issuer, info.issuer);
        else
            info.subject.clear();
        CertFreeCertificateContext(peer);
    }
    certInfo_ = info;
}

}  // namespace tern

#include "client/Sasl2.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <set>

#include "client/Base64.h"
#include "client/Client.h"
#include "client/SHA.h"
#include "client/StreamManagement.h"
#include "stanza/Constants.h"
#include "stanza/JID.h"
#include "transport/TLSBase.h"
#include "xml/XmlTag.h"

namespace tern {

namespace {

const std::pair<const char*, int> kMechanisms[] = {
    {"DIGEST-MD5", SaslDigestMd5},
    {"PLAIN", SaslPlain},
    {"ANONYMOUS", SaslAnonymous},
    {"EXTERNAL", SaslExternal},
    {"GSSAPI", SaslGssapi},
    {"SCRAM-SHA-1", SaslScramSha1},
    {"SCRAM-SHA-256", SaslScramSha256},
    {"SCRAM-SHA-1-PLUS", SaslScramSha1Plus},
    {"SCRAM-SHA-256-PLUS", SaslScramSha256Plus},
};

// The <mechanism> children of a list: their bits and names.
void readMechanisms(const XmlTag& list, int& bits, std::vector<std::string>& names) {
    for (const XmlTag* m : list.children()) {
        if (m->name() != "mechanism") continue;
        names.push_back(m->text());
        bits |= saslMechanismBit(m->text());
    }
}

constexpr int kPlus = SaslScramSha1Plus | SaslScramSha256Plus;

bool listsFeature(const XmlTag* inlineList, const char* var) {
    return inlineList && inlineList->firstChild("feature", "var", var);
}

}  // namespace

int saslMechanismBit(const std::string& name) {
    for (const auto& m : kMechanisms)
        if (name == m.first) return m.second;
    return 0;
}

LoginOffer readLoginOffer(const XmlTag& features) {
    LoginOffer offer;
    if (const XmlTag* m = features.firstChild("mechanisms", "xmlns", XMPP_XMLNS_STREAM_SASL))
        readMechanisms(*m, offer.mechanisms, offer.mechanismNames);
    if (const XmlTag* a = features.firstChild("authentication", "xmlns", sasl2::kNamespace)) {
        offer.sasl2 = true;
        readMechanisms(*a, offer.sasl2Mechanisms, offer.sasl2MechanismNames);
        if (const XmlTag* extras = a->firstChild("inline")) {
            if (const XmlTag* bind = extras->firstChild("bind", "xmlns", sasl2::kBindNamespace)) {
                offer.bind2 = true;
                const XmlTag* bindExtras = bind->firstChild("inline");
                offer.bind2Csi = listsFeature(bindExtras, sasl2::kCsiNamespace);
                offer.bind2Sm = listsFeature(bindExtras, StreamManagement::kNamespace);
            }
            offer.inlineResume = extras->firstChild("sm", "xmlns", StreamManagement::kNamespace) != nullptr;
        }
    }
    offer.binding = readBindingOffer(features);
    return offer;
}

int offeredBits(const LoginOffer& offer) { return offer.usableMechanisms() | (offer.sasl2 ? OfferSasl2 : 0); }

int offerStrength(int offered, int allowed) {
    allowed &= ~kPlus;
    if (allowed & SaslScramSha1) allowed |= SaslScramSha1Plus;
    if (allowed & SaslScramSha256) allowed |= SaslScramSha256Plus;
    const int m = offered & allowed;
    int bits = offered & OfferSasl2;
    if (m & (SaslScramSha1 | SaslScramSha256 | kPlus)) bits |= OfferScram;
    if (m & kPlus) bits |= OfferScramBound;
    return bits;
}

std::string offerStrengthNames(int bits) {
    static const std::pair<int, const char*> kNames[] = {
        {OfferScram, "SCRAM"}, {OfferScramBound, "SCRAM with channel binding (-PLUS)"}, {OfferSasl2, "SASL2"}};
    std::string out;
    for (const auto& n : kNames)
        if (bits & n.first) out += (out.empty() ? "" : ", ") + std::string(n.second);
    return out;
}

std::string userAgentId(const JID& account) {
    // RFC 4122 4.3: SHA-1 over a namespace of this library's and the name.
    static const unsigned char kNamespaceId[16] = {0x3b, 0x6e, 0x0d, 0x52, 0x9c, 0x41, 0x4f, 0x7a,
                                                   0xa8, 0x15, 0x60, 0x2e, 0xc4, 0x97, 0x1d, 0x88};
    SHA sha;
    sha.update(std::string(reinterpret_cast<const char*>(kNamespaceId), sizeof kNamespaceId));
    sha.update(account.bare() + "/" + account.resource());
    std::string h = sha.rawDigest();
    h[6] = static_cast<char>((h[6] & 0x0f) | 0x50);  // version 5
    h[8] = static_cast<char>((h[8] & 0x3f) | 0x80);  // RFC 4122 variant
    char out[37];
    const auto* b = reinterpret_cast<const unsigned char*>(h.data());
    std::snprintf(out, sizeof out, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return out;
}

XmlTag* buildAuthenticate(const std::string& mechanism, const std::string* initialResponse,
                          const std::string& userAgent, const std::string& software) {
    XmlTag* a = new XmlTag("authenticate");
    a->setAttribute("xmlns", sasl2::kNamespace);
    a->setAttribute("mechanism", mechanism);
    // An empty initial response is written "=" (RFC 6120 6.4.2).
    if (initialResponse)
        new XmlTag(a, "initial-response", initialResponse->empty() ? std::string("=") : base64Encode(*initialResponse));
    XmlTag* agent = new XmlTag(a, "user-agent", "id", userAgent);
    if (!software.empty()) new XmlTag(agent, "software", software);
    return a;
}

XmlTag* buildBind2(const std::string& tag, bool active, bool enableSm) {
    XmlTag* bind = new XmlTag("bind");
    bind->setAttribute("xmlns", sasl2::kBindNamespace);
    if (!tag.empty()) new XmlTag(bind, "tag", tag);
    if (active) new XmlTag(bind, "active", "xmlns", sasl2::kCsiNamespace);
    if (enableSm) (new XmlTag(bind, "enable", "xmlns", StreamManagement::kNamespace))->setAttribute("resume", "true");
    return bind;
}

Sasl2Success readSasl2Success(const XmlTag& success) {
    Sasl2Success s;
    if (const XmlTag* data = success.firstChild("additional-data")) {
        s.hasAdditionalData = true;
        s.additionalData = base64Decode(data->text());
    }
    if (const XmlTag* id = success.firstChild("authorization-identifier")) s.authorizationId = id->text();
    s.bound = success.firstChild("bound", "xmlns", sasl2::kBindNamespace);
    if (s.bound)
        for (const XmlTag* c : s.bound->children())
            if (c->getAttribute("xmlns") == StreamManagement::kNamespace) {
                s.boundSm = c;
                break;
            }
    s.resumed = success.firstChild("resumed", "xmlns", StreamManagement::kNamespace);
    s.resumeFailed = success.firstChild("failed", "xmlns", StreamManagement::kNamespace);
    return s;
}

// ---- what this process knows of servers ------------------------------------

namespace {
struct Memory {
    std::mutex mutex;
    std::map<std::string, LoginOffer> offers;
    std::set<std::string> noInlineSm;
    std::map<std::string, int> strength;                      // by server: all but -PLUS
    std::map<std::pair<std::string, int>, int> boundStrength;  // by server and TLS version: -PLUS
};
Memory& memory() {
    static Memory* m = new Memory;  // used until the process ends
    return *m;
}
}  // namespace

void KnownServers::remember(const std::string& key, const LoginOffer& offer) {
    Memory& m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.offers[key] = offer;
}

bool KnownServers::recall(const std::string& key, LoginOffer& offer) {
    Memory& m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    auto it = m.offers.find(key);
    if (it == m.offers.end()) return false;
    offer = it->second;
    return true;
}

void KnownServers::inlineSmUnanswered(const std::string& key) {
    Memory& m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.noInlineSm.insert(key);
}

bool KnownServers::inlineSmWorks(const std::string& key) {
    Memory& m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    return m.noInlineSm.count(key) == 0;
}

void KnownServers::rememberStrength(const std::string& server, int tlsVersion, const LoginOffer& offer) {
    const int bits = offeredBits(offer);
    Memory& m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.strength[server] |= bits & ~kPlus;
    m.boundStrength[{server, tlsVersion}] |= bits & kPlus;
    if (tlsVersion >= kTls13) m.boundStrength[{server, kTls12}] |= bits & kPlus;
}

int KnownServers::strongestOffered(const std::string& server, int tlsVersion) {
    Memory& m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    const auto general = m.strength.find(server);
    const auto bound = m.boundStrength.find({server, tlsVersion});
    return (general == m.strength.end() ? 0 : general->second) | (bound == m.boundStrength.end() ? 0 : bound->second);
}

void KnownServers::forgetAll() {
    Memory& m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.offers.clear();
    m.noInlineSm.clear();
    m.strength.clear();
    m.boundStrength.clear();
}

}  // namespace tern

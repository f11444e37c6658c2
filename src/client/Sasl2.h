// What a server's stream features offer for logging in, classic SASL and
// SASL2 (XEP-0388) with what SASL2 can carry inline: Bind2 (XEP-0386),
// stream management (XEP-0198) and the initial client state (XEP-0352).
// Also the wire forms of SASL2's <authenticate> and <success>, the user
// agent a login presents, and what this process remembers of the servers
// it logged in to, so that a later connection to one can send its
// <authenticate> with the stream header.
#ifndef TERN_CLIENT_SASL2_H
#define TERN_CLIENT_SASL2_H

#include <memory>
#include <string>
#include <vector>

#include "ChannelBinding.h"

namespace tern {

class JID;
class XmlTag;

namespace sasl2 {
constexpr const char* kNamespace = "urn:xmpp:sasl:2";
constexpr const char* kBindNamespace = "urn:xmpp:bind:0";
constexpr const char* kCsiNamespace = "urn:xmpp:csi:0";
}  // namespace sasl2

struct LoginOffer {
    // Classic SASL: SaslMechanism bits and the names as sent.
    int mechanisms = 0;
    std::vector<std::string> mechanismNames;
    // SASL2: offered, with its own list.
    bool sasl2 = false;
    int sasl2Mechanisms = 0;
    std::vector<std::string> sasl2MechanismNames;
    bool bind2 = false;          // Bind2 inline
    bool bind2Csi = false;       // ... with the client state inline
    bool bind2Sm = false;        // ... with stream management inline
    bool inlineResume = false;   // stream management resumption in <authenticate>
    BindingOffer binding;

    // The list a login chooses from: SASL2's when offered.
    int usableMechanisms() const { return sasl2 ? sasl2Mechanisms : mechanisms; }
    const std::vector<std::string>& names() const { return sasl2 ? sasl2MechanismNames : mechanismNames; }
};

LoginOffer readLoginOffer(const XmlTag& features);

// What makes one offer stronger than another for a login: a later offer
// of a server must hold every bit an earlier one held.
enum OfferStrength {
    OfferScram = 0x1,       // a SCRAM mechanism: no password on the wire
    OfferScramBound = 0x2,  // ... with channel binding (-PLUS)
    OfferSasl2 = 0x4,
};
// What an offer holds, as the memory keeps it: the mechanisms (SaslMechanism
// bits) and OfferSasl2.
int offeredBits(const LoginOffer& offer);
// The strength of that to a login that may use the mechanisms in allowed
// (setSaslMechanisms: a -PLUS mechanism goes with its base's bit). A
// mechanism it may not use adds nothing: a relay that leaves only such a
// one has removed what the login would have used.
int offerStrength(int offered, int allowed);
// The bits as words, for a log line: "SCRAM, SASL2".
std::string offerStrengthNames(int bits);
// The SaslMechanism bit of a mechanism's name; 0 for one this client lacks.
int saslMechanismBit(const std::string& name);

// A stable user-agent id (XEP-0388 asks for one per installation). The
// library keeps no state, so it is derived from the account and resource:
// a name-based UUID (RFC 4122, version 5) of "user@domain/resource".
std::string userAgentId(const JID& account);

// <authenticate>: the mechanism, its initial response when it has one,
// the user agent, and the inline requests (owned by the element).
XmlTag* buildAuthenticate(const std::string& mechanism, const std::string* initialResponse,
                          const std::string& userAgent, const std::string& software);

// Bind2's request: the resource as the tag, the client state when offered,
// and stream management enabled inside it (XEP-0198) when asked.
XmlTag* buildBind2(const std::string& tag, bool active, bool enableSm);

// The parts of a SASL2 <success> that count.
struct Sasl2Success {
    bool hasAdditionalData = false;
    std::string additionalData;  // decoded
    std::string authorizationId;
    const XmlTag* bound = nullptr;
    const XmlTag* boundSm = nullptr;  // stream management inside <bound>: <enabled/> or <failed/>
    const XmlTag* resumed = nullptr;  // stream management, inline
    const XmlTag* resumeFailed = nullptr;
};
Sasl2Success readSasl2Success(const XmlTag& success);

// What earlier connections of this process learned, by a key naming the
// server and the way to it. Safe from any thread.
class KnownServers {
public:
    static void remember(const std::string& key, const LoginOffer& offer);
    static bool recall(const std::string& key, LoginOffer& offer);
    // The server never answered an <authenticate> that carried stream
    // management inline (a resumption, or an enable inside Bind2): later
    // ones leave it to after authentication.
    static void inlineSmUnanswered(const std::string& key);
    static bool inlineSmWorks(const std::string& key);
    // Everything a server offered (as offeredBits() gives it), by the
    // server and the way to it without the TLS version, which whoever
    // terminates TLS chooses; only the -PLUS mechanisms are kept by
    // version, for a server may bind on TLS 1.2 alone (Prosody 0.12). One
    // that binds on 1.3 binds on 1.2 as well: tls-unique exists on every
    // 1.2 connection.
    static void rememberStrength(const std::string& server, int tlsVersion, const LoginOffer& offer);
    static int strongestOffered(const std::string& server, int tlsVersion);
    static void forgetAll();  // tests
};

}  // namespace tern

#endif

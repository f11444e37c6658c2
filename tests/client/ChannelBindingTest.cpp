// Logins bound to their TLS connection, against an in-process TLS server
// that checks the binding as a server computes it: which mechanism and
// binding type a stream's offer leads to, XEP-0474's check of the offered
// lists, and a bound login the server refuses.
#include <gtest/gtest.h>

#include "client/Sasl2.h"
#include "support/LogRecorder.h"
#include "support/Sasl2Script.h"
#include "support/TlsSession.h"

using namespace tern;
using namespace testsupport;

namespace {

const std::string kSaslNs = "urn:ietf:params:xml:ns:xmpp-sasl";

std::string bindingTypes(std::initializer_list<const char*> types) {
    std::string out = "<sasl-channel-binding xmlns='urn:xmpp:sasl-cb:0'>";
    for (const char* t : types) out += std::string("<channel-binding type='") + t + "'/>";
    return out + "</sasl-channel-binding>";
}

std::string sasl(const char* name, const std::string& decoded) {
    return "<" + std::string(name) + " xmlns='" + kSaslNs + "'>" + base64Encode(decoded) + "</" + name + ">";
}

// A login over STARTTLS whose features inside TLS offer what the test
// says; the SCRAM exchange runs against ScramServer. With earlier, the
// process has logged in once with that offer from the server (on that TLS
// version); without, this is its first login there. allowed:
// setSaslMechanisms (0: as by default).
struct BoundLogin {
    BoundLogin(int maxVersion, const std::string& offer, bool sha1 = false, const std::string& earlier = "",
               int earlierVersion = 0, int allowed = 0, bool earlierSucceeded = true)
        : s({"example.test"}, maxVersion, "user@example.test/res", "pencil"), server(sha1) {
        KnownServers::forgetAll();
        if (!earlier.empty()) {
            BoundLogin before(earlierVersion, earlier);
            if (earlierSucceeded) before.succeed();
        }
        s.client->setSaslClientNonce("n0nce");
        if (allowed) s.client->setSaslMechanisms(allowed);
        s.pump(s.untilProceed());
        opening = s.peer.plaintext;
        first = s.exchange(serverHeader("s2") + features(offer));
        sasl2 = first.find("<authenticate") != std::string::npos;
    }
    // The server's first message (with extra attributes); returns what
    // the client answered.
    std::string challenge(const std::string& extra = std::string()) {
        const std::string clientFirst = sentPayload(first, sasl2 ? "initial-response" : "auth");
        const std::string m = server.first(clientFirst, extra);
        return s.exchange(sasl2 ? sasl2Challenge(m) : sasl("challenge", m));
    }
    // The rest of the exchange, bound as the mechanism says, and the success.
    void succeed() {
        std::string final;
        if (mechanism().rfind("SCRAM", 0) == 0)
            final = server.final(sentPayload(challenge(), "response"),
                                 mechanism().find("-PLUS") != std::string::npos ? s.peer.tlsUnique() : "");
        s.exchange(sasl2 ? sasl2Success(final, "user@example.test/res") : sasl("success", final));
        EXPECT_TRUE(s.client->authed()) << "the earlier login";
    }
    std::string mechanism() const {
        const std::size_t at = first.find("mechanism='") + 11;
        return first.substr(at, first.find('\'', at) - at);
    }
    TlsSession s;
    LogRecorder log{s.client->logInstance()};
    ScramServer server;
    std::string opening;  // the client's first write inside TLS: the header, with what is pipelined
    std::string first;  // the client's first element inside TLS after the features
    bool sasl2 = false;
};

}  // namespace

TEST(ChannelBinding, TheMechanismAndBindingAStreamsOfferLeadsTo) {
    struct Case {
        const char* name;
        int maxVersion;  // 0: TLS 1.3
        std::string offer;
        const char* mechanism;
        const char* gs2;
        const char* binding;  // what the server compares: "unique", "exporter" or ""
        int allowed;          // setSaslMechanisms (0: as by default)
    };
    const std::string plus256 = mechanisms({"SCRAM-SHA-256", "PLAIN", "SCRAM-SHA-256-PLUS"});
    const Case cases[] = {
        // Servers that list nothing compute tls-unique, on TLS 1.3 as well.
        {"TLS 1.3, no list", 0, plus256, "SCRAM-SHA-256-PLUS", "p=tls-unique,,", "unique", 0},
        {"TLS 1.3, the exporter listed", 0, plus256 + bindingTypes({"tls-server-end-point", "tls-exporter"}),
         "SCRAM-SHA-256-PLUS", "p=tls-exporter,,", "exporter", 0},
        // A list gives no type of its own here: as without one. Whether the
        // login is bound never depends on the list, which a relay can add.
        {"TLS 1.3, only a type this client lacks", 0, plus256 + bindingTypes({"tls-server-end-point"}),
         "SCRAM-SHA-256-PLUS", "p=tls-unique,,", "unique", 0},
        {"SASL2, an empty list, no -PLUS", TLS1_2_VERSION,
         sasl2Offer({"SCRAM-SHA-256"}) + "<sasl-channel-binding xmlns='urn:xmpp:sasl-cb:0'/>", "SCRAM-SHA-256", "y,,",
         "", 0},
        {"TLS 1.2, no list, SHA-1 bound before SHA-256 unbound", TLS1_2_VERSION,
         mechanisms({"SCRAM-SHA-256", "SCRAM-SHA-1-PLUS"}), "SCRAM-SHA-1-PLUS", "p=tls-unique,,", "unique", 0},
        {"TLS 1.2, tls-unique listed", TLS1_2_VERSION, plus256 + bindingTypes({"tls-unique"}), "SCRAM-SHA-256-PLUS",
         "p=tls-unique,,", "unique", 0},
        // A server that binds logins sees that -PLUS was removed.
        {"no -PLUS offered", 0, mechanisms({"SCRAM-SHA-256"}), "SCRAM-SHA-256", "y,,", "", 0},
        {"SASL2, TLS 1.3", 0, sasl2Offer({"SCRAM-SHA-256", "SCRAM-SHA-256-PLUS"}), "SCRAM-SHA-256-PLUS",
         "p=tls-unique,,", "unique", 0},
        // -PLUS offered only for a hash this client may not use counts as
        // none: "y", or a relay could leave just that one to silence it.
        {"-PLUS only for a hash not allowed", 0, mechanisms({"SCRAM-SHA-256", "SCRAM-SHA-1-PLUS"}), "SCRAM-SHA-256",
         "y,,", "", 0xFFFF & ~SaslScramSha1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BoundLogin login(c.maxVersion, c.offer, std::string(c.mechanism).rfind("SCRAM-SHA-1", 0) == 0, "", 0,
                         c.allowed);
        EXPECT_EQ(login.mechanism(), c.mechanism);
        const std::string response = login.challenge();
        EXPECT_EQ(login.server.gs2Header(), c.gs2);
        const std::string binding = std::string(c.binding) == "unique"     ? login.s.peer.tlsUnique()
                                    : std::string(c.binding) == "exporter" ? login.s.peer.exporter()
                                                                           : std::string();
        const std::string final = login.server.final(sentPayload(response, "response"), binding);
        ASSERT_EQ(final.rfind("v=", 0), 0u) << final;
        login.s.exchange(login.sasl2 ? sasl2Success(final, "user@example.test/res") : sasl("success", final));
        EXPECT_TRUE(login.s.client->authed());
    }
}

// XEP-0474: the server hashes what it offered; a relay that removed -PLUS
// or the binding types from the features cannot change that hash.
TEST(ChannelBinding, TheServersHashOfItsOffer) {
    const std::string offered = "PLAIN,SCRAM-SHA-256,SCRAM-SHA-256-PLUS|tls-unique";
    struct Case {
        const char* name;
        std::string features;
        bool accepted;
    };
    const Case cases[] = {
        {"as offered", mechanisms({"SCRAM-SHA-256-PLUS", "PLAIN", "SCRAM-SHA-256"}) + bindingTypes({"tls-unique"}),
         true},
        {"-PLUS removed", mechanisms({"PLAIN", "SCRAM-SHA-256"}) + bindingTypes({"tls-unique"}), false},
        {"the binding types removed", mechanisms({"PLAIN", "SCRAM-SHA-256", "SCRAM-SHA-256-PLUS"}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BoundLogin login(TLS1_2_VERSION, c.features);
        LogRecorder log(login.s.client->logInstance());
        const std::string answer = login.challenge(",d=" + login.server.digestBase64(offered));
        EXPECT_EQ(answer.find("<response") != std::string::npos, c.accepted) << answer;
        EXPECT_EQ(login.s.listener.disconnects,
                  c.accepted ? std::vector<ConnectionError>{} : std::vector<ConnectionError>{TlsFailed});
        EXPECT_EQ(log.contains("someone in the path may be intercepting the connection"), !c.accepted);
    }
}

// A server that refuses a bound login (or a "y") ends it: no second try
// without binding.
TEST(ChannelBinding, ARefusedLoginEndsWithoutAnotherTry) {
    struct Case {
        const char* name;
        int maxVersion;
        std::string offer;
        const char* logged;
    };
    const Case cases[] = {
        {"bound", TLS1_2_VERSION, mechanisms({"SCRAM-SHA-256", "SCRAM-SHA-256-PLUS"}),
         "the login was bound to this TLS connection (tls-unique)"},
        {"y", 0, mechanisms({"SCRAM-SHA-256", "PLAIN"}), "its offer of -PLUS was removed on the way"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BoundLogin login(c.maxVersion, c.offer);
        LogRecorder log(login.s.client->logInstance());
        login.challenge();
        const std::string after = login.s.exchange("<failure xmlns='" + kSaslNs + "'><not-authorized/></failure>");
        EXPECT_EQ(after, "</stream:stream>");
        EXPECT_EQ(login.s.listener.disconnects, std::vector<ConnectionError>{AuthenticationFailed});
        EXPECT_TRUE(log.contains(c.logged));
    }
}

// A server this process saw offer more before (SCRAM, with binding, SASL2):
// whoever removed it gets no login, whatever TLS version it chose, not even
// on a stream whose <authenticate> went with the header (the live relay
// tests show the rest).
TEST(ChannelBinding, AnOfferWeakerThanTheServersEarlierOneEndsTheLogin) {
    struct Case {
        const char* name;
        std::string earlier;
        int earlierVersion;  // 0: TLS 1.3
        std::string now;
        int version;
        bool pipelined;  // the <authenticate> went with the header
        bool refused;
        bool earlierSucceeded = true;
    };
    const int v12 = TLS1_2_VERSION, v13 = 0;
    const std::string scram = mechanisms({"SCRAM-SHA-256", "PLAIN"});
    const Case cases[] = {
        {"every SCRAM removed, TLS 1.2 towards the client", scram, v13, mechanisms({"PLAIN"}), v12, false, true},
        // Prosody binds on TLS 1.2 only: on 1.3 "y", as on a first login.
        {"-PLUS offered on the other TLS version only", mechanisms({"SCRAM-SHA-256", "SCRAM-SHA-256-PLUS"}), v12, scram,
         v13, false, false},
        // Attack probe: a server that binds on TLS 1.3 (ejabberd, which
        // does not check "y") binds on 1.2 as well; a relay that speaks 1.2
        // to the client and removes -PLUS must not find the memory empty.
        {"-PLUS seen on TLS 1.3, removed by a relay speaking TLS 1.2", mechanisms({"SCRAM-SHA-256", "SCRAM-SHA-256-PLUS"}),
         v13, scram, v12, false, true},
        {"pipelined, its mechanism removed", sasl2Offer({"SCRAM-SHA-256-PLUS", "SCRAM-SHA-256"}, kBind2), v12,
         sasl2Offer({"SCRAM-SHA-1-PLUS", "SCRAM-SHA-256"}, kBind2), v12, true, true},
        // Whoever added -PLUS to the features of a login that then failed
        // cannot end the later ones with it.
        {"-PLUS offered on a connection whose login failed", mechanisms({"SCRAM-SHA-256", "SCRAM-SHA-256-PLUS"}), v12,
         scram, v12, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BoundLogin login(c.version, c.now, false, c.earlier, c.earlierVersion, 0, c.earlierSucceeded);
        EXPECT_EQ(login.opening.find("<authenticate") != std::string::npos, c.pipelined) << login.opening;
        EXPECT_EQ(login.s.listener.disconnects,
                  c.refused ? std::vector<ConnectionError>{TlsFailed} : std::vector<ConnectionError>{});
        EXPECT_EQ(login.log.contains("someone in the path may be intercepting the connection"), c.refused);
        // Refused: nothing more, no credential.
        EXPECT_EQ(c.refused ? login.first : login.first.substr(0, 5), c.refused ? "" : "<auth") << login.first;
    }
}

// Attack probe: an <authenticate> sent with the header whose <success>
// does not bind (no Bind2 offered, a server that leaves <bound> out, or a
// recovery without inline resumption) must go on to bind once the
// features that follow arrive, not wait for a second SASL2 answer.
TEST(ChannelBinding, APipelinedSuccessWithoutBind2GoesOnToBind) {
    struct Case {
        const char* name;
        std::string offer;
    };
    const Case cases[] = {
        {"no Bind2 offered", sasl2Offer({"PLAIN"})},
        {"Bind2 offered, the success leaves <bound> out", sasl2Offer({"PLAIN"}, kBind2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BoundLogin login(TLS1_2_VERSION, c.offer, false, c.offer, TLS1_2_VERSION);
        ASSERT_NE(login.opening.find("<authenticate"), std::string::npos) << login.opening;
        EXPECT_EQ(login.s.exchange(sasl2Success("", "user@example.test")), "");
        ASSERT_TRUE(login.s.client->authed());
        const std::string after = login.s.exchange(features(kBindAndSession));
        EXPECT_NE(after.find("<bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'"), std::string::npos)
            << "nothing sent after the features; step " << streamStepName(login.s.client->step());
    }
}

// Attack probe: a host that excludes SCRAM-SHA-1 (setSaslMechanisms). The
// server offers both hashes with and without -PLUS; a relay that holds a
// certificate for the domain removes SCRAM-SHA-256-PLUS and leaves
// SCRAM-SHA-1-PLUS. The client must not say "n" (which a server that binds
// logins accepts from the relay): it says "y" or stops, on the first login
// and on one after the process saw the server's own offer.
TEST(ChannelBinding, ARelayCannotSilenceYWithAPlusForAnExcludedHash) {
    const std::string server = mechanisms({"SCRAM-SHA-256", "SCRAM-SHA-256-PLUS", "SCRAM-SHA-1", "SCRAM-SHA-1-PLUS"});
    const std::string relayed = mechanisms({"SCRAM-SHA-256", "SCRAM-SHA-1-PLUS"});
    for (const std::string& earlier : {std::string(), server}) {
        SCOPED_TRACE(earlier.empty() ? "first login" : "the server's offer seen before");
        BoundLogin login(TLS1_2_VERSION, relayed, false, earlier, TLS1_2_VERSION, 0xFFFF & ~SaslScramSha1);
        if (login.first.empty()) continue;  // refused before any credential: fine
        login.challenge();
        EXPECT_NE(login.server.gs2Header(), "n,,") << "a server that binds logins accepts this from the relay";
    }
}

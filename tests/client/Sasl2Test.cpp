// SASL2 against a scripted server: what goes into <authenticate>, what the
// success makes of the session (no stream restart; bound inline or by a
// bind request), the session's first requests in one write, and
// resumption inside <authenticate>.
#include <gtest/gtest.h>

#include <regex>

#include "client/Sasl2.h"
#include "client/StreamManagement.h"
#include "support/FakeSession.h"
#include "support/Sasl2Script.h"

using namespace tern;
using namespace testsupport;

namespace {

const std::string kSm = "<sm xmlns='urn:xmpp:sm:3'/>";
const std::string kFirstRequests = "<iq id='uid1' type='get'><query xmlns='jabber:iq:private'>";

struct Sasl2Session : FakeSession {
    Sasl2Session() : FakeSession("user@example.test/res", "pencil") { client->setSaslClientNonce("n0nce"); }
};

}  // namespace

TEST(Sasl2, TheLoginAsTheServerOffersIt) {
    struct Case {
        const char* name;
        std::string offer;        // the features
        std::string authenticate;  // what follows the initial response, up to </authenticate>
        bool bound;                // the success binds the session
        std::string boundAnswer;   // what <bound> holds
        std::string afterSuccess;  // the first write after the success (a prefix)
        bool enableSent;           // a top-level <enable/> (bound sessions)
        bool managed;              // stream management on, once the features after the success are in
    };
    const std::string agent = "<user-agent id='" + userAgentId(JID("user@example.test/res")) +
                              "'><software>based on xmpp</software></user-agent>";
    const std::string enable = "<enable xmlns='urn:xmpp:sm:3' resume='true'/>";
    const std::string bindSm = agent + "<bind xmlns='urn:xmpp:bind:0'><tag>res</tag>" + enable + "</bind>";
    const Case cases[] = {
        {"Bind2 with the client state", sasl2Offer({"PLAIN", "SCRAM-SHA-256"}, kBind2),
         agent + "<bind xmlns='urn:xmpp:bind:0'><tag>res</tag><active xmlns='urn:xmpp:csi:0'/></bind>", true, "",
         kFirstRequests, true, true},
        // Listed inline only beside Bind2, not inside it: enabled after.
        {"Bind2 with stream management beside it", sasl2Offer({"SCRAM-SHA-256"}, "<bind xmlns='urn:xmpp:bind:0'/>" + kSm),
         agent + "<bind xmlns='urn:xmpp:bind:0'><tag>res</tag></bind>", true, "", enable + kFirstRequests, true, true},
        {"stream management inside Bind2", sasl2Offer({"SCRAM-SHA-256"}, kBind2Sm), bindSm, true, kEnabledInline,
         kFirstRequests, false, true},
        {"stream management inside Bind2, refused", sasl2Offer({"SCRAM-SHA-256"}, kBind2Sm), bindSm, true,
         "<failed xmlns='urn:xmpp:sm:3'><feature-not-implemented xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/>"
         "</failed>",
         kFirstRequests, false, false},
        {"stream management inside Bind2, left unanswered", sasl2Offer({"SCRAM-SHA-256"}, kBind2Sm), bindSm, true, "",
         enable + kFirstRequests, true, true},
        {"without Bind2", sasl2Offer({"SCRAM-SHA-256"}) + mechanisms({"SCRAM-SHA-1"}), agent, false, "",
         "<iq type='set' id='uid1'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><resource>res</resource>", false,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sasl2Session s;
        s.open();
        s.says(serverHeader() + features(c.offer));
        const std::string sent = s.sent();
        EXPECT_EQ(sent, "<authenticate xmlns='urn:xmpp:sasl:2' mechanism='SCRAM-SHA-256'><initial-response>" +
                            base64Encode("n,,n=user,r=n0nce") + "</initial-response>" + c.authenticate +
                            "</authenticate>");
        ScramServer server;
        s.says(sasl2Challenge(server.first(sentPayload(sent, "initial-response"))));
        const std::vector<std::string> proof = s.fake->takeWrites();
        ASSERT_EQ(proof.size(), 1u);
        // no restart, and the address the server gives the session
        s.says(sasl2Success(server.final(sentPayload(proof[0], "response")), "user@example.test/res~a1", c.bound, "",
                            c.boundAnswer));
        ASSERT_TRUE(s.client->authed());
        s.says(features(std::string(kBindAndSession) + kSm));
        const std::vector<std::string> writes = s.fake->takeWrites();
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes[0].rfind(c.afterSuccess, 0), 0u) << writes[0];
        for (const std::string& w : writes) EXPECT_EQ(w.find("<stream:stream"), std::string::npos) << w;
        EXPECT_EQ(s.client->jid().full(), c.bound ? "user@example.test/res~a1" : "user@example.test/res");
        if (c.bound) {
            // The session's first requests (and a room join) in the write that follows the success.
            EXPECT_NE(writes[0].find("<presence>"), std::string::npos) << writes[0];
            EXPECT_EQ((writes[0] + (writes.size() > 1 ? writes[1] : "")).find("<enable") != std::string::npos,
                      c.enableSent);
            EXPECT_EQ(s.client->streamManagement()->counting(), c.managed);
        }
    }
}

// Mechanisms without a challenge, with stream management inside Bind2:
// the answer is due within 5 s, not the 60 s negotiation timeout (Prosody
// 0.12.3's mod_sasl2_sm never gives it).
TEST(Sasl2, AnInlineAnswerIsDueWithinFiveSecondsWithoutAChallenge) {
    const char* const cases[][3] = {{"PLAIN", "user@example.test/res", "pencil"},
                                    {"EXTERNAL", "user@example.test/res", ""},
                                    {"ANONYMOUS", "example.test/res", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        KnownServers::forgetAll();
        FakeSession s(c[1], c[2]);
        s.client->setClientCert("key.pem", "cert.pem");
        s.client->setEncryptionPolicy(EncryptionAllowPlaintext);
        s.open();
        s.says(serverHeader() + features(sasl2Offer({c[0]}, kBind2Sm)));
        EXPECT_NE(s.sent().find("mechanism='" + std::string(c[0]) + "'"), std::string::npos);
        s.client->receive(-1);
        EXPECT_LE(s.fake->lastWaitUs, 5000000);
    }
}

TEST(Sasl2, TheUserAgentIdIsStablePerAccountAndResource) {
    const std::regex uuid5("[0-9a-f]{8}-[0-9a-f]{4}-5[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    const std::string id = userAgentId(JID("user@example.test/res"));
    EXPECT_TRUE(std::regex_match(id, uuid5)) << id;
    EXPECT_EQ(userAgentId(JID("user@example.test/res")), id);
    EXPECT_NE(userAgentId(JID("user@example.test/other")), id);
    EXPECT_NE(userAgentId(JID("other@example.test/res")), id);
}

namespace {

// Logged in through SASL2 with stream management on (id sm-1), one room
// message unacknowledged; the connection drops and the client reconnects.
// Returns the <authenticate> of the new connection.
std::string dropAfterSasl2Login(Sasl2Session& s, const std::string& inlined) {
    s.client->streamManagement()->setFirstPause(1);
    s.client->setSaslMechanisms(SaslPlain);
    s.open();
    s.says(serverHeader() + features(sasl2Offer({"PLAIN"}, inlined)));
    const bool insideBind2 = inlined.find(kBind2Sm) != std::string::npos;
    s.says(sasl2Success("", "user@example.test/res~a1", true, "", insideBind2 ? kEnabledInline : "") + features(kSm));
    if (!insideBind2) s.says(kEnabledInline);
    s.says("<iq type='result' id='uid2'><query xmlns='jabber:iq:roster'/></iq>");
    auto* m = new XmlTag("message");
    m->setAttribute("to", "room@conference.example.test");
    new XmlTag(m, "body", "unacknowledged");
    s.client->sendTag(m);
    s.sent();
    s.fake->serverCloses();
    for (int i = 0; i < 1500 && s.fake->connects < 2; ++i) {
        s.client->receive(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    s.says(serverHeader("s2") + features(sasl2Offer({"PLAIN"}, inlined)));
    return s.sent();
}

}  // namespace

TEST(Sasl2, ALostSessionIsResumedInsideAuthenticate) {
    struct Case {
        const char* name;
        std::string offer;       // what SASL2 carries inline
        bool inlineResume;       // <resume/> inside <authenticate>
        std::string success;     // the server's answer
        std::string afterwards;  // what the client sends then (a fragment)
        bool enableSent;         // ... with a top-level <enable/>
        const char* jid;
    };
    const std::string resumed = "<resumed xmlns='urn:xmpp:sm:3' h='0' previd='sm-1'/>";
    const std::string gone = "<failed xmlns='urn:xmpp:sm:3' h='0'><item-not-found "
                             "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></failed>";
    const Case cases[] = {
        {"resumed", kBind2 + kSm, true, sasl2Success("", "user@example.test", false, resumed), "unacknowledged",
         false, "user@example.test/res~a1"},
        {"gone, bound in its place", kBind2 + kSm, true, sasl2Success("", "user@example.test/res~b2", true, gone),
         "<enable xmlns='urn:xmpp:sm:3' resume='true'/>", true, "user@example.test/res~b2"},
        {"gone, bound and managed inside Bind2", kBind2Sm + kSm, true,
         sasl2Success("", "user@example.test/res~b2", true, gone,
                      "<enabled xmlns='urn:xmpp:sm:3' id='sm-2' resume='true'/>"),
         "xmlns='jabber:iq:roster'", false, "user@example.test/res~b2"},
        // Without the offer: after authentication, as on a classic stream.
        {"not offered inline", kBind2, false, sasl2Success("", "user@example.test") + features(kSm),
         "<resume xmlns='urn:xmpp:sm:3' h='1' previd='sm-1'/>", false, "user@example.test/res~a1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KnownServers::forgetAll();
        Sasl2Session s;
        const std::string authenticate = dropAfterSasl2Login(s, c.offer);
        EXPECT_EQ(authenticate.find("<resume xmlns='urn:xmpp:sm:3' h='1' previd='sm-1'/>") != std::string::npos,
                  c.inlineResume)
            << authenticate;
        // Bind2 goes with an inline resumption only, for a session gone,
        // with the host's resource as the tag (not res~a1) and the user
        // agent of every login.
        EXPECT_EQ(authenticate.find("<bind xmlns='urn:xmpp:bind:0'><tag>res</tag>") != std::string::npos,
                  c.inlineResume)
            << authenticate;
        EXPECT_NE(authenticate.find("<user-agent id='" + userAgentId(JID("user@example.test/res")) + "'>"),
                  std::string::npos)
            << authenticate;
        s.says(c.success);
        const std::string afterwards = s.sent();
        EXPECT_NE(afterwards.find(c.afterwards), std::string::npos) << afterwards;
        EXPECT_EQ(afterwards.find("<enable ") != std::string::npos, c.enableSent) << afterwards;
        EXPECT_TRUE(s.listener.disconnects.empty());
        EXPECT_EQ(s.client->jid().full(), c.jid);
    }
}

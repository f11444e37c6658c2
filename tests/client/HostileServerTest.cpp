// Hostile servers and accounts: an element out of its turn ends the stream
// with a stream error and changes nothing else; an answer from someone
// other than the addressee is ignored; credentials are checked before
// anything is sent.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "client/Base64.h"
#include "client/StreamManagement.h"
#include "support/FakeSession.h"
#include "support/LogRecorder.h"
#include "support/Sasl2Script.h"

using namespace tern;
using testsupport::FakeSession;
using testsupport::features;
using testsupport::kBindAndSession;
using testsupport::mechanisms;
using testsupport::serverHeader;

namespace {

const std::string kSasl = "xmlns='urn:ietf:params:xml:ns:xmpp-sasl'";
const std::string kSm = "xmlns='urn:xmpp:sm:3'";
const std::string kChat = "<message type='groupchat' to='room@conference.example.test'><body>queued</body></message>";

enum class Stage {
    Features,     // the server's header is in, its features are due
    Digest,       // DIGEST-MD5 chosen, its challenge due
    Binding,      // authenticated, the bind request out
    Established,  // logged in, without stream management
    Managed,      // logged in with stream management, one stanza unacknowledged
    Reconnected,  // that connection lost; the new one is open, its header due
    ResumeSent,   // authenticated again on it, <resume/> sent
    Sasl2,        // SASL2 PLAIN with Bind2 sent, its success due
    Sasl2NoBind,  // SASL2 PLAIN without Bind2 (none offered), its success due
    Sasl2Sm,      // SASL2 PLAIN with stream management enabled inside Bind2, its success due
    Sasl2SmBound, // logged in that way, stream management enabled inside <bound>
    Sasl2Scram,   // SASL2 SCRAM, the client's proof sent, the success due
    Sasl2Bound,   // logged in with SASL2 and Bind2, the features after it in
};

void sendChat(FakeSession& s) {
    auto* m = new XmlTag("message");
    m->setAttribute("type", "groupchat");
    m->setAttribute("to", "room@conference.example.test");
    new XmlTag(m, "body", "queued");
    s.client->sendTag(m);
}

void authenticate(FakeSession& s, const std::string& afterSuccess) {
    s.says(serverHeader() + features(mechanisms({"PLAIN"})));
    s.says("<success " + kSasl + "/>");
    s.says(serverHeader("s2") + features(afterSuccess));
}

void reach(FakeSession& s, Stage stage) {
    s.client->streamManagement()->setFirstPause(1);
    s.open();
    if (stage == Stage::Sasl2 || stage == Stage::Sasl2Bound) {
        s.says(serverHeader() + features(testsupport::sasl2Offer({"PLAIN"}, testsupport::kBind2)));
        if (stage == Stage::Sasl2) return;
        s.says(testsupport::sasl2Success("", "user@example.test/res~1", true) + features(kBindAndSession));
        return;
    }
    if (stage == Stage::Sasl2NoBind) {
        s.says(serverHeader() + features(testsupport::sasl2Offer({"PLAIN"})));
        return;
    }
    if (stage == Stage::Sasl2Sm || stage == Stage::Sasl2SmBound) {
        s.says(serverHeader() + features(testsupport::sasl2Offer({"PLAIN"}, testsupport::kBind2Sm)));
        if (stage == Stage::Sasl2Sm) return;
        s.says(testsupport::sasl2Success("", "user@example.test/res~1", true, "", testsupport::kEnabledInline) +
               features(kBindAndSession));
        return;
    }
    if (stage == Stage::Sasl2Scram) {
        testsupport::ScramServer server;
        s.client->setSaslClientNonce("n0nce");
        s.says(serverHeader() + features(testsupport::sasl2Offer({"SCRAM-SHA-256"})));
        s.says(testsupport::sasl2Challenge(server.first(testsupport::sentPayload(s.sent(), "initial-response"))));
        return;
    }
    if (stage == Stage::Features) {
        s.says(serverHeader());
        return;
    }
    if (stage == Stage::Digest) {
        s.says(serverHeader() + features(mechanisms({"DIGEST-MD5"})));
        return;
    }
    const bool managed = stage != Stage::Established && stage != Stage::Binding;
    authenticate(s, std::string(kBindAndSession) + (managed ? "<sm " + kSm + "/>" : ""));
    if (stage == Stage::Binding) return;
    s.says("<iq type='result' id='uid1'/>");
    if (managed) s.says("<enabled " + kSm + " id='sm-1' resume='true'/>");
    s.says("<iq type='result' id='uid2'/><iq type='result' id='uid4'><query xmlns='jabber:iq:roster'/></iq>");
    if (stage == Stage::Established) return;
    sendChat(s);
    if (stage == Stage::Managed) return;
    s.fake->serverCloses();
    for (int i = 0; i < 1500 && s.fake->connects < 2; ++i) {
        s.client->receive(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(s.fake->connects, 2);
    if (stage == Stage::ResumeSent) authenticate(s, std::string(kBindAndSession) + "<sm " + kSm + "/>");
}

std::string streamError(const std::string& condition, const std::string& detail = "") {
    return "<stream:error><" + condition + " xmlns='urn:ietf:params:xml:ns:xmpp-streams'/>" + detail +
           "</stream:error></stream:stream>";
}

struct Row {
    const char* name;
    Stage stage;
    std::string script;      // what the server (or someone in its path) sends
    std::string sentEnding;  // what the client's last words are; empty: it stays quiet
    ConnectionError ending;  // NoError: the session goes on
};

}  // namespace

TEST(HostileServer, ElementsOutOfTurn) {
    const std::string policy = streamError("policy-violation");
    const std::string refusedQuietly = "<stream:error><policy-violation xmlns='urn:ietf:params:xml:ns:xmpp-streams'/>"
                                       "</stream:error>";
    const Row rows[] = {
        {"success without auth", Stage::Features, "<success " + kSasl + "/>", policy, StreamError},
        {"challenge without auth", Stage::Features, "<challenge " + kSasl + ">eA==</challenge>", policy, StreamError},
        {"proceed without starttls", Stage::Features, "<proceed xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>", policy,
         StreamError},
        {"a second header", Stage::Features, serverHeader(), policy, StreamError},
        {"a stanza before authentication", Stage::Features, "<message from='a@example.test/x'><body>hi</body></message>",
         policy, StreamError},
        {"an unknown element", Stage::Features, "<foo xmlns='urn:x'/>", streamError("unsupported-stanza-type"),
         StreamError},
        {"compression nobody asked for", Stage::Features, "<compressed xmlns='http://jabber.org/protocol/compress'/>",
         streamError("unsupported-stanza-type"), StreamError},
        {"features once established", Stage::Established, features(kBindAndSession), policy, StreamError},
        {"success once established", Stage::Established, "<success " + kSasl + "/>", policy, StreamError},
        {"enabled without enable", Stage::Established, "<enabled " + kSm + " id='x' resume='true'/>", policy,
         StreamError},
        {"failed without enable", Stage::Established, "<failed " + kSm + "/>", policy, StreamError},
        {"an ack request while not enabled", Stage::Established, "<r " + kSm + "/>", policy, StreamError},
        {"resumed without resume", Stage::Managed, "<resumed " + kSm + " h='0' previd='sm-1'/>", policy, StreamError},
        {"an ack whose count does not fit 32 bits", Stage::Managed, "<a " + kSm + " h='4294967296'/>", policy,
         StreamError},
        {"a stanza from another account while binding", Stage::Binding,
         "<message from='mallory@example.test/x'><body>hi</body></message>", policy, StreamError},
        {"the bind answer from another account", Stage::Binding,
         "<iq type='result' id='uid1' from='mallory@example.test/x'><bind "
         "xmlns='urn:ietf:params:xml:ns:xmpp-bind'><jid>mallory@example.test/x</jid></bind></iq>",
         policy, StreamError},
        {"an ack beyond what was sent", Stage::Managed, "<a " + kSm + " h='99'/>",
         streamError("undefined-condition", "<handled-count-too-high " + kSm + " h='99' send-count='5'/>"),
         StreamError},
        // Before the new stream authenticates anyone in the path could have
        // sent it: refused, and the next attempt follows.
        {"resumed before authentication", Stage::Reconnected,
         serverHeader() + "<resumed " + kSm + " h='0' previd='sm-1'/>", refusedQuietly, NoError},
        {"an ack before authentication", Stage::Reconnected, serverHeader() + "<a " + kSm + " h='5'/>",
         refusedQuietly, NoError},
        {"resumed for another session", Stage::ResumeSent, "<resumed " + kSm + " h='4' previd='sm-2'/>", policy,
         StreamError},
        {"DIGEST-MD5 success without the server's proof", Stage::Digest,
         "<challenge " + kSasl + ">" + base64Encode("nonce=\"n\",qop=\"auth\"") + "</challenge><success " + kSasl +
             "/>",
         "<abort " + kSasl + "/></stream:stream>", AuthenticationFailed},
        {"DIGEST-MD5 with a wrong rspauth of the right length", Stage::Digest,
         "<challenge " + kSasl + ">" + base64Encode("nonce=\"n\",qop=\"auth\"") + "</challenge><challenge " + kSasl +
             ">" + base64Encode("rspauth=" + std::string(32, '0')) + "</challenge>",
         "<abort " + kSasl + "/></stream:stream>", AuthenticationFailed},
        // SASL2 and Bind2 in turn, and only what was asked for.
        {"a SASL2 success without authenticate", Stage::Features, testsupport::sasl2Success("", "user@example.test"),
         policy, StreamError},
        {"a SASL2 challenge without authenticate", Stage::Features, testsupport::sasl2Challenge("r=x"), policy,
         StreamError},
        {"a classic success during SASL2", Stage::Sasl2, "<success " + kSasl + "/>", policy, StreamError},
        {"another account's stanza during SASL2", Stage::Sasl2,
         "<message from='mallory@example.test/x'><body>hi</body></message>", policy, StreamError},
        {"bound in another domain", Stage::Sasl2, testsupport::sasl2Success("", "user@evil.test/res", true), policy,
         StreamError},
        {"bound without a resource", Stage::Sasl2, testsupport::sasl2Success("", "user@example.test", true), policy,
         StreamError},
        {"bound as another user of the domain", Stage::Sasl2,
         testsupport::sasl2Success("", "admin@example.test/x", true), policy, StreamError},
        {"authorized as another user of the domain", Stage::Sasl2, testsupport::sasl2Success("", "admin@example.test"),
         policy, StreamError},
        {"a SASL2 success without an authorization identifier", Stage::Sasl2NoBind,
         "<success xmlns='urn:xmpp:sasl:2'/>", policy, StreamError},
        {"bound without Bind2", Stage::Sasl2NoBind, testsupport::sasl2Success("", "user@example.test/res", true),
         policy, StreamError},
        {"stream management inside bound, not enabled there", Stage::Sasl2,
         testsupport::sasl2Success("", "user@example.test/res~1", true, "", testsupport::kEnabledInline), policy,
         StreamError},
        {"a top-level enabled while the one inside Bind2 is due", Stage::Sasl2Sm, testsupport::kEnabledInline, policy,
         StreamError},
        {"a resumption inside bound", Stage::Sasl2Sm,
         testsupport::sasl2Success("", "user@example.test/res~1", true, "",
                                   "<resumed " + kSm + " h='0' previd='sm-1'/>"),
         policy, StreamError},
        {"enabled again after the answer inside bound", Stage::Sasl2SmBound, testsupport::kEnabledInline, policy,
         StreamError},
        {"a resumption nobody asked for", Stage::Sasl2,
         "<success xmlns='urn:xmpp:sasl:2'><authorization-identifier>user@example.test/res</authorization-identifier>"
         "<resumed " + kSm + " h='0' previd='sm-1'/></success>",
         policy, StreamError},
        // Attack probe: PLAIN has no challenge; answering each one keeps a
        // hostile server's ping-pong going until the negotiation timeout.
        {"a challenge to PLAIN, which has none", Stage::Sasl2, testsupport::sasl2Challenge(""),
         "<abort xmlns='urn:xmpp:sasl:2'/></stream:stream>", AuthenticationFailed},
        {"further steps after authentication", Stage::Sasl2,
         "<continue xmlns='urn:xmpp:sasl:2'><tasks><task>HOTP-EXAMPLE</task></tasks></continue>",
         "<abort xmlns='urn:xmpp:sasl:2'/></stream:stream>", AuthenticationFailed},
        {"a SASL2 success without the server's signature", Stage::Sasl2Scram,
         testsupport::sasl2Success("", "user@example.test/res"), "<abort xmlns='urn:xmpp:sasl:2'/></stream:stream>",
         AuthenticationFailed},
        {"a SASL2 signature that does not verify", Stage::Sasl2Scram,
         testsupport::sasl2Success("v=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", "user@example.test/res"),
         "<abort xmlns='urn:xmpp:sasl:2'/></stream:stream>", AuthenticationFailed},
        {"features twice after a SASL2 success", Stage::Sasl2Bound, features(kBindAndSession), policy, StreamError},
        {"a SASL2 success once bound", Stage::Sasl2Bound, testsupport::sasl2Success("", "user@example.test/x", true),
         policy, StreamError},
        // Stanzas from another account are not the server's doing: ignored.
        {"a stanza nested deeper than the parser keeps, from another account", Stage::Established,
         "<message from='mallory@example.test/x' type='chat'><body>hi</body><n xmlns='urn:x'>" +
             [] {
                 std::string deep;
                 for (int i = 0; i < 300; ++i) deep += "<x>";
                 for (int i = 0; i < 300; ++i) deep += "</x>";
                 return deep;
             }() + "</n></message>",
         "", NoError},
        {"bind and session answers from another account", Stage::Established,
         "<iq type='result' id='uid1' from='mallory@example.test/x'><bind "
         "xmlns='urn:ietf:params:xml:ns:xmpp-bind'><jid>mallory@example.test/x</jid></bind></iq>"
         "<iq type='result' id='uid2' from='mallory@example.test/x'/>",
         "", NoError},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        FakeSession s;
        s.client->setEncryptionPolicy(EncryptionAllowPlaintext);  // DIGEST-MD5 on the fake's plain stream
        reach(s, r.stage);
        const std::string jid = s.client->jid().full();
        const int connected = s.listener.has("connected") ? 1 : 0;
        s.sent();
        s.listener.clear();
        s.says(r.script);
        const std::string sent = s.sent();
        // Its last words, and nothing of what waited for a resumed stream.
        EXPECT_EQ(sent.substr(sent.size() - std::min(sent.size(), r.sentEnding.size())), r.sentEnding) << sent;
        if (r.sentEnding.empty()) {
            EXPECT_EQ(sent, "");
        }
        EXPECT_EQ(sent.find("queued"), std::string::npos) << sent;
        EXPECT_EQ(s.listener.disconnects,
                  r.ending == NoError ? std::vector<ConnectionError>{} : std::vector<ConnectionError>{r.ending});
        EXPECT_EQ(s.client->jid().full(), jid);
        EXPECT_FALSE(s.listener.has("connected") && connected);
        EXPECT_FALSE(s.client->authed() && r.ending != NoError);
    }
}

// Whatever followed <proceed/> in the same read came in the clear: it is
// dropped, and only TLS goes on.
TEST(HostileServer, NothingAfterProceedCountsUntilTls) {
    FakeSession s;
    s.open();
    s.says(serverHeader() + features("<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>" + mechanisms({"PLAIN"})));
    ASSERT_NE(s.sent().find("<starttls"), std::string::npos);
    s.says("<proceed xmlns='urn:ietf:params:xml:ns:xmpp-tls'/><success " + kSasl + "/>" + serverHeader("s2") +
           features(kBindAndSession));
    EXPECT_FALSE(s.client->authed());
    EXPECT_EQ(s.client->step(), StreamStep::TlsHandshake);
    const std::string sent = s.sent();  // a ClientHello, and no stream restarted in the clear
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0], '\x16');
    EXPECT_EQ(sent.find("<stream:stream"), std::string::npos);
    EXPECT_EQ(sent.find("<iq"), std::string::npos);
}

TEST(HostileServer, CredentialsAreCheckedBeforeConnecting) {
    const struct {
        JID jid;
        const char* password;
        const char* logged;
    } rows[] = {
        {JID("a@evil.example/", "example.test", "r"), "secret", "the user name holds '@'"},
        {JID("a/b", "example.test", "r"), "secret", "the user name holds '/'"},
        {JID("user", "example.test", "r"), "", "the password is empty"},
        {JID("", "example.test", "r"), "secret", "has no user part"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.logged);
        FakeSession s(std::make_unique<Client>(r.jid, r.password, 5222));
        testsupport::LogRecorder log(s.client->logInstance());
        EXPECT_FALSE(s.client->connect(false));
        EXPECT_EQ(s.fake->connects, 0);
        EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{AuthenticationFailed});
        EXPECT_TRUE(log.contains(r.logged));
    }
}

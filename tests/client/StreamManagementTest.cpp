// Stream management on the wire: enabling it, acknowledgements both ways,
// the counters' wrap at 2^32, and the resumption of a lost session with the
// stanzas the server had not acknowledged.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "client/StreamManagement.h"
#include "xml/XmlTag.h"
#include "support/FakeSession.h"

using namespace tern;
using testsupport::FakeSession;
using testsupport::features;
using testsupport::kBindAndSession;
using testsupport::mechanisms;
using testsupport::serverHeader;

namespace {

const std::string kSm = "<sm xmlns='urn:xmpp:sm:3'/>";
const std::string kEnabled = "<enabled xmlns='urn:xmpp:sm:3' id='sm-1' resume='true' max='60'/>";

// Takes the server's side through SASL up to the features after it.
void authenticate(FakeSession& s) {
    s.says(serverHeader() + features(mechanisms({"PLAIN"})));
    s.says("<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>");
    s.sent();
    s.says(serverHeader("s2") + features(std::string(kBindAndSession) + kSm));
}

// A login on a server offering stream management; returns what the client
// sent after binding (the enable request comes first).
std::string login(FakeSession& s, const std::string& enabled = kEnabled) {
    s.open();
    authenticate(s);
    s.sent();
    s.says("<iq type='result' id='uid1'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><jid>user@example.test/res"
           "</jid></bind></iq>");
    const std::string afterBind = s.sent();
    s.says(enabled);
    s.says("<iq type='result' id='uid2'/>");
    s.sent();  // the private storage and roster requests
    s.says("<iq type='result' id='uid4'><query xmlns='jabber:iq:roster'/></iq>");
    s.sent();  // the initial presence
    return afterBind;
}

void sendChat(FakeSession& s, const std::string& body) {
    auto* m = new XmlTag("message");
    m->setAttribute("type", "groupchat");
    m->setAttribute("to", "room@conference.example.test");
    new XmlTag(m, "body", body);
    s.client->sendTag(m);
}
std::string chat(const std::string& body) {
    return "<message type='groupchat' to='room@conference.example.test'><body>" + body + "</body></message>";
}

// Receive passes until done() holds; at most three seconds.
bool pumpUntil(FakeSession& s, const std::function<bool()>& done) {
    for (int i = 0; i < 1500; ++i) {
        if (done()) return true;
        s.client->receive(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

// The connection drops; returns what the client sent on the new one up to
// its resume request.
std::string dropAndReconnect(FakeSession& s) {
    s.fake->serverCloses();
    EXPECT_TRUE(pumpUntil(s, [&] { return s.fake->connects == 2; }));
    s.sent();  // the new stream's header
    authenticate(s);
    return s.sent();
}

// The server lets a new session (sm-2) through, from its bind request
// (sent: what the client sent up to it): returns all the client sent, up
// to its roster's answer and after.
std::string newSession(FakeSession& s, std::string all) {
    s.says("<iq type='result' id='" + testsupport::idOf(all, "xmpp-bind") + "'/>");
    std::string out = s.sent();
    s.says("<enabled xmlns='urn:xmpp:sm:3' id='sm-2' resume='true'/><iq type='result' id='" +
           testsupport::idOf(out, "xmpp-session") + "'/>");
    all += out;
    out = s.sent();
    s.says("<iq type='result' id='" + testsupport::idOf(out, "jabber:iq:roster") +
           "'><query xmlns='jabber:iq:roster'/></iq>");
    return all + out + s.sent();
}

// The server ends the stream with this error; the client connects again
// and makes a new session. What it sent (empty when it did not connect
// again, as a session that is over does not).
std::string refusedAndRenewed(FakeSession& s, const std::string& error) {
    const int connects = s.fake->connects;
    s.says(error);
    if (!pumpUntil(s, [&] { return s.fake->connects > connects || !s.listener.disconnects.empty(); }) ||
        !s.listener.disconnects.empty())
        return std::string();
    s.sent();
    authenticate(s);
    return newSession(s, s.sent());
}

const std::string kForgotten =
    "<failed xmlns='urn:xmpp:sm:3'><item-not-found xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></failed>";

}  // namespace

TEST(StreamManagement, EnabledAfterBindingAndAcknowledgementsBothWays) {
    FakeSession s;
    s.client->streamManagement()->setFirstPause(1);
    EXPECT_EQ(login(s),
              "<enable xmlns='urn:xmpp:sm:3' resume='true'/>"
              "<iq type='set' id='uid2'><session xmlns='urn:ietf:params:xml:ns:xmpp-session'/></iq>");
    // Two stanzas came after <enabled/>: the session's and the roster's results.
    s.says("<r xmlns='urn:xmpp:sm:3'/>");
    EXPECT_EQ(s.sent(), "<a xmlns='urn:xmpp:sm:3' h='2'/>");
    // Four went out (session, private storage, roster, presence): the fifth
    // comes with a request, and the next request five stanzas later.
    sendChat(s, "one");
    EXPECT_EQ(s.sent(), chat("one") + "<r xmlns='urn:xmpp:sm:3'/>");
    for (int i = 0; i < 4; ++i) sendChat(s, "x");
    EXPECT_EQ(s.sent().find("<r "), std::string::npos);
    sendChat(s, "two");
    EXPECT_EQ(s.sent(), chat("two") + "<r xmlns='urn:xmpp:sm:3'/>");
    EXPECT_TRUE(s.listener.disconnects.empty());
}

TEST(StreamManagement, ResumedStreamResendsWhatTheServerDidNotAcknowledge) {
    FakeSession s;
    s.client->streamManagement()->setFirstPause(1);
    login(s);
    sendChat(s, "acked");
    sendChat(s, "lost");
    s.says("<a xmlns='urn:xmpp:sm:3' h='5'/>");  // session, private, roster, presence, "acked"
    s.says("<message from='room@conference.example.test/x' type='groupchat'><body>in</body></message>");
    s.sent();
    EXPECT_EQ(dropAndReconnect(s), "<resume xmlns='urn:xmpp:sm:3' h='3' previd='sm-1'/>");
    // Sent while the connection was down: it waits for the resumed stream.
    sendChat(s, "meanwhile");
    EXPECT_EQ(s.sent(), "");
    s.says("<resumed xmlns='urn:xmpp:sm:3' h='5' previd='sm-1'/>");
    EXPECT_EQ(s.sent(), chat("lost") + chat("meanwhile"));
    // Nothing was reported, and the session goes on counting.
    EXPECT_TRUE(s.listener.disconnects.empty());
    EXPECT_TRUE(s.client->bound());
    s.says("<r xmlns='urn:xmpp:sm:3'/>");
    EXPECT_EQ(s.sent(), "<a xmlns='urn:xmpp:sm:3' h='3'/>");
}

TEST(StreamManagement, CountersWrapAtTwoToTheThirtyTwo) {
    FakeSession s;
    s.client->streamManagement()->setFirstPause(1);
    s.client->streamManagement()->startCountsAt(0xFFFFFFFEu, 0xFFFFFFFEu);
    login(s);
    s.says("<r xmlns='urn:xmpp:sm:3'/>");
    EXPECT_EQ(s.sent(), "<a xmlns='urn:xmpp:sm:3' h='0'/>");
    // Out: session (FFFFFFFF), private (0), roster (1), presence (2), "late"
    // (3); the first two acknowledged, then two more on resuming.
    s.says("<a xmlns='urn:xmpp:sm:3' h='0'/>");
    sendChat(s, "late");
    s.sent();
    EXPECT_EQ(dropAndReconnect(s), "<resume xmlns='urn:xmpp:sm:3' h='0' previd='sm-1'/>");
    s.says("<resumed xmlns='urn:xmpp:sm:3' h='2' previd='sm-1'/>");
    EXPECT_EQ(s.sent(), chat("late"));
}

// What cannot be recovered is reported once: with the first loss's reason
// when the window or the server's consent ran out, at once with its own
// reason when the failure is permanent, and nothing is tried after that.
TEST(StreamManagement, ALossThatCannotBeResumedIsReportedOnce) {
    struct Case {
        const char* name;
        std::string enabled;
        std::function<void(FakeSession&)> after;  // after login
        ConnectionError reported;
    };
    auto reconnected = [](FakeSession& s) {
        s.fake->serverCloses();
        EXPECT_TRUE(pumpUntil(s, [&] { return s.fake->connects == 2; }));
        s.says(serverHeader() + features(mechanisms({"PLAIN"})));
    };
    const Case cases[] = {
        {"time used up", "<enabled xmlns='urn:xmpp:sm:3' id='sm-1' resume='true' max='1'/>",
         [](FakeSession& s) {
             s.fake->refuse = true;
             s.fake->serverCloses();
         },
         StreamClosed},
        {"no resumption granted", "<enabled xmlns='urn:xmpp:sm:3'/>", [](FakeSession& s) { s.fake->serverCloses(); },
         StreamClosed},
        {"the server closed the stream", kEnabled, [](FakeSession& s) { s.says("</stream:stream>"); }, StreamClosed},
        {"the password no longer works", kEnabled,
         [&](FakeSession& s) {
             reconnected(s);
             s.says("<failure xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><not-authorized/></failure>");
         },
         AuthenticationFailed},
        {"a stream error once the new connection authenticated", kEnabled,
         [&](FakeSession& s) {
             reconnected(s);
             s.says("<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>" + serverHeader("s2") +
                    "<stream:error><conflict xmlns='urn:ietf:params:xml:ns:xmpp-streams'/></stream:error>");
         },
         StreamError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSession s;
        s.client->streamManagement()->setFirstPause(1);
        s.client->streamManagement()->setRecoveryWindow(1);
        login(s, c.enabled);
        c.after(s);
        EXPECT_TRUE(pumpUntil(s, [&] { return !s.listener.disconnects.empty(); }));
        const int connects = s.fake->connects;
        for (int i = 0; i < 20; ++i) s.client->receive(0);
        EXPECT_EQ(s.fake->connects, connects);
        ASSERT_EQ(s.listener.disconnects.size(), 1u);
        EXPECT_EQ(s.listener.disconnects[0], c.reported);
    }
}

TEST(StreamManagement, TooManyUnacknowledgedStanzasBreakTheConnection) {
    FakeSession s;
    login(s, "<enabled xmlns='urn:xmpp:sm:3'/>");
    s.client->streamManagement()->setQueueLimit(5);  // four are out already
    sendChat(s, "fits");
    EXPECT_TRUE(s.listener.disconnects.empty());
    sendChat(s, "over");
    ASSERT_EQ(s.listener.disconnects.size(), 1u);
    EXPECT_EQ(s.listener.disconnects[0], IoError);
}

TEST(StreamManagement, RefusedAtEnableTheSessionGoesOnWithoutIt) {
    FakeSession s;
    login(s, "<failed xmlns='urn:xmpp:sm:3'><unexpected-request xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></failed>");
    for (int i = 0; i < 6; ++i) sendChat(s, "x");
    EXPECT_EQ(s.sent().find("<r "), std::string::npos);
    s.fake->serverCloses();
    ASSERT_EQ(s.listener.disconnects.size(), 1u);
    EXPECT_EQ(s.listener.disconnects[0], StreamClosed);
}

TEST(StreamManagement, EndedWhileWaitingToResumeItStaysEnded) {
    FakeSession s;
    s.client->streamManagement()->setFirstPause(200);
    login(s);
    s.fake->refuse = true;
    s.fake->serverCloses();
    s.client->receive(0);  // the first attempt, refused; the next in 200 ms
    std::thread receiver([&] { s.client->receive(-1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    s.client->disconnect();  // from another thread, as a host does
    receiver.join();
    const int connects = s.fake->connects;
    for (int i = 0; i < 5; ++i) s.client->receive(0);
    EXPECT_EQ(s.fake->connects, connects);  // no attempt after the end
    ASSERT_EQ(s.listener.disconnects.size(), 1u);
    EXPECT_EQ(s.listener.disconnects[0], UserDisconnected);
}

// Lost while the session request was out: once resumed, its answer still
// completes the login.
TEST(StreamManagement, ALoginCutShortFinishesAfterResumption) {
    FakeSession s;
    s.client->streamManagement()->setFirstPause(1);
    s.open();
    authenticate(s);
    s.says("<iq type='result' id='uid1'/><enabled xmlns='urn:xmpp:sm:3' id='sm-1' resume='true'/>");
    s.sent();
    dropAndReconnect(s);
    s.says("<resumed xmlns='urn:xmpp:sm:3' h='0' previd='sm-1'/>");
    EXPECT_NE(s.sent().find("xmpp-session"), std::string::npos);  // sent again
    s.says("<iq type='result' id='uid2'/><iq type='result' id='uid4'><query xmlns='jabber:iq:roster'/></iq>");
    EXPECT_TRUE(s.listener.has("connected"));
    EXPECT_TRUE(s.listener.disconnects.empty());
}

// The server no longer knows the session (it restarted): a new one is made
// on the same connection, and of what the old one sent only what the
// server's <failed h/> does not count goes again. Listeners hear of a
// renewal, not of a new connection.
TEST(StreamManagement, ARefusedResumptionStartsANewSession) {
    FakeSession s;
    s.client->streamManagement()->setFirstPause(1);
    login(s);
    sendChat(s, "arrived");
    sendChat(s, "lost");
    s.sent();
    EXPECT_EQ(dropAndReconnect(s), "<resume xmlns='urn:xmpp:sm:3' h='2' previd='sm-1'/>");
    // Session, private storage, roster, presence and "arrived" got there.
    s.says("<failed xmlns='urn:xmpp:sm:3' h='5'><item-not-found xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></failed>");
    EXPECT_EQ(s.sent(), "<iq type='set' id='uid5'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><resource>res</resource>"
                        "</bind></iq>");
    s.says("<iq type='result' id='uid5'/>");
    EXPECT_EQ(s.sent().rfind("<enable xmlns='urn:xmpp:sm:3' resume='true'/><iq type='set' id='uid6'><session", 0), 0u);
    s.says("<enabled xmlns='urn:xmpp:sm:3' id='sm-2' resume='true'/><iq type='result' id='uid6'/>");
    s.sent();
    s.says("<iq type='result' id='uid8'><query xmlns='jabber:iq:roster'/></iq>");
    EXPECT_EQ(s.sent(), chat("lost") + "<r xmlns='urn:xmpp:sm:3'/>");
    EXPECT_TRUE(s.listener.has("renewed"));
    EXPECT_EQ(s.listener.joined().find("connected"), s.listener.joined().rfind("connected"));  // once, at login
    EXPECT_TRUE(s.listener.disconnects.empty());
}

// A server that ends a resumed stream over what was sent again (Prosody
// kept a resumed stream to the unauthenticated stanza size): the session
// is made afresh instead of resumed, and what waited goes out on it with a
// request for an acknowledgement after each stanza. Refused once more, the
// first stanza it had not acknowledged is the one it will not take: that
// one is reported, the rest go on. Nothing else ends.
TEST(StreamManagement, ARefusalTakesOneStanzaAtMostAndNeverTheOthers) {
    FakeSession s;
    s.client->streamManagement()->setFirstPause(1);
    login(s);
    for (const char* body : {"m1", "m2", "m3"}) sendChat(s, body);
    s.sent();
    const std::string tooBig = "<stream:error><policy-violation xmlns='urn:ietf:params:xml:ns:xmpp-streams'/>"
                               "<stanza-too-big xmlns='urn:xmpp:errors'/></stream:error>";
    EXPECT_EQ(dropAndReconnect(s), "<resume xmlns='urn:xmpp:sm:3' h='2' previd='sm-1'/>");
    s.says("<resumed xmlns='urn:xmpp:sm:3' h='4' previd='sm-1'/>");  // the session's own four
    EXPECT_EQ(s.sent(), chat("m1") + chat("m2") + chat("m3"));
    // Refused on a resumed stream: no stanza is blamed, a new session follows.
    const auto renew = [&](const std::string& expectedResend) {
        const std::string sent = refusedAndRenewed(s, tooBig);
        EXPECT_NE(sent.find("xmpp-bind"), std::string::npos) << "made afresh, not resumed: " << sent;
        EXPECT_NE(sent.find(expectedResend), std::string::npos) << "one acknowledgement at a time: " << sent;
    };
    const std::string r = "<r xmlns='urn:xmpp:sm:3'/>";
    renew(chat("m1") + r + chat("m2") + r + chat("m3") + r);
    EXPECT_EQ(s.listener.joined().find("refused:"), std::string::npos);
    // The server took the session's own four and m1, then refused the stream.
    s.says("<a xmlns='urn:xmpp:sm:3' h='5'/>");
    renew(chat("m3") + r);
    EXPECT_TRUE(s.listener.has("refused:" + chat("m2"))) << s.listener.joined();
    // A resumed stream refused is no verdict on a stanza, paced or not.
    const int connects = s.fake->connects;
    s.fake->serverCloses();
    EXPECT_TRUE(pumpUntil(s, [&] { return s.fake->connects == connects + 1; }));
    s.sent();
    authenticate(s);
    EXPECT_EQ(s.sent(), "<resume xmlns='urn:xmpp:sm:3' h='2' previd='sm-2'/>");
    s.says("<resumed xmlns='urn:xmpp:sm:3' h='4' previd='sm-2'/>");
    EXPECT_EQ(s.sent(), chat("m3"));
    renew(chat("m3") + r);
    EXPECT_EQ(s.listener.joined().find("refused:"), s.listener.joined().rfind("refused:"));
    EXPECT_TRUE(s.listener.disconnects.empty());
}

// A server that refuses every new session before taking anything: after a
// few, with lengthening pauses, the session is over and what waited is
// reported as not sent. No refusal is blamed on the session's own
// requests, and none of them is carried into the next session.
TEST(StreamManagement, RefusedAgainAndAgainTheSessionEnds) {
    FakeSession s;
    s.client->streamManagement()->setFirstPause(1);
    login(s);
    sendChat(s, "m1");
    s.sent();
    for (int round = 0; round <= StreamManagement::kMostRefusals && s.listener.disconnects.empty(); ++round) {
        SCOPED_TRACE(round);
        const std::string out = refusedAndRenewed(
            s, "<stream:error><policy-violation xmlns='urn:ietf:params:xml:ns:xmpp-streams'/></stream:error>");
        EXPECT_EQ(out.find("jabber:iq:roster"), out.rfind("jabber:iq:roster")) << out;  // its own, once
    }
    EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{StreamError});
    EXPECT_EQ(s.listener.joined().find("refused:"), std::string::npos) << s.listener.joined();
    EXPECT_TRUE(s.listener.has("unsent:" + chat("m1"))) << s.listener.joined();
}

// Logged out while recovering: what waited never had a stream to go on.
TEST(StreamManagement, ALogOutWhileRecoveringReportsWhatWaited) {
    FakeSession s;
    s.client->streamManagement()->setFirstPause(60000);
    login(s);
    sendChat(s, "m1");
    s.fake->serverCloses();
    s.client->receive(0);
    s.client->disconnect();
    EXPECT_TRUE(s.listener.has("unsent:" + chat("m1"))) << s.listener.joined();
    EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{UserDisconnected});
}

// The server forgot the session (it restarted) after answering a request
// that its count never acknowledged: a request answered by its addressee
// is done and never goes again, neither in the new session nor on a
// resumed stream; the session's own requests go once; one still
// unanswered goes again.
TEST(StreamManagement, NoAnsweredRequestGoesAgain) {
    const std::string kick = "<iq type='set' to='room@conference.example.test' id='k1'><query "
                             "xmlns='http://jabber.org/protocol/muc#admin'><item nick='b' role='none'/></query></iq>";
    const std::string from = "' from='room@conference.example.test'";
    struct Case {
        const char* name;
        std::string answer;
        bool resent;
        bool resumed = false;  // the server resumes, counting less than it answered
    };
    const Case cases[] = {
        {"answered", "<iq type='result' id='k1" + from + "/>", false},
        {"refused", "<iq type='error' id='k1" + from + "><error type='cancel'><not-allowed "
                    "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>", false},
        {"unanswered", "", true},
        {"answered by someone else", "<iq type='result' id='k1' from='mallory@example.test/x'/>", true},
        {"answered, then resumed", "<iq type='result' id='k1" + from + "/>", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSession s;
        s.client->streamManagement()->setFirstPause(1);
        login(s);
        auto* iq = new XmlTag("iq");
        iq->setAttribute("type", "set");
        iq->setAttribute("to", "room@conference.example.test");
        iq->setAttribute("id", "k1");
        XmlTag* item = new XmlTag(new XmlTag(iq, "query", "xmlns", "http://jabber.org/protocol/muc#admin"), "item");
        item->setAttribute("nick", "b");
        item->setAttribute("role", "none");
        s.client->sendTag(iq);
        EXPECT_EQ(s.sent(), kick + "<r xmlns='urn:xmpp:sm:3'/>");  // the fifth stanza
        if (!c.answer.empty()) s.says(c.answer);
        dropAndReconnect(s);
        if (c.resumed) {
            // The session's own four arrived, the kick too by its answer.
            s.says("<resumed xmlns='urn:xmpp:sm:3' h='4' previd='sm-1'/>");
            EXPECT_EQ(s.sent(), "");
            sendChat(s, "next");
            s.says("<a xmlns='urn:xmpp:sm:3' h='5'/>");  // the chat: the counts agree
            EXPECT_EQ(s.sent(), chat("next"));
            EXPECT_TRUE(s.listener.disconnects.empty());
            continue;
        }
        s.says(kForgotten);
        const std::string all = newSession(s, s.sent());
        EXPECT_EQ(all.find(kick) != std::string::npos, c.resent) << all;
        for (const char* own : {"<query xmlns='jabber:iq:roster'/>", "roster:delimiter"})
            EXPECT_EQ(all.find(own), all.rfind(own)) << own << " twice: " << all;
        EXPECT_TRUE(s.listener.has("renewed"));
    }
}

// While a new session is being made, what is sent waits for it, up to the
// queue's limit; past it a stanza is reported as not sent, never kept
// without end.
TEST(StreamManagement, WhatWaitsForANewSessionIsBounded) {
    FakeSession s;
    s.client->streamManagement()->setFirstPause(1);
    login(s);
    s.client->streamManagement()->setQueueLimit(6);
    dropAndReconnect(s);
    s.says(kForgotten);
    const std::string bind = s.sent();
    for (const char* body : {"m1", "m2", "m3"}) sendChat(s, body);  // the old session's four wait too
    EXPECT_EQ(s.listener.joined().find("unsent:" + chat("m2")), std::string::npos);
    EXPECT_TRUE(s.listener.has("unsent:" + chat("m3"))) << s.listener.joined();
    const std::string all = newSession(s, bind);
    EXPECT_EQ(all.substr(all.find("<message")), chat("m1") + "<r xmlns='urn:xmpp:sm:3'/>" + chat("m2"));
    EXPECT_TRUE(s.listener.disconnects.empty());
}

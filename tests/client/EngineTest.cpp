// The stream engine against the fake transport: header, version check,
// dispatch rules, ids, stream errors, garbage and disconnect paths.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "client/Base64.h"
#include "client/Client.h"
#include "stanza/Constants.h"
#include "support/FakeSession.h"
#include "support/LogRecorder.h"

using namespace tern;
using testsupport::FakeSession;
using testsupport::features;
using testsupport::LogRecorder;
using testsupport::mechanisms;
using testsupport::serverHeader;

namespace {

struct CountingIq : IqHandler {
    int byNs = 0, byId = 0, lastContext = -1;
    bool answer = true;
    bool handleIqByNamespace(Stanza*) override {
        ++byNs;
        return answer;
    }
    bool handleIqById(Stanza*, int context) override {
        ++byId;
        lastContext = context;
        return true;
    }
};

struct CountingPresence : PresenceHandler {
    int n = 0;
    void handlePresenceStanza(Stanza*) override { ++n; }
};

}  // namespace

TEST(Engine, StreamHeaderIsByteExact) {
    FakeSession s("user@example.test/res");
    EXPECT_EQ(s.open(),
              "<?xml version='1.0' ?><stream:stream to='example.test' xmlns='jabber:client' "
              "xmlns:stream='http://etherx.jabber.org/streams'  xml:lang='en' version='1.0'>");
    EXPECT_EQ(s.fake->connects, 1);
    EXPECT_TRUE(s.client->connect(false));  // already connected: no new attempt
    EXPECT_EQ(s.fake->connects, 1);

    Client empty(JID("user@/r"), "x");
    EXPECT_FALSE(empty.connect(false));
    EXPECT_EQ(empty.connectionImpl(), nullptr);
}

TEST(Engine, StreamVersionCheck) {
    Client c(JID("u@h"), "p");
    for (const char* ok : {"1.0", "0.9", "1", "x", "2", ".5"}) EXPECT_TRUE(c.checkStreamVersion(ok)) << ok;
    for (const char* bad : {"", "2.0", "10.1"}) EXPECT_FALSE(c.checkStreamVersion(bad)) << bad;

    FakeSession s;
    LogRecorder log(s.client->logInstance());
    s.open();
    s.says(serverHeader("s1", ""));
    EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{StreamVersionError});
    EXPECT_TRUE(log.has(LogDebug, LogAreaClientBase,
                        "This server is not XMPP-compliant (it does not send a 'version' attribute). Please fix it or "
                        "try another one.\n"));
    EXPECT_EQ(s.sent(), "</stream:stream>");
}

TEST(Engine, UnhandledRequestsGetServiceUnavailable) {
    FakeSession s;
    s.login();
    s.says("<iq type='get' id='q1' from='peer@example.test/x'><query xmlns='urn:unknown'/></iq>");
    EXPECT_EQ(s.sent(),
              "<iq type='error' id='q1' to='peer@example.test/x'><error type='cancel'><service-unavailable "
              "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>");
    s.says("<iq type='set' id='q2' from='peer@example.test/x'/>");
    EXPECT_NE(s.sent().find("id='q2'"), std::string::npos);
    s.says("<iq type='result' id='nobody-asked' from='peer@example.test/x'/>");
    s.says("<iq type='error' id='nobody-asked2'/>");
    EXPECT_EQ(s.sent(), "");
}

TEST(Engine, NamespaceHandlersAllRunAndTrackedIdsFireOnce) {
    FakeSession s;
    s.login();
    CountingIq a, b, tracked;
    s.client->addIqHandler(&a, "urn:a");
    s.client->addIqHandler(&b, "urn:b");
    s.client->addIqHandler(nullptr, "urn:c");
    s.client->addIqHandler(&a, "");
    s.says("<iq type='get' id='1'><x xmlns='urn:a'/><y xmlns='urn:b'/></iq>");
    EXPECT_EQ(a.byNs, 1);
    EXPECT_EQ(b.byNs, 1);
    EXPECT_EQ(s.sent(), "");  // handled

    s.client->trackIqId(&tracked, "r1", 7);
    s.says("<iq type='result' id='r1'/>");
    s.says("<iq type='result' id='r1'/>");
    EXPECT_EQ(tracked.byId, 1);
    EXPECT_EQ(tracked.lastContext, 7);

    s.client->trackIqId(&tracked, "r2", 1);
    s.client->trackIqId(&tracked, "r3", 1);
    s.client->removeIqIdHandler(&tracked);
    s.says("<iq type='result' id='r2'/><iq type='error' id='r3'/>");
    EXPECT_EQ(tracked.byId, 1);

    s.client->removeIqHandler("urn:a");
    a.answer = false;
    s.says("<iq type='get' id='2' from='p@example.test'><x xmlns='urn:a'/></iq>");
    EXPECT_EQ(a.byNs, 1);
    EXPECT_NE(s.sent().find("service-unavailable"), std::string::npos);
}

// An answer counts only from where the request went (or, for an occupant,
// its room's bare address, which returns the errors); for a request to the
// account itself only from the server.
TEST(Engine, AnswersCountOnlyFromWhereTheRequestWent) {
    const struct {
        const char* to;
        const char* from;
        bool counts;
    } rows[] = {
        {"", "", true},
        {"", "example.test", true},
        {"", "user@example.test", true},
        {"", "example.test/x", false},
        {"", "user@example.test/other", false},
        {"", "mallory@example.test", false},
        {"room@conf.example.test", "room@conf.example.test", true},
        {"room@conf.example.test", "room@conf.example.test/someone", false},
        {"room@conf.example.test/me", "room@conf.example.test/me", true},
        {"room@conf.example.test/me", "room@conf.example.test", true},
        {"room@conf.example.test/me", "room@conf.example.test/other", false},
    };
    FakeSession s;
    s.login();
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.to) + " answered by " + row.from);
        CountingIq tracked;
        s.client->trackIqId(&tracked, "q", 0, JID(row.to));
        s.says(std::string("<iq type='result' id='q'") + (*row.from ? std::string(" from='") + row.from + "'" : "") +
               "/>");
        EXPECT_EQ(tracked.byId, row.counts ? 1 : 0);
        s.client->removeIqIdHandler(&tracked);
    }
}

TEST(Engine, PresenceGoesToThePerJidHandlerOnly) {
    FakeSession s;
    s.login();
    CountingPresence room, global;
    s.client->addPresenceHandler(&global);
    s.client->addPresenceHandler(JID("room@conference.example.test/me"), &room);
    s.client->addPresenceHandler(JID(""), &room);  // no server part: ignored
    s.says("<presence from='room@conference.example.test/someone'/>");
    EXPECT_EQ(room.n, 1);
    EXPECT_EQ(global.n, 0);
    s.says("<presence from='friend@example.test/home'/>");
    EXPECT_EQ(global.n, 1);
    s.client->removePresenceHandler(JID("room@conference.example.test"), nullptr);
    s.says("<presence from='room@conference.example.test/someone'/>");
    EXPECT_EQ(global.n, 2);
}

TEST(Engine, HandlersMayUnregisterThemselvesWhileCalled) {
    FakeSession s;
    s.login();
    struct Quitter : PresenceHandler {
        ClientBase* client;
        int n = 0;
        void handlePresenceStanza(Stanza*) override {
            ++n;
            client->removePresenceHandler(this);
        }
    } first, second;
    first.client = second.client = s.client.get();
    s.client->addPresenceHandler(&first);
    s.client->addPresenceHandler(&second);
    s.says("<presence from='x@example.test'/><presence from='x@example.test'/>");
    EXPECT_EQ(first.n, 1);
    EXPECT_EQ(second.n, 1);
}

TEST(Engine, RemovalFromAnotherThreadWaitsForTheHandlerToReturn) {
    // A room destroyed by the host thread while the receiving thread is
    // inside one of its handlers: the removal must not return before the
    // handler does, or the object is freed under it.
    struct Gate {
        std::mutex m;
        std::condition_variable cv;
        bool entered = false, release = false, returned = false;
        void pass() {
            std::unique_lock<std::mutex> l(m);
            entered = true;
            cv.notify_all();
            cv.wait_for(l, std::chrono::seconds(10), [&] { return release; });
            returned = true;
        }
    };
    struct SlowPresence : PresenceHandler {
        Gate* gate;
        void handlePresenceStanza(Stanza*) override { gate->pass(); }
    };
    struct SlowSession : MessageSessionBase {
        Gate* gate;
        JID who{"room@conference.example.test"};
        std::string none;
        const JID& target() const override { return who; }
        const std::string& threadId() const override { return none; }
        int types() const override { return 0; }
        void receiveMessage(Stanza*) override { gate->pass(); }
    };
    const JID room("room@conference.example.test");
    const char* presence = "<presence from='room@conference.example.test/x'/>";
    const char* message = "<message from='room@conference.example.test/x' type='groupchat'><body>b</body></message>";
    enum Route { Global, PerJid, Session };
    for (Route route : {Global, PerJid, Session}) {
        SCOPED_TRACE(route);
        FakeSession s;
        s.login();
        Gate gate;
        SlowPresence handler;
        handler.gate = &gate;
        auto* session = new SlowSession;
        session->gate = &gate;
        if (route == Global) s.client->addPresenceHandler(&handler);
        if (route == PerJid) s.client->addPresenceHandler(room, &handler);
        s.client->addMessageSession(session);
        std::thread receiver([&] { s.says(route == Session ? message : presence); });
        {
            std::unique_lock<std::mutex> l(gate.m);
            ASSERT_TRUE(gate.cv.wait_for(l, std::chrono::seconds(10), [&] { return gate.entered; }));
        }
        std::atomic<bool> removed{false};
        std::thread remover([&] {
            if (route == Global) s.client->removePresenceHandler(&handler);
            if (route == PerJid) s.client->removePresenceHandler(room, &handler);
            if (route == Session) s.client->disposeMessageSession(session);
            std::lock_guard<std::mutex> l(gate.m);
            EXPECT_TRUE(gate.returned) << "removal returned while the handler ran";
            removed = true;
        });
        // Not a timing assertion: the removal must still be waiting however
        // long this takes.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(removed);
        {
            std::lock_guard<std::mutex> l(gate.m);
            gate.release = true;
        }
        gate.cv.notify_all();
        receiver.join();
        remover.join();
        EXPECT_TRUE(removed);
        if (route != Session) s.client->disposeMessageSession(session);
    }
}

TEST(Engine, MessagesGoToTheMatchingSession) {
    FakeSession s;
    s.login();
    struct Session : MessageSessionBase {
        JID who;
        std::string thread;
        int mask;
        std::vector<std::string>* log;
        std::string name;
        Session(const char* j, const char* t, int m, std::vector<std::string>* l, const char* n)
            : who(j), thread(t), mask(m), log(l), name(n) {}
        const JID& target() const override { return who; }
        const std::string& threadId() const override { return thread; }
        int types() const override { return mask; }
        void receiveMessage(Stanza*) override { log->push_back(name); }
    };
    std::vector<std::string> got;
    s.client->addMessageSession(new Session("a@example.test/x", "", 0, &got, "full"));
    s.client->addMessageSession(new Session("a@example.test", "t1", MessageChat, &got, "bare-t1"));
    auto* room = new Session("room@conference.example.test", "", MessageGroupchat, &got, "room");
    s.client->addMessageSession(room);
    s.says("<message from='a@example.test/x'><body>1</body></message>");
    s.says("<message from='a@example.test/y' type='chat'><thread>t1</thread><body>2</body></message>");
    s.says("<message from='a@example.test/y' type='chat'><thread>t2</thread><body>3</body></message>");
    s.says("<message from='room@conference.example.test/n' type='groupchat'><body>4</body></message>");
    s.says("<message from='room@conference.example.test/n' type='headline'><body>5</body></message>");
    EXPECT_EQ(got, (std::vector<std::string>{"full", "bare-t1", "room"}));
    s.client->disposeMessageSession(room);
    s.client->disposeMessageSession(room);  // no longer listed: ignored
    s.says("<message from='room@conference.example.test/n' type='groupchat'><body>6</body></message>");
    EXPECT_EQ(got.size(), 3u);
}

TEST(Engine, IdsCountOnAcrossDisconnects) {
    FakeSession s;
    EXPECT_EQ(s.client->newId(), "uid1");
    EXPECT_EQ(s.client->newId(), "uid2");
    s.open();
    s.client->disconnect();
    EXPECT_EQ(s.client->newId(), "uid3");
}

TEST(Engine, DisconnectSendsTheStreamEndExceptForTls) {
    FakeSession s;
    s.open();
    s.client->disconnect(UserDisconnected);
    EXPECT_EQ(s.sent(), "</stream:stream>");
    EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{UserDisconnected});
    s.client->disconnect(UserDisconnected);  // already down: nobody hears anything
    EXPECT_EQ(s.listener.disconnects.size(), 1u);

    s.open();
    s.client->disconnect(TlsFailed);
    EXPECT_EQ(s.sent(), "");
    EXPECT_EQ(s.listener.disconnects.back(), TlsFailed);
}

TEST(Engine, GarbageGivesOneRestrictedXmlAndOneParseError) {
    FakeSession s;
    LogRecorder log(s.client->logInstance());
    s.open();
    s.says(serverHeader());
    s.says("<a><<garbage><b/></a><c/>");
    s.says("<more garbage/>");
    EXPECT_EQ(s.sent(),
              "<stream:error><restricted-xml xmlns='urn:ietf:params:xml:ns:xmpp-streams'/></stream:error>"
              "</stream:stream>");
    EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{XmlParseError});
    EXPECT_TRUE(log.has(LogError, LogAreaClientBase, "parse error: <a><<garbage><b/></a><c/>"));
}

TEST(Engine, StreamErrorsAreRecorded) {
    FakeSession s;
    struct ErrorReader : NetworkListener {
        Client* client = nullptr;
        StreamErrorCondition seen = StreamErrorUndefined;
        void handleConnected() override {}
        void handleDisconnected(ConnectionError) override { seen = client->streamError(); }
        bool handleTlsConnected(const CertificateInfo&) override { return true; }
    } reader;
    reader.client = s.client.get();
    s.client->addNetworkListener(&reader);
    s.open();
    s.says(serverHeader());
    s.says("<stream:error><see-other-host xmlns='urn:ietf:params:xml:ns:xmpp-streams'>other.example</see-other-host>"
           "<text xmlns='urn:ietf:params:xml:ns:xmpp-streams' xml:lang='en'>moved</text><text>plain</text>"
           "<escape-your-data xmlns='application-ns'/></stream:error>");
    EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{StreamError});
    EXPECT_EQ(reader.seen, StreamErrorSeeOtherHost);        // readable while listeners hear of it
    EXPECT_EQ(s.client->streamError(), StreamErrorUndefined);  // and reset afterwards
    EXPECT_EQ(s.client->seeOtherHost(), "other.example");
    EXPECT_EQ(s.client->streamErrorText("en"), "moved");
    EXPECT_EQ(s.client->streamErrorText(), "plain");
    ASSERT_NE(s.client->streamErrorAppCondition(), nullptr);
    EXPECT_EQ(s.client->streamErrorAppCondition()->name(), "escape-your-data");
}

TEST(Engine, ServerClosingMidNegotiationEndsTheSession) {
    FakeSession s;
    s.open();
    s.says(serverHeader() + features(mechanisms({"PLAIN"})));
    s.fake->serverCloses();
    EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{StreamClosed});
    EXPECT_FALSE(s.client->authed());
    // The engine can connect again with a clean parser.
    s.fake->refuse = true;
    EXPECT_FALSE(s.client->connect(false));
    EXPECT_EQ(s.listener.disconnects.back(), ConnectionRefused);
}

TEST(Engine, CredentialsNeverReachTheLog) {
    FakeSession s("user@example.test/res", "hunter2");
    LogRecorder log(s.client->logInstance());
    s.open();
    s.says(serverHeader() + features(mechanisms({"PLAIN"})));
    s.says("<iq type='error' id='x'><query xmlns='jabber:iq:auth'><password>hunter2</password></query></iq>");
    bool sawAuth = false;
    for (const auto& line : log.lines()) {
        EXPECT_EQ(line.text.find("hunter2"), std::string::npos) << line.text;
        EXPECT_EQ(line.text.find(base64Encode(std::string("\0user\0hunter2", 13))), std::string::npos);
        if (line.text.find("mechanism='PLAIN'>[redacted]</auth>") != std::string::npos) sawAuth = true;
    }
    EXPECT_TRUE(sawAuth);
}

TEST(Engine, ConcurrentSendersGetDistinctIdsAndTablesStayWhole) {
    // For ThreadSanitizer: host threads make ids, track them and send while
    // the receiving thread dispatches answers.
    FakeSession s;
    s.login();
    CountingIq tracker;
    constexpr int kThreads = 4, kPerThread = 500;
    std::vector<std::vector<std::string>> ids(kThreads);
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const std::string id = s.client->newId();
                ids[t].push_back(id);
                s.client->trackIqId(&tracker, id, t);
                Stanza* iq = Stanza::buildIq(JID("peer@example.test"), id, IqGet, "urn:x");
                s.client->sendTag(iq);
            }
        });
    for (int i = 0; i < 200; ++i) s.says("<iq type='result' id='uid" + std::to_string(1000 + i) + "'/>");
    for (auto& t : senders) t.join();
    std::set<std::string> all;
    for (const auto& v : ids) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kPerThread));
    s.client->removeIqIdHandler(&tracker);
}

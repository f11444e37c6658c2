// Full logins against the real servers of the test environment: Prosody
// (example.test, found through its SRV record), ejabberd (ejabberd.test)
// and jabberd2 (jabberd2.test), with a real slixmpp peer on the other side.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <iterator>
#include <set>
#include <sstream>
#include <thread>
#include <mutex>

#include "services/PrivateXML.h"
#include "stanza/Constants.h"
#include "services/RosterManager.h"
#include "services/ServiceDiscovery.h"
#include "support/LiveClient.h"
#include "support/LogRecorder.h"
#include "support/Peer.h"

using namespace tern;
using testsupport::LiveClient;
using testsupport::Peer;
using testsupport::uniqueName;

namespace {

struct Account {
    std::string user;
    std::string domain;
    std::string password;
    int port;
    std::string bare() const { return user + "@" + domain; }
};

Account newAccount(const std::string& domain = "example.test", int port = 5222) {
    Account a{uniqueName("u"), domain, "pw-" + uniqueName("p"), port};
    EXPECT_EQ(Peer::registerAccount(a.bare(), a.password, port), 0) << a.bare();
    return a;
}

std::unique_ptr<Client> clientFor(const Account& a, const std::string& resource = "parley") {
    return std::make_unique<Client>(JID(a.bare() + "/" + resource), a.password, -1);
}

template <typename Pred>
bool eventually(Pred p, int ms = 10000) {
    for (int i = 0; i < ms / 20; ++i) {
        if (p()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return p();
}

}  // namespace

TEST(LiveLogin, PlainThroughSrvThenRosterPushAndPeerQueries) {
    REQUIRE_LIVE_SERVERS();
    const Account a = newAccount();
    LiveClient c(clientFor(a));
    testsupport::LogRecorder log(c->logInstance(), LogDebug, LogAreaDns);
    c.start();
    ASSERT_TRUE(c.waitConnected()) << c.listener.joined();
    // Prosody marks the session optional: it is not requested (no event 6).
    EXPECT_EQ(c.listener.joined(), "event:3 event:5 event:7 event:8 connected");
    EXPECT_EQ(c->selectedMechanism(), SaslScramSha256);  // preferred over PLAIN
    EXPECT_TRUE(log.contains("SRV _xmpp-client._tcp.example.test: xmpp.example.test:5222"));
    EXPECT_EQ(c->jid().full(), a.bare() + "/parley");

    // The same account on another resource changes the roster: a push arrives.
    Peer peer(a.bare() + "/peer", a.password);
    ASSERT_TRUE(peer.ready());
    EXPECT_EQ(peer.command("roster_add", {{"jid", "friend@example.test"}, {"name", "Friend"}})["ok"], "true");
    EXPECT_TRUE(eventually([&] {
        auto lock = c->rosterManager()->lock();
        return c->rosterManager()->item("friend@example.test") != nullptr;
    }));
    {
        auto lock = c->rosterManager()->lock();
        const RosterItem* f = c->rosterManager()->item("friend@example.test");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->name(), "Friend");
        EXPECT_EQ(f->subscription(), SubscriptionNone);
    }
    // The peer's presence fills our own entry's resources.
    EXPECT_TRUE(eventually([&] {
        auto lock = c->rosterManager()->lock();
        return c->rosterManager()->self()->resource("peer") != nullptr;
    }));

    // The peer asks us what we are.
    const auto info = peer.command("disco_info", {{"to", c->jid().full()}});
    EXPECT_EQ(info.at("ok"), "true");
    EXPECT_EQ(info.at("identities"), "client/bot/based on xmpp");
    // slixmpp hands the features over as a set; the wire order is a unit test's.
    std::istringstream words(info.at("features"));
    std::set<std::string> features{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
    EXPECT_EQ(features, (std::set<std::string>{"jabber:iq:version", "http://jabber.org/protocol/disco#info",
                                               "http://jabber.org/protocol/disco#items", "urn:xmpp:ping"}));
    const auto items = peer.command("disco_items", {{"to", c->jid().full()}});
    EXPECT_EQ(items.at("ok"), "true");
    EXPECT_EQ(items.at("items"), "");
    c->disco()->setVersion("ZaroVezid", XMPP_VERSION, "Windows");
    const auto version = peer.command("version", {{"to", c->jid().full()}});
    EXPECT_EQ(version.at("name"), "ZaroVezid");
    EXPECT_EQ(version.at("version"), "1.0.0000a");
    EXPECT_EQ(version.at("os"), "Windows");
    // Something nobody handles is refused, not ignored.
    const auto unknown = peer.command("raw_iq", {{"to", c->jid().full()}, {"xml", "<query xmlns='urn:nobody'/>"}});
    EXPECT_EQ(unknown.at("ok"), "false");
    EXPECT_EQ(unknown.at("error"), "service-unavailable");

    c.stop();
    EXPECT_TRUE(c.listener.has("disconnected:17"));
}

TEST(LiveLogin, PrivateXmlStoredByAPeerIsReadBack) {
    REQUIRE_LIVE_SERVERS();
    const Account a = newAccount();
    {
        Peer peer(a.bare() + "/peer", a.password);
        ASSERT_TRUE(peer.ready());
        EXPECT_EQ(peer.command("private_store", {{"xml", "<parley xmlns='parley:test'><v>42</v><w>ünï</w></parley>"}})
                      .at("ok"),
                  "true");
    }
    LiveClient c(clientFor(a));
    c.start();
    ASSERT_TRUE(c.waitConnected());
    struct Reader : PrivateXMLHandler {
        std::mutex m;
        std::condition_variable cv;
        std::string xml;
        void onPrivateXml(const std::string&, const XmlTag* e) override {
            std::lock_guard<std::mutex> l(m);
            xml = e->serialize();
            cv.notify_all();
        }
        void onPrivateXmlResult(const std::string&, PrivateXmlResult) override {}
    } reader;
    PrivateXML storage(&*c);
    storage.requestXml("parley", "parley:test", &reader);
    std::unique_lock<std::mutex> l(reader.m);
    ASSERT_TRUE(reader.cv.wait_for(l, std::chrono::seconds(10), [&] { return !reader.xml.empty(); }));
    EXPECT_EQ(reader.xml, "<parley xmlns='parley:test'><v>42</v><w>ünï</w></parley>");
}

TEST(LiveLogin, LegacyAuthentication) {
    REQUIRE_LIVE_SERVERS();
    const Account a = newAccount();
    LiveClient c(clientFor(a, "legacy"));
    c->setSaslMechanisms(0);  // nothing SASL: the legacy iq login
    c->setEncryptionPolicy(EncryptionAllowPlaintext);  // Prosody's legacy login takes the password itself
    c.start();
    ASSERT_TRUE(c.waitConnected()) << c.listener.joined();
    EXPECT_TRUE(c->authed());
    EXPECT_EQ(c.listener.joined(), "event:3 event:7 event:8 connected");
}

TEST(LiveLogin, WrongPasswordEndsWithAuthenticationFailed) {
    REQUIRE_LIVE_SERVERS();
    const Account a = newAccount();
    for (int mechanisms : {0xFFFF, 0}) {
        auto client = std::make_unique<Client>(JID(a.bare() + "/x"), "not-the-password", -1);
        client->setSaslMechanisms(mechanisms);
        client->setEncryptionPolicy(EncryptionAllowPlaintext);
        LiveClient c(std::move(client));
        c.start();
        ASSERT_TRUE(c.waitDisconnected()) << c.listener.joined();
        EXPECT_EQ(c.listener.disconnects, std::vector<ConnectionError>{AuthenticationFailed}) << mechanisms;
        EXPECT_FALSE(c.listener.has("connected"));
        // Legacy authentication records the condition just after telling the listeners.
        const int expected = mechanisms ? SaslNotAuthorized : NonSaslNotAuthorized;
        EXPECT_TRUE(eventually([&] { return c->authError() == expected; })) << c->authError();
    }
}

// DIGEST-MD5 (rspauth checked) and the legacy digest, on the servers that
// offer them: ejabberd on plain TCP, jabberd2 inside STARTTLS.
TEST(LiveLogin, DigestMd5AndLegacyDigest) {
    REQUIRE_LIVE_SERVERS();
    const struct {
        const char* domain;
        int port;
    } servers[] = {{"ejabberd.test", 5322}, {"jabberd2.test", 5422}};
    for (const auto& server : servers) {
        SCOPED_TRACE(server.domain);
        const Account a = newAccount(server.domain, server.port);
        {
            LiveClient c(clientFor(a, "digest"));
            c->setSaslMechanisms(0xFFFF & ~(SaslScramSha1 | SaslScramSha256));
            c->setEncryptionPolicy(EncryptionAllowPlaintext);
            c.start();
            ASSERT_TRUE(c.waitConnected()) << c.listener.joined();
            EXPECT_EQ(c->selectedMechanism(), SaslDigestMd5);
            EXPECT_EQ(c.listener.has("tls"), server.port == 5422);  // ejabberd's 5322 offers no STARTTLS
        }
        {
            LiveClient c(clientFor(a, "legacydigest"));
            c->setSaslMechanisms(0);
            c->setEncryptionPolicy(EncryptionAllowPlaintext);
            testsupport::LogRecorder log(c->logInstance(), LogDebug, LogAreaXmlOutgoing);
            c.start();
            ASSERT_TRUE(c.waitConnected()) << c.listener.joined();
            EXPECT_TRUE(log.contains("<digest>[redacted]</digest>"));
            EXPECT_FALSE(log.contains(a.password));
        }
        // jabberd2 answers a new connection with internal-server-error now
        // and then while it ends a session.
        if (server.port == 5422) std::this_thread::sleep_for(std::chrono::milliseconds(500));
        {
            auto client = std::make_unique<Client>(JID(a.bare() + "/bad"), "wrong", -1);
            LiveClient c(std::move(client));
            c.start();
            ASSERT_TRUE(c.waitDisconnected());
            EXPECT_EQ(c.listener.disconnects, std::vector<ConnectionError>{AuthenticationFailed});
        }
    }
}

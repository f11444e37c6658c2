// Logins bound to their TLS connection against Prosody (-PLUS on TLS 1.2
// only) and ejabberd (both versions), and what a relay that terminates TLS
// with a certificate for the server's domain can no longer do: carry the
// login, with or without the -PLUS mechanisms in the features it passes on
// (where the server refuses "y", as Prosody does), whatever binding list it
// adds; nor, once this process has seen the server's own offer, a weaker
// login than that offer allowed.
#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <functional>
#include <regex>

#include "client/Sasl2.h"
#include "support/LiveClient.h"
#include "support/LogRecorder.h"
#include "support/Peer.h"
#include "support/TlsRelay.h"

using namespace tern;
using testsupport::LiveClient;
using testsupport::Peer;
using testsupport::TlsRelay;
using testsupport::uniqueName;

namespace {

struct Server {
    const char* domain;
    int port;              // STARTTLS
    int registrationPort;  // plain or STARTTLS, for the peer that registers
    const char* certificate;  // what the relay shows for the domain
};
const Server kProsody12{"tls12.test", 5232, 5232, "tls.test"};
const Server kEjabberd{"ejabberd.test", 5323, 5322, "ejabberd.test"};

std::string newAccount(const Server& server) {
    const std::string bare = uniqueName("b") + "@" + server.domain;
    EXPECT_EQ(Peer::registerAccount(bare, "pw", server.registrationPort), 0) << bare;
    return bare;
}

const char* const kPlus = "<mechanism>[A-Z0-9-]+-PLUS</mechanism>";
const char* const kBindingList = "<sasl-channel-binding[^>]*/>|<sasl-channel-binding[^>]*>.*?</sasl-channel-binding>";

std::string without(const std::string& text, const char* pattern) {
    return std::regex_replace(text, std::regex(pattern), "");
}

}  // namespace

TEST(LiveBinding, BoundLoginsOnBothServersAndBothVersions) {
    REQUIRE_LIVE_SERVERS();
    const struct {
        Server server;
        int mechanism;
        const char* protocol;
    } cases[] = {
        {kProsody12, SaslScramSha256Plus, "TLSv1.2"},
        {{"tls.test", 5232, 5232, ""}, SaslScramSha256, "TLSv1.3"},  // no -PLUS there: "y"
        {kEjabberd, SaslScramSha256Plus, "TLSv1.3"},
        {{"ejabberd.test", 5325, 5322, ""}, SaslScramSha256Plus, "TLSv1.2"},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(std::string(t.server.domain) + ":" + std::to_string(t.server.port));
        LiveClient c(std::make_unique<Client>(JID(newAccount(t.server) + "/bound"), "pw", t.server.port));
        c.listener.requireValidCertificate = true;
        c.start();
        ASSERT_TRUE(c.waitConnected()) << c.listener.joined();
        EXPECT_EQ(c->selectedMechanism(), t.mechanism);
        EXPECT_EQ(c.listener.certificate.protocol, t.protocol);
    }
}

TEST(LiveBinding, ARelayWithTheServersCertificateCannotCarryTheLogin) {
    REQUIRE_LIVE_SERVERS();
    using Rewrite = std::function<std::string(const std::string&)>;
    struct Case {
        const char* name;
        Server server;
        int toClient;     // the relay's TLS towards the client (0: 1.3)
        Rewrite rewrite;  // what the relay does to the server's features (null: nothing)
        int mechanisms;   // what the client may use
        bool known;       // a PLAIN login through the faithful relay came first
        const char* logged;  // null: the login goes through
    };
    const char* const bound = "the login was bound to this TLS connection";
    const char* const removed = "its offer of -PLUS was removed on the way";
    const char* const weaker = "someone in the path may be intercepting the connection";
    // The -PLUS mechanisms out (keepPlus false) and a binding list of the
    // relay's own in.
    auto listing = [](const std::string& types, bool keepPlus) -> Rewrite {
        return [=](const std::string& f) {
            std::string out = without(keepPlus ? f : without(f, kPlus), kBindingList);
            return out.insert(out.find("</stream:features>"), "<sasl-channel-binding xmlns='urn:xmpp:sasl-cb:0'>" +
                                                                   types + "</sasl-channel-binding>");
        };
    };
    const Rewrite noPlus = [](const std::string& f) { return without(without(f, kPlus), kBindingList); };
    const Rewrite noScram = [](const std::string& f) { return without(f, "<mechanism>SCRAM-[A-Z0-9-]+</mechanism>"); };
    const std::string endPoint = "<channel-binding type='tls-server-end-point'/>";
    const Case cases[] = {
        {"everything relayed", kProsody12, TLS1_2_VERSION, nullptr, 0xFFFF, false, bound},
        {"-PLUS removed, TLS 1.2 to the client", kProsody12, TLS1_2_VERSION, noPlus, 0xFFFF, false, removed},
        {"-PLUS removed, TLS 1.3 to the client", kProsody12, 0, noPlus, 0xFFFF, false, removed},
        // A binding list of the relay's does not make the login unbound.
        {"an empty binding list", kProsody12, TLS1_2_VERSION, listing("", true), 0xFFFF, false, bound},
        {"an empty binding list, -PLUS removed", kProsody12, TLS1_2_VERSION, listing("", false), 0xFFFF, false,
         removed},
        {"only tls-server-end-point", kProsody12, TLS1_2_VERSION, listing(endPoint, true), 0xFFFF, false, bound},
        {"only tls-server-end-point, -PLUS removed", kProsody12, TLS1_2_VERSION, listing(endPoint, false), 0xFFFF,
         false, removed},
        // Attack probe: a host that excludes SCRAM-SHA-1; the relay removes
        // SCRAM-SHA-256-PLUS alone, and the SCRAM-SHA-1-PLUS it leaves turns
        // "y" into "n", which Prosody takes.
        {"only SCRAM-SHA-256-PLUS removed, SCRAM-SHA-1 excluded", kProsody12, TLS1_2_VERSION,
         [](const std::string& f) { return without(f, "<mechanism>SCRAM-SHA-256-PLUS</mechanism>"); },
         0xFFFF & ~SaslScramSha1, false, removed},
        {"ejabberd, everything relayed", kEjabberd, 0, nullptr, 0xFFFF, false, bound},
        // ejabberd 23.01 takes "y" although it binds logins, and sends no
        // hash of its offer (XEP-0474): a removal it cannot see goes through,
        // unless this process saw the server's offer before.
        {"ejabberd, -PLUS removed", kEjabberd, 0, noPlus, 0xFFFF, false, nullptr},
        {"ejabberd, -PLUS removed, the server known", kEjabberd, 0, noPlus, 0xFFFF, true, weaker},
        // The relay itself is transparent: PLAIN, which cannot be bound, goes through.
        {"PLAIN, everything relayed", kProsody12, TLS1_2_VERSION, nullptr, SaslPlain, false, nullptr},
        // Where the server offers PLAIN, a relay that removes SCRAM reads the
        // password of a process's first login there; later ones end.
        {"every SCRAM removed, a first login", kProsody12, TLS1_2_VERSION, noScram, 0xFFFF, false, nullptr},
        {"every SCRAM removed, the server known", kProsody12, TLS1_2_VERSION, noScram, 0xFFFF, true, weaker},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        KnownServers::forgetAll();
        TlsRelay::Options o;
        o.listenPort = 5269;
        o.serverPort = t.server.port;
        o.client = o.server = TlsRelay::Way::StartTls;
        o.clientMaxVersion = t.toClient;
        o.certificateFile = testsupport::testCertificate(std::string(t.server.certificate) + ".pem");
        o.keyFile = testsupport::testCertificate(std::string(t.server.certificate) + ".key");
        o.domain = t.server.domain;
        o.rewrite = t.rewrite;
        o.faithfulConnections = t.known ? 1 : 0;
        TlsRelay relay(o);
        ASSERT_TRUE(relay.listening());
        const std::string account = newAccount(t.server);
        if (t.known) {
            LiveClient first(std::make_unique<Client>(JID(account + "/first"), "pw", o.listenPort));
            first->setSaslMechanisms(SaslPlain);
            first.start();
            ASSERT_TRUE(first.waitConnected()) << first.listener.joined();
        }
        LiveClient c(std::make_unique<Client>(JID(account + "/relayed"), "pw", o.listenPort));
        c->setSaslMechanisms(t.mechanisms);
        c.listener.requireValidCertificate = true;  // the relay's certificate is good for the domain
        testsupport::LogRecorder log(c->logInstance(), LogError);
        c.start();
        if (!t.logged) {
            EXPECT_TRUE(c.waitConnected()) << c.listener.joined();
            continue;
        }
        ASSERT_TRUE(c.waitDisconnected()) << c.listener.joined();
        EXPECT_TRUE(c.listener.certificate.chainValid);
        EXPECT_EQ(c.listener.disconnects, std::vector<ConnectionError>{t.known ? TlsFailed : AuthenticationFailed});
        EXPECT_TRUE(log.contains(t.logged));
        EXPECT_FALSE(c.listener.has("connected"));
    }
}

// Attack probe: the process has seen ejabberd offer -PLUS over TLS 1.3 (its
// first login, through a faithful relay, with PLAIN); a relay that then
// speaks TLS 1.2 to the client and removes -PLUS must not carry the login.
TEST(LiveBinding, ARelayThatSwitchesTheTlsVersionFindsTheServerKnown) {
    REQUIRE_LIVE_SERVERS();
    KnownServers::forgetAll();
    const std::string account = newAccount(kEjabberd);
    TlsRelay::Options o;
    o.listenPort = 5279;  // not the table's: ctest runs the two side by side
    o.serverPort = kEjabberd.port;
    o.client = o.server = TlsRelay::Way::StartTls;
    o.certificateFile = testsupport::testCertificate(std::string(kEjabberd.certificate) + ".pem");
    o.keyFile = testsupport::testCertificate(std::string(kEjabberd.certificate) + ".key");
    o.domain = kEjabberd.domain;
    {
        TlsRelay faithful(o);
        ASSERT_TRUE(faithful.listening());
        LiveClient first(std::make_unique<Client>(JID(account + "/first"), "pw", o.listenPort));
        first->setSaslMechanisms(SaslPlain);
        first.start();
        ASSERT_TRUE(first.waitConnected()) << first.listener.joined();
        EXPECT_EQ(first.listener.certificate.protocol, "TLSv1.3");
    }
    o.clientMaxVersion = TLS1_2_VERSION;
    o.rewrite = [](const std::string& f) { return without(without(f, kPlus), kBindingList); };
    TlsRelay relay(o);
    ASSERT_TRUE(relay.listening());
    LiveClient c(std::make_unique<Client>(JID(account + "/relayed"), "pw", o.listenPort));
    c.listener.requireValidCertificate = true;
    c.start();
    ASSERT_TRUE(c.waitDisconnected() || c.waitConnected()) << c.listener.joined();
    EXPECT_FALSE(c.listener.has("connected")) << "the relay carried an unbound login: " << c.listener.joined();
}

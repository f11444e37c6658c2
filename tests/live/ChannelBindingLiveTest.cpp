// Logins bound to their TLS connection against Prosody (-PLUS on TLS 1.2
// only) and ejabberd (both versions), and what a relay that terminates TLS
// with a certificate for the server's domain can no longer do: carry the
// login, with or without the -PLUS mechanisms in the features it passes on
// (where the server refuses "y", as Prosody does).
#include <gtest/gtest.h>

#include <openssl/ssl.h>

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
    struct Case {
        const char* name;
        Server server;
        int toClient;  // the relay's TLS towards the client (0: 1.3)
        bool stripPlus;
        int mechanisms;  // what the client may use
        const char* logged;  // null: the login goes through
    };
    const char* const bound = "the login was bound to this TLS connection";
    const char* const removed = "its offer of -PLUS was removed on the way";
    const Case cases[] = {
        {"everything relayed", kProsody12, TLS1_2_VERSION, false, 0xFFFF, bound},
        {"-PLUS removed, TLS 1.2 to the client", kProsody12, TLS1_2_VERSION, true, 0xFFFF, removed},
        {"-PLUS removed, TLS 1.3 to the client", kProsody12, 0, true, 0xFFFF, removed},
        {"ejabberd, everything relayed", kEjabberd, 0, false, 0xFFFF, bound},
        // ejabberd 23.01 takes "y" although it binds logins, and sends no
        // hash of its offer (XEP-0474): a removal it cannot see goes through.
        {"ejabberd, -PLUS removed", kEjabberd, 0, true, 0xFFFF, nullptr},
        // The relay itself is transparent: PLAIN, which cannot be bound, goes through.
        {"PLAIN, everything relayed", kProsody12, TLS1_2_VERSION, false, SaslPlain, nullptr},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        KnownServers::forgetAll();  // each row a first login to the server
        TlsRelay::Options o;
        o.listenPort = 5269;
        o.serverPort = t.server.port;
        o.client = o.server = TlsRelay::Way::StartTls;
        o.clientMaxVersion = t.toClient;
        o.certificateFile = testsupport::testCertificate(std::string(t.server.certificate) + ".pem");
        o.keyFile = testsupport::testCertificate(std::string(t.server.certificate) + ".key");
        o.domain = t.server.domain;
        o.stripPlus = t.stripPlus;
        TlsRelay relay(o);
        ASSERT_TRUE(relay.listening());
        LiveClient c(std::make_unique<Client>(JID(newAccount(t.server) + "/relayed"), "pw", o.listenPort));
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
        EXPECT_EQ(c.listener.disconnects, std::vector<ConnectionError>{AuthenticationFailed});
        EXPECT_TRUE(log.contains(t.logged));
        EXPECT_FALSE(c.listener.has("connected"));
    }
}

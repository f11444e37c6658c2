// STARTTLS against the real servers: Prosody with TLS offered (tls.test,
// and beside it the domains whose certificates must be refused) and
// required (tlsreq.test), ejabberd's STARTTLS listener and jabberd2.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "services/Registration.h"
#include "support/LiveClient.h"
#include "support/LogRecorder.h"
#include "support/Peer.h"

using namespace tern;
using testsupport::LiveClient;
using testsupport::Peer;
using testsupport::testAuthority;
using testsupport::testCertificate;
using testsupport::uniqueName;

namespace {

std::unique_ptr<Client> clientFor(const std::string& bare, const std::string& password, int port = -1) {
    return std::make_unique<Client>(JID(bare + "/tls"), password, port);
}

// A new account on tls.test, registered by a peer on the plain stream.
std::string newTlsAccount() {
    const std::string bare = uniqueName("t") + "@tls.test";
    EXPECT_EQ(Peer::registerAccount(bare, "pw", 5232), 0);
    return bare;
}

// In-band registration through our own client: on tlsreq.test nothing
// happens before STARTTLS, so this also registers over TLS.
class Registrar : public RegistrationHandler {
public:
    bool run(const std::string& server, const std::string& user, const std::string& password) {
        LiveClient c(std::make_unique<Client>(server));
        c->disableRoster();
        Registration registration(&*c);
        registration.setRegistrationHandler(this);
        registration_ = &registration;
        values_.username = user;
        values_.password = password;
        c.start();
        if (!c.waitConnected()) return false;
        registration.requestFields();
        std::unique_lock<std::mutex> l(m_);
        cv_.wait_for(l, std::chrono::seconds(15), [&] { return done_; });
        return result_ == RegistrationSuccess;
    }
    void onRegistrationFields(const JID&, int fields, std::string) override {
        registration_->registerAccount(fields, values_);
    }
    void onAlreadyRegistered(const JID&) override {}
    void onRegistrationResult(const JID&, RegistrationResult result) override {
        std::lock_guard<std::mutex> l(m_);
        result_ = result;
        done_ = true;
        cv_.notify_all();
    }
    void onRegistrationForm(const JID&, const XmlDataForm&) override {}
    void onRegistrationOob(const JID&, const OOB&) override {}

private:
    Registration* registration_ = nullptr;
    RegistrationFields values_;
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    RegistrationResult result_ = RegistrationUnknownError;
};

}  // namespace

TEST(LiveTls, StartTlsThenScramSha256) {
    REQUIRE_LIVE_SERVERS();
    const std::string bare = newTlsAccount();
    LiveClient c(clientFor(bare, "pw"));
    c.listener.requireValidCertificate = true;
    testsupport::LogRecorder log(c->logInstance(), LogDebug, LogAreaClientBase);
    c.start();
    ASSERT_TRUE(c.waitConnected()) << c.listener.joined();
    EXPECT_EQ(c.listener.joined(), "event:1 tls event:3 event:5 event:7 event:8 connected");
    EXPECT_EQ(c->selectedMechanism(), SaslScramSha256);
    const CertificateInfo& info = c.listener.certificate;
    EXPECT_TRUE(info.chainValid);
    EXPECT_EQ(info.subject, "O=Parley Tests, CN=tls.test");
    EXPECT_EQ(info.issuer, "O=Parley Tests, CN=Parley Test CA");
    EXPECT_EQ(info.protocol, "TLSv1.3");
    EXPECT_GT(info.validTo, info.validFrom);
    EXPECT_TRUE(log.contains("connection encryption active"));
}

TEST(LiveTls, StartTlsThenPlainWhichTheServerOffersOnlyInsideTls) {
    REQUIRE_LIVE_SERVERS();
    const std::string bare = newTlsAccount();
    LiveClient c(clientFor(bare, "pw"));
    c->setSaslMechanisms(SaslPlain);
    testsupport::LogRecorder log(c->logInstance(), LogDebug, LogAreaXmlOutgoing);
    c.start();
    ASSERT_TRUE(c.waitConnected()) << c.listener.joined();
    EXPECT_EQ(c->selectedMechanism(), SaslPlain);
    EXPECT_TRUE(log.contains("mechanism='PLAIN'"));
    EXPECT_TRUE(log.contains("[redacted]"));
}

TEST(LiveTls, CertificatesThatDoNotVerifyAreRefused) {
    REQUIRE_LIVE_SERVERS();
    for (const char* domain : {"wrongname.test", "expired.test", "selfsigned.test", "untrusted.test", "forged.test"}) {
        LiveClient c(clientFor(std::string("nobody@") + domain, "pw"));
        c.listener.requireValidCertificate = true;
        testsupport::LogRecorder log(c->logInstance(), LogError, LogAreaClientBase);
        c.start();
        ASSERT_TRUE(c.waitDisconnected()) << domain;
        EXPECT_EQ(c.listener.disconnects, std::vector<ConnectionError>{TlsFailed}) << domain;
        EXPECT_FALSE(c.listener.certificate.chainValid) << domain;
        EXPECT_EQ(c.listener.certificate.subject, std::string("O=Parley Tests, CN=") + domain);
        EXPECT_TRUE(log.contains("Server's certificate rejected!")) << domain;
        EXPECT_FALSE(c.listener.has("event:3")) << domain;  // no credentials were sent
    }
}

TEST(LiveTls, TrustingTheIssuerMakesACertificateGood) {
    REQUIRE_LIVE_SERVERS();
    const struct {
        const char* domain;
        std::string anchor;
    } cases[] = {{"untrusted.test", testCertificate("other-ca.pem")},
                 {"selfsigned.test", testCertificate("selfsigned.test.pem")}};
    for (const auto& t : cases) {
        LiveClient c(clientFor(std::string("nobody@") + t.domain, "pw"));
        c->setCACerts({"/path/to/cacert.crt", t.anchor});
        c.listener.requireValidCertificate = true;
        c.start();
        ASSERT_TRUE(c.waitDisconnected()) << t.domain;
        EXPECT_TRUE(c.listener.certificate.chainValid) << t.domain;
        // On to authentication, which fails for the account that is not there.
        EXPECT_TRUE(c.listener.has("event:3")) << c.listener.joined();
        EXPECT_EQ(c.listener.disconnects, std::vector<ConnectionError>{AuthenticationFailed}) << t.domain;
    }
}

TEST(LiveTls, RequiredTlsAgainstTheClientsPolicies) {
    REQUIRE_LIVE_SERVERS();
    {  // TLS switched off against a server that requires it
        LiveClient c(clientFor("nobody@tlsreq.test", "pw"));
        c->setTlsPolicy(TlsDisabled);
        testsupport::LogRecorder log(c->logInstance(), LogError, LogAreaClient);
        c.start();
        ASSERT_TRUE(c.waitDisconnected());
        EXPECT_EQ(c.listener.disconnects, std::vector<ConnectionError>{NoSupportedAuth});
        EXPECT_TRUE(log.contains("the server doesn't support any auth mechanisms we know about"));
    }
    {  // TLS required against a server without it
        LiveClient c(clientFor("nobody@example.test", "pw"));
        c->setTlsPolicy(TlsRequired);
        testsupport::LogRecorder log(c->logInstance(), LogError, LogAreaClient);
        c.start();
        ASSERT_TRUE(c.waitDisconnected());
        EXPECT_EQ(c.listener.disconnects, std::vector<ConnectionError>{TlsNotAvailable});
        EXPECT_TRUE(log.contains("Client is configured to require TLS but either the server didn't offer TLS or TLS "
                                 "support is not compiled in."));
    }
    {  // both require it: registration and login inside TLS
        const std::string user = uniqueName("req");
        Registrar registrar;
        ASSERT_TRUE(registrar.run("tlsreq.test", user, "pw"));
        LiveClient c(clientFor(user + "@tlsreq.test", "pw"));
        c->setTlsPolicy(TlsRequired);
        c.listener.requireValidCertificate = true;
        c.start();
        ASSERT_TRUE(c.waitConnected()) << c.listener.joined();
        EXPECT_TRUE(c.listener.has("tls"));
    }
}

// STARTTLS on the other servers, each mechanism they offer inside it:
// ejabberd offers -PLUS on TLS 1.3 too; jabberd2 only DIGEST-MD5 and PLAIN.
TEST(LiveTls, StartTlsOnEjabberdAndJabberd2) {
    REQUIRE_LIVE_SERVERS();
    const struct {
        const char* domain;
        int registerPort;
        int port;
        int mechanisms;
        SaslMechanism expected;
    } cases[] = {
        {"ejabberd.test", 5322, 5323, 0xFFFF, SaslScramSha256Plus},
        {"ejabberd.test", 5322, 5323, SaslPlain, SaslPlain},
        {"jabberd2.test", 5422, -1, 0xFFFF, SaslDigestMd5},
        {"jabberd2.test", 5422, -1, SaslPlain, SaslPlain},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(std::string(t.domain) + " " + std::to_string(t.mechanisms));
        const std::string bare = uniqueName("e") + "@" + t.domain;
        ASSERT_EQ(Peer::registerAccount(bare, "pw", t.registerPort), 0);
        LiveClient c(clientFor(bare, "pw", t.port));
        c->setSaslMechanisms(t.mechanisms);
        c.listener.requireValidCertificate = true;
        c.start();
        ASSERT_TRUE(c.waitConnected()) << c.listener.joined();
        EXPECT_TRUE(c.listener.has("tls"));
        EXPECT_TRUE(c.listener.certificate.chainValid);
        EXPECT_EQ(c.listener.certificate.subject, std::string("O=Parley Tests, CN=") + t.domain);
        EXPECT_EQ(c->selectedMechanism(), t.expected);
    }
}

// A password that compatibility normalisation changes: full-width letters,
// a ligature and a no-break space. The server prepares what it compares,
// so the client must send the prepared form, with SCRAM and with PLAIN.
TEST(LiveTls, PasswordPreparedWithSaslPrep) {
    REQUIRE_LIVE_SERVERS();
    const std::string password = "\xEF\xBD\x90\xEF\xBD\x81ss\xC2\xA0\xEF\xAC\x81x";  // "pass fix" prepared
    const std::string bare = uniqueName("t") + "@tls.test";
    ASSERT_EQ(Peer::registerAccount(bare, password, 5232), 0);
    for (int mechanism : {SaslScramSha256, SaslScramSha1, SaslPlain}) {
        LiveClient c(clientFor(bare, password));
        c->setCACerts({testAuthority()});
        c->setSaslMechanisms(mechanism);
        c.start();
        EXPECT_TRUE(c.waitConnected()) << mechanism << ": " << c.listener.joined();
        EXPECT_EQ(c->selectedMechanism(), mechanism);
    }
}

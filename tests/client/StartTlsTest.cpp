// STARTTLS through the engine: the client's TLS object talks to an
// in-process TLS server through the fake transport, and the stream restarts
// inside the encryption.
#include <gtest/gtest.h>

#include "client/Client.h"
#include "support/FakeSession.h"
#include "support/LogRecorder.h"
#include "support/TlsFixtures.h"

using namespace tern;
using namespace testsupport;

namespace {
const std::string kTlsNs = "urn:ietf:params:xml:ns:xmpp-tls";

struct TlsSession : FakeSession {
    explicit TlsSession(const std::vector<std::string>& names)
        : authority(makeAuthority("Parley Test CA")), peer(leafFor(names)) {
        client->setCACerts({authority.writePem("engine-ca")});
    }
    Credential leafFor(const std::vector<std::string>& names) {
        CertificateSpec spec;
        spec.commonName = names.front();
        spec.dnsNames = names;
        return issue(spec, &authority);
    }
    // Up to the server's go-ahead; returns the client's first TLS bytes.
    std::string untilProceed() {
        open();
        says(serverHeader() + features("<starttls xmlns='" + kTlsNs + "'/>" + mechanisms({"PLAIN"})));
        EXPECT_EQ(sent(), "<starttls xmlns='" + kTlsNs + "'/>");
        says("<proceed xmlns='" + kTlsNs + "'/>");
        return sent();
    }
    // Ciphertext both ways until neither side has more to say.
    void pump(std::string toServer) {
        for (int i = 0; i < 10 && !toServer.empty(); ++i) {
            const std::string toClient = peer.receive(toServer);
            if (!toClient.empty()) says(toClient);
            toServer = sent();
        }
    }
    Credential authority;
    MemoryTlsServer peer;
};
}  // namespace

TEST(ClientStartTls, TheStreamRestartsInsideTls) {
    TlsSession s({"example.test"});
    LogRecorder log(s.client->logInstance());
    s.pump(s.untilProceed());
    ASSERT_TRUE(s.peer.established());
    EXPECT_TRUE(s.listener.has("tls"));
    EXPECT_TRUE(s.listener.certificate.chainValid);
    EXPECT_TRUE(log.has(LogDebug, LogAreaClientBase, "connection encryption active"));
    // The new stream header went out encrypted.
    EXPECT_EQ(s.peer.plaintext.rfind("<?xml version='1.0' ?><stream:stream to='example.test'", 0), 0u)
        << s.peer.plaintext;
    s.peer.plaintext.clear();
    // Features inside TLS no longer lead to STARTTLS but to authentication.
    s.says(s.peer.send(serverHeader("s2") + features(mechanisms({"PLAIN"}))));
    s.pump(s.sent());
    EXPECT_NE(s.peer.plaintext.find("mechanism='PLAIN'"), std::string::npos) << s.peer.plaintext;
    EXPECT_TRUE(s.listener.disconnects.empty());
}

TEST(ClientStartTls, ARefusedCertificateEndsTheSessionWithoutAStreamClose) {
    TlsSession s({"other.test"});
    LogRecorder log(s.client->logInstance());
    s.listener.acceptCertificate = false;
    s.pump(s.untilProceed());
    EXPECT_FALSE(s.listener.certificate.chainValid);  // the name does not match
    EXPECT_TRUE(log.has(LogError, LogAreaClientBase, "Server's certificate rejected!"));
    EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{TlsFailed});
    EXPECT_EQ(s.peer.plaintext, "");  // neither a header nor "</stream:stream>"
}

TEST(ClientStartTls, AFailedHandshakeIsReportedOnce) {
    TlsSession s({"example.test"});
    LogRecorder log(s.client->logInstance());
    s.untilProceed();
    s.says("this is not TLS at all");
    EXPECT_TRUE(log.has(LogError, LogAreaClientBase, "TLS handshake failed!"));
    EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{TlsFailed});
}

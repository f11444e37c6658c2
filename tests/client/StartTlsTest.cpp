// STARTTLS through the engine: the client's TLS object talks to an
// in-process TLS server through the fake transport, and the stream restarts
// inside the encryption.
#include <gtest/gtest.h>

#include "client/Client.h"
#include "support/FakeSession.h"
#include "support/LogRecorder.h"
#include "support/TlsFixtures.h"
#include "support/TlsSession.h"

using namespace tern;
using namespace testsupport;

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

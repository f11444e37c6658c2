// A FakeSession whose server speaks TLS in the test: STARTTLS, then the
// client's TLS object and an in-process TLS server exchange records
// through the fake transport.
#ifndef PARLEY_TESTS_SUPPORT_TLSSESSION_H
#define PARLEY_TESTS_SUPPORT_TLSSESSION_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/FakeSession.h"
#include "support/TlsFixtures.h"

namespace testsupport {

const std::string kTlsNs = "urn:ietf:params:xml:ns:xmpp-tls";

struct TlsSession : FakeSession {
    // maxVersion 0: the library's highest.
    explicit TlsSession(const std::vector<std::string>& names, int maxVersion = 0,
                        const std::string& jid = "user@example.test/res", const std::string& password = "secret")
        : FakeSession(jid, password), authority(makeAuthority("Parley Test CA")), peer(leafFor(names), maxVersion) {
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
    // The server says this inside TLS; returns the plaintext it received
    // in answer.
    std::string exchange(const std::string& xml) {
        peer.plaintext.clear();
        says(peer.send(xml));
        pump(sent());
        return peer.plaintext;
    }
    Credential authority;
    MemoryTlsServer peer;
};

}  // namespace testsupport

#endif

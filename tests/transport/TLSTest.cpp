// The OpenSSL TLS object against an in-process server over memory buffers:
// certificate checks, record splitting and every way records can arrive.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <atomic>
#include <thread>

#include "support/TlsFixtures.h"
#include "transport/TLSDefault.h"
#include "transport/TLSOpenSSL.h"

using namespace tern;
using namespace testsupport;

namespace {

const std::string kServer = "tls.test";

struct Pki {
    Pki() : authority(makeAuthority("Parley Test CA")), authorityFile(authority.writePem("ca")) {}
    Credential leaf(std::vector<std::string> names, std::time_t notBefore = std::time(nullptr) - 3600,
                    std::time_t notAfter = std::time(nullptr) + 86400) const {
        CertificateSpec spec;
        spec.commonName = names.empty() ? kServer : names.front();
        spec.dnsNames = std::move(names);
        spec.notBefore = notBefore;
        spec.notAfter = notAfter;
        return issue(spec, &authority);
    }
    Credential authority;
    std::string authorityFile;
};

const Pki& pki() {
    static const Pki p;
    return p;
}

// A client TLS object for server, trusting the test authority, with a
// server that presents leaf; the handshake has been started.
struct Link {
    explicit Link(const Credential& leaf, const std::string& server = kServer, int maxVersion = 0,
                  const std::string& ciphers = "", bool trust = true)
        : tls(&handler, server), peer(leaf, maxVersion, ciphers) {
        if (trust) tls.setCACerts({"/path/to/cacert.crt", pki().authorityFile});
        started = tls.handshake();
    }
    // The last handshake result, once there is one.
    const CertificateInfo& info() { return handler.results.back().second; }
    bool establish() { return completeHandshake(tls, handler, peer); }

    RecordingTlsHandler handler;
    TLSOpenSSL tls;
    MemoryTlsServer peer;
    bool started = false;
};

}  // namespace

TEST(TLSOpenSSL, HandshakeWithAVerifiedCertificate) {
    const std::time_t from = 1700000000, to = 2000000000;
    Link link(pki().leaf({kServer, "conference.tls.test"}, from, to));
    ASSERT_TRUE(link.started);
    EXPECT_FALSE(link.tls.isSecure());
    ASSERT_TRUE(link.establish());
    EXPECT_TRUE(link.tls.isSecure());
    ASSERT_EQ(link.handler.results.size(), 1u);
    const CertificateInfo& info = link.info();
    EXPECT_TRUE(info.chainValid);
    EXPECT_EQ(info.status, 0);
    EXPECT_EQ(info.subject, "O=Parley Tests, CN=tls.test");
    EXPECT_EQ(info.issuer, "O=Parley Tests, CN=Parley Test CA");
    // Exact seconds: the dates are read as UTC, whatever the local zone.
    EXPECT_EQ(info.validFrom, from);
    EXPECT_EQ(info.validTo, to);
    EXPECT_EQ(info.protocol, "TLSv1.3");
    EXPECT_TRUE(info.cipher == "AES_256" || info.cipher == "AES_128" || info.cipher == "CHACHA20_POLY1305")
        << info.cipher;
    EXPECT_EQ(info.mac, "AEAD");
    EXPECT_EQ(info.compression, "");
    EXPECT_EQ(&link.tls.certificateInfo(), &link.tls.certificateInfo());
    EXPECT_TRUE(link.tls.certificateInfo().chainValid);

    // Both directions carry data.
    ASSERT_TRUE(link.tls.encrypt("<stream:stream>"));
    link.peer.receive(link.handler.takeEncrypted());
    EXPECT_EQ(link.peer.plaintext, "<stream:stream>");
    link.tls.decrypt(link.peer.send("<stream:features/>"));
    EXPECT_EQ(link.handler.decrypted, std::vector<std::string>{"<stream:features/>"});
}

TEST(TLSOpenSSL, Tls12NamesItsProtocolCipherAndMac) {
    Link link(pki().leaf({kServer}), kServer, TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA");
    ASSERT_TRUE(link.establish());
    EXPECT_EQ(link.info().protocol, "TLSv1.2");
    EXPECT_EQ(link.info().cipher, "AES_128");
    EXPECT_EQ(link.info().mac, "SHA");
    EXPECT_TRUE(link.info().chainValid);
}

TEST(TLSOpenSSL, CertificatesThatDoNotVerifyStillCompleteTheHandshake) {
    // The listener decides; the TLS layer only records the outcome.
    const Pki& p = pki();
    const std::time_t now = std::time(nullptr);
    const Credential otherAuthority = makeAuthority("Someone Else");
    CertificateSpec selfSpec;
    selfSpec.commonName = kServer;
    selfSpec.dnsNames = {kServer};
    CertificateSpec foreignSpec = selfSpec;
    struct Case {
        const char* what;
        Credential leaf;
        std::string server;
        bool valid;
    };
    const Case cases[] = {
        {"another name", p.leaf({"other.test"}), kServer, false},
        {"expired", p.leaf({kServer}, now - 2 * 86400, now - 86400), kServer, false},
        {"not yet valid", p.leaf({kServer}, now + 86400, now + 2 * 86400), kServer, false},
        {"self-signed", issue(selfSpec, nullptr), kServer, false},
        {"untrusted authority", issue(foreignSpec, &otherAuthority), kServer, false},
        {"name only in the common name", p.leaf({}), kServer, false},
        {"wildcard", p.leaf({"*.tls.test"}), "chat.tls.test", true},
        {"wildcard does not cover the parent", p.leaf({"*.tls.test"}), kServer, false},
        {"wildcard covers one label only", p.leaf({"*.tls.test"}), "a.chat.tls.test", false},
        {"partial wildcard", p.leaf({"c*.tls.test"}), "chat.tls.test", false},
        {"second name", p.leaf({"a.test", kServer}), kServer, true},
        {"names compare without case", p.leaf({"TLS.Test"}), kServer, true},
    };
    for (const Case& c : cases) {
        Link link(c.leaf, c.server);
        ASSERT_TRUE(link.establish()) << c.what;
        EXPECT_EQ(link.info().chainValid, c.valid) << c.what;
        EXPECT_TRUE(link.tls.isSecure()) << c.what;
    }
    // Trusting the other authority makes its certificate good.
    Link trusted(issue(foreignSpec, &otherAuthority));
    trusted.tls.setCACerts({otherAuthority.writePem("other-ca")});
    trusted.handler.encrypted.clear();  // a second handshake starts afresh
    ASSERT_TRUE(trusted.tls.handshake());
    ASSERT_TRUE(trusted.establish());
    EXPECT_TRUE(trusted.info().chainValid);
}

TEST(TLSOpenSSL, TrustFromTheEnvironmentAndMissingFiles) {
    {
        Link link(pki().leaf({kServer}), kServer, 0, "", false);
        ASSERT_TRUE(link.establish());
        EXPECT_FALSE(link.info().chainValid);  // the test authority is not in the system's store
    }
    ::setenv("SSL_CERT_FILE", pki().authorityFile.c_str(), 1);
    {
        Link link(pki().leaf({kServer}), kServer, 0, "", false);
        link.tls.setCACerts({"/path/to/cacert.crt", "/nonexistent/folder/"});
        link.handler.encrypted.clear();
        ASSERT_TRUE(link.tls.handshake());
        ASSERT_TRUE(link.establish());
        EXPECT_TRUE(link.info().chainValid);
    }
    ::unsetenv("SSL_CERT_FILE");
}

TEST(TLSOpenSSL, DatesBeyondThirtyTwoBitsAreClamped) {
    Link link(pki().leaf({kServer}, 1700000000, static_cast<std::time_t>(4102444800LL)));  // 2100
    ASSERT_TRUE(link.establish());
    EXPECT_EQ(link.info().validFrom, 1700000000);
    EXPECT_EQ(link.info().validTo, INT_MAX);
}

TEST(TLSOpenSSL, AServerAnswerSplitIntoManyReads) {
    Link link(pki().leaf({kServer}));
    const std::string flight = link.peer.receive(link.handler.takeEncrypted());
    ASSERT_GT(flight.size(), 100u);
    for (std::size_t i = 0; i + 1 < flight.size(); ++i) {
        link.tls.decrypt(flight.substr(i, 1));
        ASSERT_TRUE(link.handler.events.empty()) << "at byte " << i;
    }
    link.tls.decrypt(flight.substr(flight.size() - 1));
    EXPECT_EQ(link.handler.events, std::vector<std::string>{"success"});
    link.peer.receive(link.handler.takeEncrypted());
    EXPECT_TRUE(link.peer.established());
}

TEST(TLSOpenSSL, DataInTheSameReadAsTheLastHandshakeMessageIsHandedUpAtOnce) {
    // TLS 1.2: the server's Finished and its first record leave together.
    Link link(pki().leaf({kServer}), kServer, TLS1_2_VERSION);
    const std::string hello = link.peer.receive(link.handler.takeEncrypted());
    link.tls.decrypt(hello);
    std::string last = link.peer.receive(link.handler.takeEncrypted());
    ASSERT_TRUE(link.peer.established());
    last += link.peer.send("<stream:stream>");
    link.tls.decrypt(last);
    EXPECT_EQ(link.handler.events, (std::vector<std::string>{"success", "data"}));
    EXPECT_EQ(link.handler.decrypted, std::vector<std::string>{"<stream:stream>"});
}

TEST(TLSOpenSSL, SeveralRecordsInOneReadAndARecordInPieces) {
    Link link(pki().leaf({kServer}));
    ASSERT_TRUE(link.establish());
    std::string read = link.peer.send("one");
    read += link.peer.send("two");
    read += link.peer.send("three");
    link.tls.decrypt(read);
    EXPECT_EQ(link.handler.decrypted, (std::vector<std::string>{"one", "two", "three"}));
    const std::string record = link.peer.send("split");
    link.tls.decrypt(record.substr(0, 3));
    link.tls.decrypt(record.substr(3, 10));
    EXPECT_EQ(link.handler.decrypted.size(), 3u);
    link.tls.decrypt(record.substr(13));
    EXPECT_EQ(link.handler.decrypted.back(), "split");
}

TEST(TLSOpenSSL, LongTextsAreSplitIntoRecords) {
    Link link(pki().leaf({kServer}));
    ASSERT_TRUE(link.establish());
    link.handler.encrypted.clear();
    std::string text(3 * TLSOpenSSL::kMaxRecordPlaintext + 1, 'x');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(link.tls.encrypt(text));
    EXPECT_EQ(link.handler.encrypted.size(), 4u);
    link.peer.receive(link.handler.takeEncrypted());
    EXPECT_EQ(link.peer.plaintext, text);
    ASSERT_TRUE(link.tls.encrypt(std::string(TLSOpenSSL::kMaxRecordPlaintext, 'y')));
    EXPECT_EQ(link.handler.encrypted.size(), 1u);
}

TEST(TLSOpenSSL, ACorruptedRecordEndsTheSession) {
    Link link(pki().leaf({kServer}));
    ASSERT_TRUE(link.establish());
    std::string record = link.peer.send("payload");
    record[record.size() - 3] ^= 0x40;
    link.tls.decrypt(record);
    EXPECT_EQ(link.handler.events, (std::vector<std::string>{"success", "failure"}));
    EXPECT_FALSE(link.tls.isSecure());
    EXPECT_TRUE(link.handler.decrypted.empty());
    EXPECT_FALSE(link.tls.encrypt("more"));
    link.tls.cleanup();  // again: harmless
}

TEST(TLSOpenSSL, GarbageInsteadOfAHandshakeFails) {
    RecordingTlsHandler handler;
    TLSOpenSSL tls(&handler, kServer);
    ASSERT_TRUE(tls.handshake());
    tls.decrypt("HTTP/1.1 400 Bad Request\r\n\r\n");
    EXPECT_EQ(handler.events, std::vector<std::string>{"failure"});
    EXPECT_FALSE(tls.isSecure());
}

TEST(TLSOpenSSL, NothingIsEncryptedBeforeTheHandshakeOrWithoutAHandler) {
    RecordingTlsHandler handler;
    TLSOpenSSL tls(&handler, kServer);
    EXPECT_FALSE(tls.encrypt("early"));
    ASSERT_TRUE(tls.handshake());
    handler.encrypted.clear();
    EXPECT_FALSE(tls.encrypt("still early"));
    EXPECT_TRUE(handler.encrypted.empty());
    EXPECT_TRUE(handler.events.empty());
    TLSOpenSSL orphan(nullptr, kServer);
    EXPECT_FALSE(orphan.handshake());
    EXPECT_EQ(orphan.decrypt("x"), 0);
}

TEST(TLSOpenSSL, SendersOnManyThreadsWhileRecordsArrive) {
    Link link(pki().leaf({kServer}));
    ASSERT_TRUE(link.establish());
    link.handler.encrypted.clear();
    constexpr int kThreads = 3, kMessages = 200;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&link, t] {
            for (int i = 0; i < kMessages; ++i) link.tls.encrypt("<m t='" + std::to_string(t) + "'/>");
        });
    std::vector<std::string> records;
    for (int i = 0; i < kMessages; ++i) records.push_back(link.peer.send("<r/>"));
    for (const std::string& r : records) link.tls.decrypt(r);
    for (std::thread& s : senders) s.join();
    // Records leave in sequence order, or the server would fail to decrypt.
    link.peer.receive(link.handler.takeEncrypted());
    EXPECT_FALSE(link.peer.failed());
    std::size_t count = 0;
    for (std::size_t at = 0; (at = link.peer.plaintext.find("<m t=", at)) != std::string::npos; ++at) ++count;
    EXPECT_EQ(count, static_cast<std::size_t>(kThreads * kMessages));
    EXPECT_EQ(link.handler.decrypted.size(), static_cast<std::size_t>(kMessages));
}

TEST(TLSDefault, ForwardsToTheBuildsImplementation) {
    EXPECT_TRUE(TLSDefault::available());
    RecordingTlsHandler handler;
    TLSDefault client(&handler, kServer, TLSDefault::KindClient);
    client.setCACerts({pki().authorityFile});
    MemoryTlsServer peer(pki().leaf({kServer}));
    ASSERT_TRUE(client.handshake());
    ASSERT_TRUE(completeHandshake(client, handler, peer));
    EXPECT_TRUE(client.isSecure());
    EXPECT_TRUE(client.certificateInfo().chainValid);

    TLSDefault none(&handler, kServer, 2);
    EXPECT_FALSE(none.encrypt("x"));
    EXPECT_FALSE(none.handshake());
    EXPECT_EQ(none.decrypt("x"), 0);
    EXPECT_FALSE(none.isSecure());
    EXPECT_EQ(none.certificateInfo().subject, "");
    EXPECT_EQ(none.certificateInfo().validTo, 0);
}

TEST(TLSOpenSSL, SessionsOnSeveralThreadsShareTheirSetUp) {
    const Credential leaf = pki().leaf({kServer});
    std::vector<std::thread> threads;
    std::atomic<int> verified{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i) {
                Link link(leaf);
                if (link.establish() && link.info().chainValid) ++verified;
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(verified.load(), 20);
}

TEST(TLSOpenSSL, TheNextConnectionResumesTheSessionOfOneThatBroke) {
    RecordingTlsHandler handler;
    TLSOpenSSL tls(&handler, kServer);
    tls.setCACerts({pki().authorityFile});
    MemoryTlsServer first(pki().leaf({kServer}), 0, "", true);
    ASSERT_TRUE(tls.handshake());
    ASSERT_TRUE(completeHandshake(tls, handler, first));
    EXPECT_FALSE(handler.results.back().second.resumed);
    tls.cleanup();  // the connection is gone, without a TLS shutdown

    MemoryTlsServer second(&first);
    ASSERT_TRUE(tls.handshake());
    ASSERT_TRUE(completeHandshake(tls, handler, second));
    EXPECT_TRUE(second.resumed());
    EXPECT_TRUE(handler.results.back().second.resumed);
    EXPECT_TRUE(handler.results.back().second.chainValid);  // the verdict travels with the session
    tls.cleanup();

    // Other anchors: a session verified against the old ones is not offered.
    tls.setCACerts({pki().authorityFile, "/elsewhere.pem"});
    MemoryTlsServer third(&first);
    ASSERT_TRUE(tls.handshake());
    ASSERT_TRUE(completeHandshake(tls, handler, third));
    EXPECT_FALSE(third.resumed());
}

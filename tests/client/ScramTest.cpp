// SHA-256, HMAC, PBKDF2 and the SCRAM client against the published vectors,
// then the SCRAM exchange as the client runs it against the fake transport.
#include <gtest/gtest.h>

#include "client/Base64.h"
#include "client/Client.h"
#include "client/Hex.h"
#include "client/Hmac.h"
#include "client/SHA.h"
#include "client/SHA256.h"
#include "client/Scram.h"
#include "support/FakeSession.h"
#include "support/LogRecorder.h"

using namespace tern;
using testsupport::FakeSession;
using testsupport::features;
using testsupport::LogRecorder;
using testsupport::mechanisms;
using testsupport::serverHeader;

namespace {
std::string sha256hex(const std::string& s) {
    SHA256 h;
    h.update(s);
    return h.hexDigest();
}
}  // namespace

TEST(SHA256, Fips180Vectors) {
    EXPECT_EQ(sha256hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    SHA256 million;
    const std::string a(1000, 'a');
    for (int i = 0; i < 1000; ++i) million.update(a);
    EXPECT_EQ(million.hexDigest(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // Every length around the padding boundaries, bytewise against one shot.
    std::string s;
    for (int len = 0; len < 140; ++len) {
        SHA256 bytewise;
        for (char c : s) bytewise.update(&c, 1);
        EXPECT_EQ(bytewise.hexDigest(), sha256hex(s)) << len;
        s.push_back(static_cast<char>('a' + len % 26));
    }
}

TEST(Hmac, Rfc4231AndRfc2202Vectors) {
    // RFC 4231 cases 1, 2 and 6 (a key longer than the block).
    EXPECT_EQ(hexEncode(hmac<SHA256>(std::string(20, '\x0b'), "Hi There")),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    EXPECT_EQ(hexEncode(hmac<SHA256>("Jefe", "what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(hexEncode(hmac<SHA256>(std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First")),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
    // RFC 2202 cases 1 and 2 for SHA-1.
    EXPECT_EQ(hexEncode(hmac<SHA>(std::string(20, '\x0b'), "Hi There")), "b617318655057264e28bc0b6fb378c8ef146be00");
    EXPECT_EQ(hexEncode(hmac<SHA>("Jefe", "what do ya want for nothing?")),
              "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
}

TEST(Pbkdf2, Rfc6070AndRfc7914Vectors) {
    EXPECT_EQ(hexEncode(pbkdf2<SHA>("password", "salt", 1)), "0c60c80f961f0e71f3a9b524af6012062fe037a6");
    EXPECT_EQ(hexEncode(pbkdf2<SHA>("password", "salt", 4096)), "4b007901b765489abead49d926f721d065a429c1");
    EXPECT_EQ(hexEncode(pbkdf2<SHA>("passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096, 25)),
              "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038");
    EXPECT_EQ(hexEncode(pbkdf2<SHA>(std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, 16)),
              "56fa6aa75548099dcc37d7f03425e0c3");
    // RFC 7914 section 11: PBKDF2-HMAC-SHA256, two output blocks.
    EXPECT_EQ(hexEncode(pbkdf2<SHA256>("passwd", "salt", 1, 64)),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
              "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
}

TEST(ScramClient, Rfc5802AndRfc7677Examples) {
    {
        ScramClient scram(ScramClient::Hash::Sha1, "user", "pencil", "", "fyko+d2lbbFgONRv9qkxdawL");
        EXPECT_EQ(scram.clientFirst(), "n,,n=user,r=fyko+d2lbbFgONRv9qkxdawL");
        std::string reply, error;
        ASSERT_TRUE(scram.clientFinal("r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,s=QSXCR+Q6sek8bf92,i=4096", reply,
                                      error))
            << error;
        EXPECT_EQ(reply, "c=biws,r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,p=v0X8v3Bz2T0CJGbJQyF0X+HI4Ts=");
        EXPECT_TRUE(scram.verifyServerFinal("v=rmF9pqV8S7suAoZWja4dJRkFsKQ=", error)) << error;
        EXPECT_FALSE(scram.verifyServerFinal("v=rmF9pqV8S7suAoZWjb4dJRkFsKQ=", error));
    }
    {
        ScramClient scram(ScramClient::Hash::Sha256, "user", "pencil", "", "rOprNGfwEbeRWgbNEkqO");
        std::string reply, error;
        ASSERT_TRUE(scram.clientFinal(
            "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096", reply, error));
        EXPECT_EQ(reply,
                  "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
                  "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=");
        EXPECT_TRUE(scram.verifyServerFinal("v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=", error)) << error;
    }
}

TEST(ScramClient, NamesAreEscapedAndAnAuthzidGoesInTheHeader) {
    ScramClient scram(ScramClient::Hash::Sha256, "a,b=c", "p", "admin@example.test", "n0nce");
    EXPECT_EQ(scram.clientFirst(), "n,a=admin@example.test,n=a=2Cb=3Dc,r=n0nce");
    std::string reply, error;
    ASSERT_TRUE(scram.clientFinal("r=n0nceXYZ,s=c2FsdA==,i=1", reply, error));
    // The channel-binding attribute repeats the header.
    EXPECT_EQ(reply.substr(0, reply.find(",r=")), "c=" + base64Encode("n,a=admin@example.test,"));
}

TEST(ScramClient, UnacceptableServerMessages) {
    const char* const refused[] = {
        "r=otherNONCE,s=c2FsdA==,i=4096",  // does not extend our nonce
        "r=n0nce,s=c2FsdA==,i=4096",       // echoes it without adding anything
        "r=n0nceX,i=4096",                 // no salt
        "r=n0nceX,s=,i=4096",              // empty salt
        "r=n0nceX,s=c2FsdA==",             // no iteration count
        "r=n0nceX,s=c2FsdA==,i=0",
        "r=n0nceX,s=c2FsdA==,i=-5",
        "r=n0nceX,s=c2FsdA==,i=4096x",
        "r=n0nceX,s=c2FsdA==,i=99999999999",  // would keep the thread busy for hours
        "m=ext,r=n0nceX,s=c2FsdA==,i=4096",   // a mandatory extension
    };
    for (const char* message : refused) {
        ScramClient scram(ScramClient::Hash::Sha1, "u", "p", "", "n0nce");
        std::string reply, error;
        EXPECT_FALSE(scram.clientFinal(message, reply, error)) << message;
        EXPECT_FALSE(error.empty()) << message;
    }
    ScramClient scram(ScramClient::Hash::Sha1, "u", "p", "", "n0nce");
    std::string reply, error;
    EXPECT_FALSE(scram.verifyServerFinal("v=AAAA", error));  // before any proof was computed
    ASSERT_TRUE(scram.clientFinal("r=n0nceX,s=c2FsdA==,i=2", reply, error));
    EXPECT_FALSE(scram.verifyServerFinal("e=invalid-proof", error));
    EXPECT_EQ(error, "the server reports invalid-proof");
    EXPECT_FALSE(scram.verifyServerFinal("", error));
}

namespace {
const std::string kSaslNs = "urn:ietf:params:xml:ns:xmpp-sasl";

std::string element(const char* name, const std::string& decoded) {
    return "<" + std::string(name) + " xmlns='" + kSaslNs + "'>" + base64Encode(decoded) + "</" + name + ">";
}
// The decoded character data of the first element named in sent.
std::string sentText(const std::string& sent, const char* name) {
    const std::size_t open = sent.find("<" + std::string(name));
    if (open == std::string::npos) return "(none)";
    const std::size_t start = sent.find('>', open) + 1;
    return base64Decode(sent.substr(start, sent.find('<', start) - start));
}

// RFC 7677's example, as the client would run it with that nonce.
struct ScramSession : FakeSession {
    ScramSession() : FakeSession("user@example.test/res", "pencil") {
        client->setSaslClientNonce("rOprNGfwEbeRWgbNEkqO");
        open();
        says(serverHeader() + features(mechanisms({"PLAIN", "SCRAM-SHA-1", "DIGEST-MD5", "SCRAM-SHA-256"})));
        first = sent();
        says(element("challenge",
                     "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096"));
        second = sent();
    }
    std::string first, second;
};
const char* const kServerFinal = "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=";
}  // namespace

TEST(ClientScram, PreferredAndRunToAVerifiedSuccess) {
    ScramSession s;
    EXPECT_NE(s.first.find("mechanism='SCRAM-SHA-256'"), std::string::npos) << s.first;
    EXPECT_EQ(sentText(s.first, "auth"), "n,,n=user,r=rOprNGfwEbeRWgbNEkqO");
    EXPECT_EQ(sentText(s.second, "response"),
              "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
              "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=");
    s.says(element("success", kServerFinal));
    EXPECT_TRUE(s.client->authed());
    EXPECT_NE(s.sent().find("<stream:stream"), std::string::npos);
}

TEST(ClientScram, ServerFinalAsAChallenge) {
    ScramSession s;
    s.says(element("challenge", kServerFinal));
    EXPECT_EQ(s.sent(), "<response xmlns='" + kSaslNs + "'/>");
    s.says("<success xmlns='" + kSaslNs + "'/>");
    EXPECT_TRUE(s.client->authed());
}

TEST(ClientScram, SuccessWithoutTheServersProofIsRefused) {
    for (const std::string& success :
         {"<success xmlns='" + kSaslNs + "'/>", element("success", "v=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="),
          element("success", "e=other-error")}) {
        ScramSession s;
        LogRecorder log(s.client->logInstance());
        s.says(success);
        EXPECT_FALSE(s.client->authed()) << success;
        EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{AuthenticationFailed}) << success;
        EXPECT_FALSE(log.has(LogDebug, LogAreaClient, "SASL authentication successful"));
    }
}

TEST(ClientScram, ABadFirstMessageAbortsTheExchange) {
    FakeSession s("user@example.test/res", "pencil");
    LogRecorder log(s.client->logInstance());
    s.client->setSaslClientNonce("abc");
    s.open();
    s.says(serverHeader() + features(mechanisms({"SCRAM-SHA-1"})));
    EXPECT_NE(s.sent().find("mechanism='SCRAM-SHA-1'"), std::string::npos);
    s.says(element("challenge", "r=xyz,s=c2FsdA==,i=4096"));
    EXPECT_EQ(s.sent(), "<abort xmlns='" + kSaslNs + "'/></stream:stream>");
    EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{AuthenticationFailed});
    EXPECT_TRUE(log.has(LogError, LogAreaClient, "SASL SCRAM: the server's nonce does not extend ours"));
}

TEST(ClientScram, MaskedOffFallsBackInOrder) {
    struct Case {
        int mask;
        const char* expected;
    };
    for (const Case& c : {Case{0xFFFF & ~SaslScramSha256, "SCRAM-SHA-1"},
                          Case{0xFFFF & ~(SaslScramSha256 | SaslScramSha1), "DIGEST-MD5"},
                          Case{SaslPlain, "PLAIN"}}) {
        FakeSession s;
        s.client->setSaslMechanisms(c.mask);
        s.open();
        s.says(serverHeader() + features(mechanisms({"PLAIN", "SCRAM-SHA-1", "DIGEST-MD5", "SCRAM-SHA-256"})));
        EXPECT_NE(s.sent().find(std::string("mechanism='") + c.expected + "'"), std::string::npos) << c.expected;
    }
}

TEST(ClientScram, RandomNoncesDiffer) {
    std::string nonces[2];
    for (std::string& nonce : nonces) {
        FakeSession s;
        s.open();
        s.says(serverHeader() + features(mechanisms({"SCRAM-SHA-256"})));
        nonce = sentText(s.sent(), "auth");
        EXPECT_GE(nonce.size(), std::string("n,,n=user,r=").size() + 24) << nonce;
    }
    EXPECT_NE(nonces[0], nonces[1]);
}

TEST(ScramClient, TheSaltedPasswordIsReusedForTheSameSaltAndCount) {
    const std::string serverFirst = "r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,s=QSXCR+Q6sek8bf92,i=4096";
    const std::string expected = "c=biws,r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,p=v0X8v3Bz2T0CJGbJQyF0X+HI4Ts=";
    ScramClient::SaltedPasswordCache cache;
    std::string reply, error;
    ScramClient first(ScramClient::Hash::Sha1, "user", "pencil", "", "fyko+d2lbbFgONRv9qkxdawL", &cache);
    ASSERT_TRUE(first.clientFinal(serverFirst, reply, error)) << error;
    EXPECT_EQ(reply, expected);
    EXPECT_EQ(cache.iterations, 4096u);
    // The next exchange takes the cached value (a wrong one shows it) ...
    cache.salted[0] ^= 1;
    ScramClient second(ScramClient::Hash::Sha1, "user", "pencil", "", "fyko+d2lbbFgONRv9qkxdawL", &cache);
    ASSERT_TRUE(second.clientFinal(serverFirst, reply, error)) << error;
    EXPECT_NE(reply, expected);
    // ... but not for another salt or count, nor for the other hash.
    for (const char* other : {"r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,s=QSXCR+Q6sek8bf93,i=4096",
                              "r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,s=QSXCR+Q6sek8bf92,i=4097"}) {
        cache.salted[0] ^= 1;
        ScramClient third(ScramClient::Hash::Sha1, "user", "pencil", "", "fyko+d2lbbFgONRv9qkxdawL", &cache);
        ASSERT_TRUE(third.clientFinal(other, reply, error)) << error;
        EXPECT_NE(cache.salted, std::string());
        ScramClient fresh(ScramClient::Hash::Sha1, "user", "pencil", "", "fyko+d2lbbFgONRv9qkxdawL");
        std::string freshReply;
        ASSERT_TRUE(fresh.clientFinal(other, freshReply, error));
        EXPECT_EQ(reply, freshReply) << other;
    }
}

// What each encryption policy lets travel on a stream without TLS, and the
// prepared credentials SASL mechanisms send.
#include <gtest/gtest.h>

#include "client/Base64.h"
#include "client/Client.h"
#include "services/Registration.h"
#include "support/FakeSession.h"
#include "support/LogRecorder.h"

using namespace tern;
using testsupport::FakeSession;
using testsupport::features;
using testsupport::mechanisms;
using testsupport::serverHeader;

namespace {
const std::string kLegacy = "<auth xmlns='http://jabber.org/features/iq-auth'/>";
const std::string kStartTls = "<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>";
}  // namespace

// A server that offers no STARTTLS (or whose offer was stripped in the path).
TEST(EncryptionPolicy, WhatTravelsWithoutTls) {
    struct Case {
        const char* name;
        EncryptionPolicy policy;
        std::string features;
        std::string legacyOffer;   // the legacy fields the server offers, if it gets that far
        std::string scramFirst;    // the server's first SCRAM message, if it gets that far
        std::string mustSend;      // a fragment of what is sent ("" : nothing but the stream's close)
        ConnectionError ending;    // NoError: still going
        std::string logged;
    };
    const Case cases[] = {
        {"PLAIN only, password protected", EncryptionProtectPassword, mechanisms({"PLAIN"}), "", "", "",
         NoSupportedAuth, "not using PLAIN: it would send the password on an unencrypted stream"},
        {"PLAIN only, plaintext allowed", EncryptionAllowPlaintext, mechanisms({"PLAIN"}), "", "",
         "mechanism='PLAIN'", NoError, ""},
        {"SCRAM beside PLAIN", EncryptionProtectPassword, mechanisms({"PLAIN", "SCRAM-SHA-1"}), "", "r=n0s,s=c2FsdA==,i=4096",
         "mechanism='SCRAM-SHA-1'", NoError, ""},
        {"SCRAM with too few iterations", EncryptionProtectPassword, mechanisms({"SCRAM-SHA-1"}), "", "r=n0s,s=c2FsdA==,i=4095",
         "", NoSupportedAuth, "fewer than the 4096 a stream without TLS needs"},
        {"SCRAM with few iterations, plaintext allowed", EncryptionAllowPlaintext, mechanisms({"SCRAM-SHA-1"}), "",
         "r=n0s,s=c2FsdA==,i=1", "<response", NoError, ""},
        {"DIGEST-MD5 beside PLAIN", EncryptionProtectPassword, mechanisms({"PLAIN", "DIGEST-MD5"}), "", "", "",
         NoSupportedAuth, "not using DIGEST-MD5"},
        {"DIGEST-MD5, plaintext allowed", EncryptionAllowPlaintext, mechanisms({"PLAIN", "DIGEST-MD5"}), "", "",
         "mechanism='DIGEST-MD5'", NoError, ""},
        {"legacy with the password only", EncryptionProtectPassword, kLegacy, "<password/>", "", "", NoSupportedAuth,
         "not using legacy authentication"},
        {"legacy with a digest", EncryptionProtectPassword, kLegacy, "<password/><digest/>", "", "", NoSupportedAuth,
         "not using legacy authentication"},
        {"legacy with a digest, plaintext allowed", EncryptionAllowPlaintext, kLegacy, "<password/><digest/>", "",
         "<digest>", NoError, ""},
        {"required, and no STARTTLS", EncryptionRequired, mechanisms({"SCRAM-SHA-1", "PLAIN"}), "", "", "",
         TlsNotAvailable, "the encryption policy requires TLS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSession s;
        testsupport::LogRecorder log(s.client->logInstance());
        s.client->setEncryptionPolicy(c.policy);
        s.client->setSaslClientNonce("n0");
        s.open();
        s.says(serverHeader() + features(c.features));
        std::string sent = s.sent();
        if (!c.legacyOffer.empty() && sent.find("jabber:iq:auth") != std::string::npos) {
            s.says("<iq type='result' id='uid1'><query xmlns='jabber:iq:auth'><username/><resource/>" + c.legacyOffer +
                   "</query></iq>");
            sent += s.sent();
        }
        if (!c.scramFirst.empty()) {
            s.says("<challenge xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>" + base64Encode(c.scramFirst) + "</challenge>");
            sent += s.sent();
        }
        if (c.mustSend.empty()) {
            // Nothing derived from the password: no SCRAM proof either.
            if (c.scramFirst.empty()) {
                EXPECT_EQ(sent.find("<auth xmlns='urn"), std::string::npos) << sent;
            }
            EXPECT_EQ(sent.find("<response"), std::string::npos) << sent;
            EXPECT_EQ(sent.find("secret"), std::string::npos) << sent;
            EXPECT_EQ(sent.find(base64Encode(std::string("\0user\0secret", 12))), std::string::npos);
        } else {
            EXPECT_NE(sent.find(c.mustSend), std::string::npos) << sent;
        }
        if (c.ending == NoError)
            EXPECT_TRUE(s.listener.disconnects.empty());
        else
            EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{c.ending});
        if (!c.logged.empty()) {
            EXPECT_TRUE(log.contains(c.logged));
        }
    }
}

TEST(EncryptionPolicy, RequiredStillStartsTlsWhenOffered) {
    FakeSession s;
    s.client->setEncryptionPolicy(EncryptionRequired);
    s.open();
    s.says(serverHeader() + features(kStartTls + mechanisms({"PLAIN"})));
    EXPECT_EQ(s.sent(), kStartTls);
    EXPECT_TRUE(s.listener.disconnects.empty());
}

TEST(EncryptionPolicy, RegistrationCarriesThePasswordOnlyWhereAllowed) {
    for (EncryptionPolicy policy : {EncryptionProtectPassword, EncryptionAllowPlaintext}) {
        FakeSession s(std::make_unique<Client>("example.test"));
        s.client->setEncryptionPolicy(policy);
        Registration registration(s.client.get());
        s.open();
        s.says(serverHeader() + features("<register xmlns='http://jabber.org/features/iq-register'/>"));
        ASSERT_TRUE(s.listener.has("connected"));
        s.sent();
        RegistrationFields values;
        values.username = "newuser";
        values.password = "secret";
        registration.registerAccount(RegistrationFieldUsername | RegistrationFieldPassword, values);
        const std::string sent = s.sent();
        if (policy == EncryptionAllowPlaintext) {
            EXPECT_NE(sent.find("<password>secret</password>"), std::string::npos) << sent;
            EXPECT_TRUE(s.listener.disconnects.empty());
        } else {
            EXPECT_EQ(sent.find("secret"), std::string::npos) << sent;
            EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{TlsNotAvailable});
        }
    }
}

// SASL mechanisms send the prepared user name and password; a prohibited
// one ends the session before anything is sent.
TEST(EncryptionPolicy, SaslSendsPreparedCredentials) {
    {
        // Full-width letters, a ligature and a no-break space.
        FakeSession s("user@example.test/r", "\xEF\xBD\x90\xEF\xBD\x81ss\xC2\xA0\xEF\xAC\x81");
        s.open();
        s.says(serverHeader() + features(mechanisms({"PLAIN"})));
        EXPECT_NE(s.sent().find(base64Encode(std::string("\0user\0pass fi", 13))), std::string::npos);
    }
    {
        FakeSession s("user@example.test/r", "bell\x07");
        testsupport::LogRecorder log(s.client->logInstance());
        s.open();
        s.says(serverHeader() + features(mechanisms({"PLAIN", "SCRAM-SHA-1"})));
        EXPECT_EQ(s.sent(), "</stream:stream>");
        EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{AuthenticationFailed});
        EXPECT_TRUE(log.contains("SASLprep prohibits"));
    }
}

// A second connect() on a stream under way changes nothing: what has
// arrived of an element so far stays.
TEST(ClientStream, SecondConnectKeepsAHalfReceivedElement) {
    FakeSession s;
    s.open();
    s.says(serverHeader() + "<stream:features>" + mechanisms({"PLAIN"}));
    EXPECT_TRUE(s.client->connect(false));
    EXPECT_EQ(s.fake->connects, 1);
    s.says("</stream:features>");
    EXPECT_NE(s.sent().find("mechanism='PLAIN'"), std::string::npos);
}

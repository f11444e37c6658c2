// Feature negotiation, SASL, legacy authentication, binding and session
// against the fake transport, compared byte for byte.
#include <gtest/gtest.h>

#include "client/Base64.h"
#include "client/Client.h"
#include "client/MD5.h"
#include "client/SHA.h"
#include "services/RosterManager.h"
#include "support/FakeSession.h"
#include "support/LogRecorder.h"

using namespace tern;
using testsupport::FakeSession;
using testsupport::features;
using testsupport::kBindAndSession;
using testsupport::LogRecorder;
using testsupport::mechanisms;
using testsupport::serverHeader;

namespace {
const std::string kSaslNs = "urn:ietf:params:xml:ns:xmpp-sasl";
const std::string kLegacy = "<auth xmlns='http://jabber.org/features/iq-auth'/>";

std::string authFor(const char* mechanism, const std::string& text = "") {
    return "<auth xmlns='" + kSaslNs + "' mechanism='" + mechanism + "'" + (text.empty() ? "/>" : ">" + text + "</auth>");
}
std::string plainAuth(const std::string& user, const std::string& pass) {
    return authFor("PLAIN", base64Encode(std::string("\0", 1) + user + std::string("\0", 1) + pass));
}
// The character data of the last SASL response sent, decoded.
std::string decodedResponse(const std::string& sent) {
    const std::string open = "<response xmlns='" + kSaslNs + "'>";
    const std::size_t at = sent.find(open);
    if (at == std::string::npos) return "(none)";
    const std::size_t start = at + open.size();
    return base64Decode(sent.substr(start, sent.find('<', start) - start));
}
}  // namespace

TEST(ClientSasl, MechanismChoice) {
    struct Case {
        std::string features;
        int mask;
        std::string expected;
    };
    const Case cases[] = {
        {mechanisms({"PLAIN", "DIGEST-MD5"}), 0xFFFF, authFor("DIGEST-MD5")},
        {mechanisms({"PLAIN", "DIGEST-MD5"}), 0xFFFF & ~SaslDigestMd5, plainAuth("user", "secret")},
        {mechanisms({"X-OAUTH2", "PLAIN"}) + kLegacy, 0xFFFF, plainAuth("user", "secret")},
        {kLegacy, 0xFFFF,
         "<iq to='example.test' id='uid1' type='get'><query xmlns='jabber:iq:auth'><username>user</username>"
         "</query></iq>"},
        {"", 0xFFFF,  // an empty feature list means legacy authentication
         "<iq to='example.test' id='uid1' type='get'><query xmlns='jabber:iq:auth'><username>user</username>"
         "</query></iq>"},
    };
    for (const Case& c : cases) {
        FakeSession s;
        s.client->setSaslMechanisms(c.mask);
        s.open();
        s.says(serverHeader() + features(c.features));
        EXPECT_EQ(s.sent(), c.expected) << c.features;
        EXPECT_TRUE(s.listener.has("event:3"));
    }
}

TEST(ClientSasl, NothingUsableEndsWithNoSupportedAuth) {
    FakeSession s;
    LogRecorder log(s.client->logInstance());
    s.open();
    // Unknown mechanisms alone would count as announcing nothing (legacy).
    s.says(serverHeader() + features(mechanisms({"X-OAUTH2"}) + "<register xmlns='http://jabber.org/features/iq-register'/>"));
    EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{NoSupportedAuth});
    EXPECT_TRUE(log.has(LogError, LogAreaClient, "the server doesn't support any auth mechanisms we know about"));
    EXPECT_EQ(s.sent(), "</stream:stream>");
}

// Without a password only what was asked for: EXTERNAL with a client
// certificate, ANONYMOUS for an address without a user; never a fallback.
TEST(ClientSasl, CredentialFreeMechanisms) {
    {  // client certificates: EXTERNAL with the bare JID
        FakeSession s("user@example.test/r", "");
        s.client->setClientCert("key.pem", "cert.pem");
        s.open();
        s.says(serverHeader() + features(mechanisms({"EXTERNAL", "ANONYMOUS"})));
        EXPECT_EQ(s.sent(), authFor("EXTERNAL", base64Encode("user@example.test")));
    }
    {  // no user and no password: ANONYMOUS
        FakeSession s("example.test/r", "");
        s.open();
        s.says(serverHeader() + features(mechanisms({"PLAIN", "ANONYMOUS"})));
        EXPECT_EQ(s.sent(), authFor("ANONYMOUS", "uid1"));
    }
    {  // a client certificate, and the server offers no EXTERNAL
        FakeSession s("user@example.test/r", "");
        s.client->setClientCert("key.pem", "cert.pem");
        s.open();
        s.says(serverHeader() + features(mechanisms({"PLAIN", "ANONYMOUS"})));
        EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{NoSupportedAuth});
    }
}

TEST(ClientSasl, ClientWithoutCredentialsConnectsAtOnce) {
    FakeSession s(std::make_unique<Client>("example.test"));
    s.open();
    s.says(serverHeader() + features(mechanisms({"PLAIN"}) + "<register xmlns='http://jabber.org/features/iq-register'/>"));
    EXPECT_EQ(s.listener.joined(), "event:8 event:8 connected");
    EXPECT_EQ(s.sent(), "");  // no auth, no presence
    EXPECT_EQ(s.client->streamFeatures() & StreamFeatureIqRegister, StreamFeatureIqRegister);
}

TEST(ClientSasl, FailureRecordsTheConditionAndDisconnects) {
    FakeSession s;
    s.open();
    s.says(serverHeader() + features(mechanisms({"PLAIN"})));
    s.sent();
    s.says("<failure xmlns='" + kSaslNs + "'><not-authorized/><text>bad</text></failure>");
    EXPECT_EQ(s.client->authError(), SaslNotAuthorized);
    EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{AuthenticationFailed});
    EXPECT_EQ(s.sent(), "</stream:stream>");
}

TEST(ClientSasl, DigestMd5MatchesTheRfc2831WorkedExample) {
    // RFC 2831 section 4, with the service name of that example.
    EXPECT_EQ(digestMd5Response("chris", "elwood.innosoft.com", "secret", "OA6MG9tEQGm2hh", "OA6MHXh6VqTrRk",
                                "imap/elwood.innosoft.com"),
              "d388dad90d4bbd760a152321f2143af7");
    EXPECT_EQ(digestMd5Response("chris", "elwood.innosoft.com", "secret", "OA6MG9tEQGm2hh", "OA6MHXh6VqTrRk",
                                "imap/elwood.innosoft.com", true),
              "ea40f60335c427b5527b84dbabcdfffd");  // its rspauth
}

// RFC 2831 2.1.2.1 with charset=utf-8: the user name, realm and password
// each go into the hash in ISO 8859-1 where every character of it fits,
// else as the UTF-8 they are.
TEST(ClientSasl, DigestMd5HashesLatin1WhereItFits) {
    struct Row {
        const char* name;
        std::string user, realm, password;  // UTF-8, as SASLprep gives them
        std::string hashed;                 // the bytes of user:realm:password that the hash takes
    };
    const Row rows[] = {
        {"ASCII unchanged", "chris", "example.test", "secret", "chris:example.test:secret"},
        {"a Latin-1 password", "chris", "example.test", "p\xC3\xA4ssw\xC3\xB6rd", "chris:example.test:p\xE4ssw\xF6rd"},
        {"U+00FF, the last that fits", "chris", "example.test", "\xC3\xBF", "chris:example.test:\xFF"},
        {"U+0100 keeps the password UTF-8", "chris", "example.test", "p\xC3\xA4\xC4\x80",
         "chris:example.test:p\xC3\xA4\xC4\x80"},
        {"a euro sign keeps the password UTF-8", "chris", "example.test", "p\xC3\xA4ssw\xC3\xB6rd\xE2\x82\xAC",
         "chris:example.test:p\xC3\xA4ssw\xC3\xB6rd\xE2\x82\xAC"},
        {"each string on its own", "j\xC3\xBCrgen", "r\xC3\xA9" "alm", "\xCE\xA9-pass",
         "j\xFCrgen:r\xE9" "alm:\xCE\xA9-pass"},
    };
    const std::string nonce = "OA6MG9tEQGm2hh", cnonce = "OA6MHXh6VqTrRk", uri = "xmpp/example.test";
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        MD5 a;
        a.update(r.hashed);
        MD5 ha1;
        ha1.update(a.rawDigest() + ":" + nonce + ":" + cnonce);
        MD5 ha2;
        ha2.update("AUTHENTICATE:" + uri);
        MD5 response;
        response.update(ha1.hexDigest() + ":" + nonce + ":00000001:" + cnonce + ":auth:" + ha2.hexDigest());
        EXPECT_EQ(digestMd5Response(r.user, r.realm, r.password, nonce, cnonce, uri), response.hexDigest());
    }
}

TEST(ClientSasl, DigestMd5Exchange) {
    FakeSession s("chris@elwood.innosoft.com/r", "secret");
    s.client->setSaslClientNonce("OA6MHXh6VqTrRk");
    s.open();
    s.says(serverHeader() + features(mechanisms({"DIGEST-MD5"})));
    EXPECT_EQ(s.sent(), authFor("DIGEST-MD5"));
    s.says("<challenge xmlns='" + kSaslNs + "'>" +
           base64Encode("realm=\"elwood.innosoft.com\",nonce=\"OA6MG9tEQGm2hh\",qop=\"auth\",algorithm=md5-sess,"
                        "charset=utf-8") +
           "</challenge>");
    EXPECT_EQ(decodedResponse(s.sent()),
              "username=\"chris\",realm=\"elwood.innosoft.com\",nonce=\"OA6MG9tEQGm2hh\",cnonce=\"OA6MHXh6VqTrRk\","
              "nc=00000001,qop=auth,digest-uri=\"xmpp/elwood.innosoft.com\",response=" +
                  digestMd5Response("chris", "elwood.innosoft.com", "secret", "OA6MG9tEQGm2hh", "OA6MHXh6VqTrRk",
                                    "xmpp/elwood.innosoft.com") +
                  ",charset=utf-8");
    s.says("<challenge xmlns='" + kSaslNs + "'>" +
           base64Encode("rspauth=" + digestMd5Response("chris", "elwood.innosoft.com", "secret", "OA6MG9tEQGm2hh",
                                                       "OA6MHXh6VqTrRk", "xmpp/elwood.innosoft.com", true)) +
           "</challenge>");
    EXPECT_EQ(s.sent(), "<response xmlns='" + kSaslNs + "'/>");
    s.says("<success xmlns='" + kSaslNs + "'/>");
    EXPECT_TRUE(s.client->authed());
    EXPECT_NE(s.sent().find("<stream:stream to='elwood.innosoft.com'"), std::string::npos);  // restarted
}

TEST(ClientSasl, DigestMd5NonceRealmAndEscapes) {
    {  // no realm: the server part of the JID, in the hash and the text
        FakeSession s("u@example.test/r", "p");
        s.client->setSaslClientNonce("c0ffee");
        s.open();
        s.says(serverHeader() + features(mechanisms({"DIGEST-MD5"})));
        s.sent();
        s.says("<challenge xmlns='" + kSaslNs + "'>" + base64Encode("nonce=\"ab\\\"cd\",qop=\"auth\"") + "</challenge>");
        const std::string r = decodedResponse(s.sent());
        EXPECT_NE(r.find("realm=\"example.test\""), std::string::npos) << r;
        EXPECT_NE(r.find("nonce=\"ab\\\"cd\""), std::string::npos) << r;  // backslashes stay
        EXPECT_NE(r.find("response=" + digestMd5Response("u", "example.test", "p", "ab\\\"cd", "c0ffee",
                                                         "xmpp/example.test")),
                  std::string::npos);
    }
    {  // random client nonces: 32 lowercase hex digits, different every time
        std::set<std::string> seen;
        for (int i = 0; i < 3; ++i) {
            FakeSession s("u@example.test/r", "p");
            s.open();
            s.says(serverHeader() + features(mechanisms({"DIGEST-MD5"})));
            s.sent();
            s.says("<challenge xmlns='" + kSaslNs + "'>" + base64Encode("nonce=\"n\"") + "</challenge>");
            const std::string r = decodedResponse(s.sent());
            const std::size_t at = r.find("cnonce=\"") + 8;
            const std::string cnonce = r.substr(at, r.find('"', at) - at);
            EXPECT_EQ(cnonce.size(), 32u);
            EXPECT_EQ(cnonce.find_first_not_of("0123456789abcdef"), std::string::npos);
            seen.insert(cnonce);
        }
        EXPECT_EQ(seen.size(), 3u);
    }
    {  // no nonce: abort instead of waiting forever
        FakeSession s("u@example.test/r", "p");
        LogRecorder log(s.client->logInstance());
        s.open();
        s.says(serverHeader() + features(mechanisms({"DIGEST-MD5"})));
        s.sent();
        s.says("<challenge xmlns='" + kSaslNs + "'>" + base64Encode("realm=\"x\"") + "</challenge>");
        EXPECT_EQ(s.sent(), "<abort xmlns='" + kSaslNs + "'/></stream:stream>");
        EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{AuthenticationFailed});
        EXPECT_TRUE(log.contains("challenge without a nonce"));
    }
    {  // endless challenges
        FakeSession s("u@example.test/r", "p");
        s.open();
        s.says(serverHeader() + features(mechanisms({"DIGEST-MD5"})));
        for (int i = 0; i < 4; ++i)
            s.says("<challenge xmlns='" + kSaslNs + "'>" + base64Encode("nonce=\"n\"") + "</challenge>");
        EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{AuthenticationFailed});
    }
}

TEST(ClientSasl, StalledNegotiationTimesOut) {
    FakeSession s;
    s.client->setNegotiationTimeout(30);
    s.open();
    s.says(serverHeader() + features(mechanisms({"PLAIN"})));  // auth sent, no answer comes
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_EQ(s.client->receive(1000), NotConnected);
    EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{AuthenticationFailed});
}

TEST(ClientSession, FullLoginInOrder) {
    FakeSession s("user@example.test/res", "secret");
    s.client->setPresence(PresenceAway, 300, "watching");
    s.open();
    s.says(serverHeader() + features(mechanisms({"PLAIN"})));
    EXPECT_EQ(s.sent(), plainAuth("user", "secret"));
    s.says("<success xmlns='" + kSaslNs + "'/>");
    s.sent();
    s.says(serverHeader("s2") + features(kBindAndSession));
    EXPECT_EQ(s.sent(),
              "<iq type='set' id='uid1'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><resource>res</resource>"
              "</bind></iq>");
    s.says("<iq type='result' id='uid1'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><jid>user@example.test/"
           "server-chosen</jid></bind></iq>");
    EXPECT_EQ(s.client->jid().full(), "user@example.test/server-chosen");
    EXPECT_EQ(s.sent(),
              "<iq type='set' id='uid2'><session xmlns='urn:ietf:params:xml:ns:xmpp-session'/></iq>");
    s.says("<iq type='result' id='uid2'/>");
    // The roster requests and the presence go out together, before any answer.
    EXPECT_EQ(s.sent(),
              "<iq id='uid3' type='get'><query xmlns='jabber:iq:private'><roster xmlns='roster:delimiter'/></query>"
              "</iq><iq type='get' id='uid4'><query xmlns='jabber:iq:roster'/></iq>"
              "<presence><show>away</show><status>watching</status><priority>127</priority></presence>");
    EXPECT_FALSE(s.listener.has("connected"));
    s.says("<iq type='result' id='uid4'><query xmlns='jabber:iq:roster'><item jid='a@example.test' "
           "subscription='both'/></query></iq>");
    EXPECT_EQ(s.sent(), "");
    EXPECT_EQ(s.listener.joined(), "event:3 event:5 event:6 event:7 event:8 connected");
    EXPECT_EQ(s.client->rosterManager()->roster().size(), 1u);
    // A second bind offer on the same stream is out of turn.
    s.says(features(kBindAndSession));
    EXPECT_EQ(s.sent(), "<stream:error><policy-violation xmlns='urn:ietf:params:xml:ns:xmpp-streams'/></stream:error>"
                        "</stream:stream>");
}

// The server's form of our address counts (prepared, anonymous, a resource
// of its choosing), but never another domain or another user.
TEST(ClientSession, TheBoundAddressIsTheServers) {
    const struct {
        const char* login;
        const char* bound;
        const char* kept;
    } rows[] = {
        {"User@Example.test/res", "user@example.test/res", "user@example.test/res"},
        {"\xC3\x9C" "ber@example.test/res", "\xC3\xBC" "ber@example.test/r2", "\xC3\xBC" "ber@example.test/r2"},
        {"example.test/res", "a1b2@example.test/r", "a1b2@example.test/r"},
        {"user@example.test/res", "user@evil.example/res", "user@example.test/res"},
        {"user@example.test/res", "admin@example.test/res", "user@example.test/res"},
    };
    for (const auto& r : rows) {
        FakeSession s(r.login, *JID(r.login).username().c_str() ? "secret" : "");
        s.open();
        s.says(serverHeader() + features(mechanisms({"PLAIN", "ANONYMOUS"})));
        s.says("<success xmlns='" + kSaslNs + "'/>");
        s.says(serverHeader("s2") + features("<bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/>"));
        s.says(std::string("<iq type='result' id='") + (*JID(r.login).username().c_str() ? "uid1" : "uid2") +
               "'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><jid>" + r.bound + "</jid></bind></iq>");
        EXPECT_EQ(s.client->jid().full(), r.kept) << r.login;
    }
}

TEST(ClientSession, WithoutRosterOrSessionAndWithFailingRoster) {
    {
        FakeSession s;
        s.client->disableRoster();
        s.open();
        s.says(serverHeader() + features(mechanisms({"PLAIN"})));
        s.says("<success xmlns='" + kSaslNs + "'/>");
        s.says(serverHeader("s2") + features("<bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/>"));
        s.sent();
        s.says("<iq type='result' id='uid1'/>");  // no jid: keeps its own
        EXPECT_EQ(s.client->jid().full(), "user@example.test/res");
        EXPECT_EQ(s.sent(), "<presence><priority>0</priority></presence>");
        EXPECT_EQ(s.listener.joined(), "event:3 event:5 event:8 connected");
    }
    {  // a roster error still finishes the login
        FakeSession s;
        s.open();
        s.says(serverHeader() + features(mechanisms({"PLAIN"})));
        s.says("<success xmlns='" + kSaslNs + "'/>");
        s.says(serverHeader("s2") + features("<bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/>"));
        s.says("<iq type='result' id='uid1'/>");
        s.sent();
        s.says("<iq type='error' id='uid3'><error type='cancel'><service-unavailable "
               "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>");
        EXPECT_TRUE(s.listener.has("connected"));
    }
}

TEST(ClientSession, BindAndSessionErrors) {
    auto reach = [](FakeSession& s, const std::string& features) {
        s.open();
        s.says(serverHeader() + testsupport::features(mechanisms({"PLAIN"})));
        s.says("<success xmlns='" + kSaslNs + "'/>");
        s.says(serverHeader("s2") + testsupport::features(features));
        s.sent();
    };
    const std::pair<std::string, std::string> bindCases[] = {
        {"<error type='modify'><bad-request xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error>", "bind-error:1"},
        {"<error type='cancel'><not-allowed xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error>", "bind-error:2"},
        {"<error type='cancel'><conflict xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error>", "bind-error:3"},
        {"<error type='wait'><conflict xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error>", "bind-error:0"},
        {"<error type='cancel'><conflict/></error>", "bind-error:0"},
    };
    for (const auto& c : bindCases) {
        FakeSession s;
        reach(s, kBindAndSession);
        s.says("<iq type='error' id='uid1'>" + c.first + "</iq>");
        EXPECT_TRUE(s.listener.has(c.second)) << c.first << s.listener.joined();
        EXPECT_TRUE(s.listener.disconnects.empty());  // the stream stays open
    }
    const std::pair<std::string, std::string> sessionCases[] = {
        {"<error type='wait'><internal-server-error xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error>",
         "session-error:1"},
        {"<error type='auth'><forbidden xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error>", "session-error:2"},
        {"<error type='cancel'><conflict xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error>", "session-error:3"},
        {"<error type='cancel'><forbidden xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error>", "session-error:0"},
    };
    for (const auto& c : sessionCases) {
        FakeSession s;
        reach(s, kBindAndSession);
        s.says("<iq type='result' id='uid1'/>");
        s.says("<iq type='error' id='uid2'>" + c.first + "</iq>");
        EXPECT_TRUE(s.listener.has(c.second)) << c.first;
    }
}

TEST(ClientSession, TlsPolicies) {
    const std::string starttls = "<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>";
    {  // required, but the server offers no STARTTLS
        FakeSession s;
        LogRecorder log(s.client->logInstance());
        s.client->setTlsPolicy(TlsRequired);
        s.open();
        s.says(serverHeader() + features(mechanisms({"PLAIN"})));
        EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{TlsNotAvailable});
        EXPECT_TRUE(log.has(LogError, LogAreaClient,
                            "Client is configured to require TLS but either the server didn't offer TLS or TLS "
                            "support is not compiled in."));
    }
    for (TlsPolicy policy : {TlsOptional, TlsRequired}) {  // offered: STARTTLS before anything else
        FakeSession s;
        s.client->setTlsPolicy(policy);
        s.open();
        s.says(serverHeader() + features(starttls + mechanisms({"PLAIN"})));
        EXPECT_EQ(s.sent(), starttls);
        EXPECT_TRUE(s.listener.has("event:1"));
        s.says("<failure xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>");
        EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{TlsFailed});
        EXPECT_EQ(s.sent(), "");  // no stream close after a TLS failure
    }
    {  // disabled, against a server that requires TLS and offers nothing else yet
        FakeSession s;
        LogRecorder log(s.client->logInstance());
        s.client->setTlsPolicy(TlsDisabled);
        s.open();
        s.says(serverHeader() + features("<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'><required/></starttls>"));
        EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{NoSupportedAuth});
        EXPECT_TRUE(log.has(LogError, LogAreaClient, "the server doesn't support any auth mechanisms we know about"));
    }
}

TEST(ClientSession, PresenceSettings) {
    FakeSession s;
    s.login();
    s.client->setPresence(PresenceDnd, -300, "");
    EXPECT_EQ(s.sent(), "<presence><show>dnd</show><priority>-128</priority></presence>");
    s.client->setPresence(0, 5, "x");
    EXPECT_EQ(s.sent(), "");
    s.client->sendPresence();
    EXPECT_EQ(s.sent(), "");
}

TEST(ClientLegacy, DigestOrPasswordAndErrors) {
    auto legacy = [](FakeSession& s, const std::string& id, const std::string& offer) {
        s.open();
        s.says(serverHeader(id) + features(kLegacy));
        EXPECT_EQ(s.sent(),
                  "<iq to='example.test' id='uid1' type='get'><query xmlns='jabber:iq:auth'><username>user</username>"
                  "</query></iq>");
        s.says("<iq type='result' id='uid1'><query xmlns='jabber:iq:auth'><username/><resource/>" + offer +
               "</query></iq>");
        return s.sent();
    };
    {
        FakeSession s;
        SHA sha;
        sha.update("s1secret");
        EXPECT_EQ(legacy(s, "s1", "<password/><digest/>"),
                  "<iq id='uid2' type='set'><query xmlns='jabber:iq:auth'><username>user</username><resource>res"
                  "</resource><digest>" + sha.hexDigest() + "</digest></query></iq>");
        s.says("<iq type='result' id='uid2'/>");
        EXPECT_TRUE(s.client->authed());
        EXPECT_TRUE(s.listener.has("event:7"));  // on to the roster
    }
    {
        FakeSession s;
        EXPECT_EQ(legacy(s, "s1", "<password/>"),
                  "<iq id='uid2' type='set'><query xmlns='jabber:iq:auth'><username>user</username><resource>res"
                  "</resource><password>secret</password></query></iq>");
    }
    {  // an empty stream id: the password in clear
        FakeSession s;
        EXPECT_NE(legacy(s, "", "<digest/>").find("<password>secret</password>"), std::string::npos);
    }
    {  // a bare code 401: recorded after the listeners heard of the failure
        FakeSession s;
        struct Peek : NetworkListener {
            Client* c = nullptr;
            int atNotification = -1;
            void handleConnected() override {}
            void handleDisconnected(ConnectionError) override { atNotification = c->authError(); }
            bool handleTlsConnected(const CertificateInfo&) override { return true; }
        } peek;
        peek.c = s.client.get();
        s.client->addNetworkListener(&peek);
        legacy(s, "s1", "<password/>");
        s.says("<iq type='error' id='uid2'><error code='401'/></iq>");
        EXPECT_EQ(s.listener.disconnects, std::vector<ConnectionError>{AuthenticationFailed});
        EXPECT_EQ(peek.atNotification, AuthErrorUndefined);
        EXPECT_EQ(s.client->authError(), NonSaslNotAuthorized);
    }
    {
        FakeSession s;
        legacy(s, "s1", "<password/>");
        s.says("<iq type='error' id='uid2'><error type='cancel'><conflict/></error></iq>");
        EXPECT_EQ(s.client->authError(), NonSaslConflict);
    }
}

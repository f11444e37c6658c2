// Discovery and version answers, the roster and private storage, over a
// logged-in client on the fake transport.
#include <gtest/gtest.h>

#include "client/Client.h"
#include "services/PrivateXML.h"
#include "services/RosterManager.h"
#include "services/ServiceDiscovery.h"
#include "support/FakeSession.h"

using namespace tern;
using testsupport::FakeSession;

TEST(Discovery, VersionAnswersBeforeAndAfterSetVersion) {
    FakeSession s;
    s.login();
    s.says("<iq type='get' id='v1' from='peer@example.test/p'><query xmlns='jabber:iq:version'/></iq>");
    EXPECT_EQ(s.sent(),
              "<iq id='v1' from='user@example.test/res' to='peer@example.test/p' type='result'><query "
              "xmlns='jabber:iq:version'><name>based on xmpp</name><version>1.0.0000a</version><os/></query></iq>");
    s.client->disco()->setVersion("ZaroVezid", "1.0.0000a", "Windows");
    s.says("<iq type='get' id='v2' from='peer@example.test/p'><query xmlns='jabber:iq:version'/></iq>");
    EXPECT_EQ(s.sent(),
              "<iq id='v2' from='user@example.test/res' to='peer@example.test/p' type='result'><query "
              "xmlns='jabber:iq:version'><name>ZaroVezid</name><version>1.0.0000a</version><os>Windows</os></query>"
              "</iq>");
}

TEST(Discovery, InfoAndItemsAnswers) {
    FakeSession s;
    s.login();
    s.says("<iq type='get' id='i1' from='peer@example.test/p'><query "
           "xmlns='http://jabber.org/protocol/disco#info'/></iq>");
    EXPECT_EQ(s.sent(),
              "<iq id='i1' from='user@example.test/res' to='peer@example.test/p' type='result'><query "
              "xmlns='http://jabber.org/protocol/disco#info'><identity category='client' type='bot' name='based on "
              "xmpp'/><feature var='jabber:iq:version'/><feature var='http://jabber.org/protocol/disco#info'/>"
              "<feature var='http://jabber.org/protocol/disco#items'/><feature var='urn:xmpp:ping'/></query></iq>");
    s.says("<iq type='get' id='i2' from='peer@example.test/p'><query xmlns='http://jabber.org/protocol/disco#info' "
           "node='x'/></iq>");
    EXPECT_EQ(s.sent(),
              "<iq id='i2' from='user@example.test/res' to='peer@example.test/p' type='result'><query "
              "xmlns='http://jabber.org/protocol/disco#info' node='x'><feature "
              "var='http://jabber.org/protocol/disco#info'/></query></iq>");
    s.says("<iq type='get' id='i3' from='peer@example.test/p'><query "
           "xmlns='http://jabber.org/protocol/disco#items'/></iq>");
    EXPECT_EQ(s.sent(),
              "<iq id='i3' to='peer@example.test/p' from='user@example.test/res' type='result'><query "
              "xmlns='http://jabber.org/protocol/disco#items'/></iq>");
    // An info request without query: handled, unanswered, and no error either.
    s.says("<iq type='get' id='i4' from='peer@example.test/p'><other "
           "xmlns='http://jabber.org/protocol/disco#info'/></iq>");
    EXPECT_EQ(s.sent(), "");
    // A set with no set handler: the engine's error.
    s.says("<iq type='set' id='i5' from='peer@example.test/p'><query "
           "xmlns='http://jabber.org/protocol/disco#info'/></iq>");
    EXPECT_NE(s.sent().find("<service-unavailable"), std::string::npos);
}

TEST(Discovery, NodeHandlersAndQueries) {
    FakeSession s;
    s.login();
    struct Node : ServiceDiscoveryNodeHandler {
        StringList nodeFeatures(const std::string&) override { return {"urn:f"}; }
        IdentityMap nodeIdentities(const std::string&, std::string& name) override {
            name = "N";
            return {{"automation", "command-list"}};
        }
        DiscoItemList nodeItems(const std::string&) override { return {{"n1", "", "first"}, {"", "x@y", ""}}; }
    } node;
    s.client->disco()->addNodeHandler(&node, "cmds");
    s.says("<iq type='get' id='n1' from='p@example.test/p'><query xmlns='http://jabber.org/protocol/disco#info' "
           "node='cmds'/></iq>");
    EXPECT_NE(s.sent().find("<identity category='automation' type='command-list' name='N'/><feature var='urn:f'/>"),
              std::string::npos);
    s.says("<iq type='get' id='n2' from='p@example.test/p'><query xmlns='http://jabber.org/protocol/disco#items' "
           "node='cmds'/></iq>");
    EXPECT_NE(s.sent().find("<item jid='user@example.test/res' node='n1' name='first'/><item jid='x@y'/>"),
              std::string::npos);
    s.client->disco()->removeNodeHandler(&node, "cmds");

    struct Asker : ServiceDiscoveryHandler {
        std::vector<std::string> got;
        void onDiscoInfoResult(Stanza* st, int c) override { got.push_back("info:" + st->id() + ":" + std::to_string(c)); }
        void onDiscoItemsResult(Stanza* st, int c) override { got.push_back("items:" + st->id() + ":" + std::to_string(c)); }
        void onDiscoError(Stanza* st, int c) override { got.push_back("error:" + st->id() + ":" + std::to_string(c)); }
    } asker;
    const std::string a = s.client->disco()->requestInfo(JID("room@conf.example.test"), "", &asker, 5);
    EXPECT_EQ(s.sent(), "<iq type='get' id='" + a + "' to='room@conf.example.test'><query "
                        "xmlns='http://jabber.org/protocol/disco#info'/></iq>");
    const std::string b = s.client->disco()->requestItems(JID("room@conf.example.test"), "n", &asker, 6);
    s.sent();
    // Only the room answers for the room; a guessed id from anyone else is
    // an unsolicited stanza and leaves the request open.
    const std::string room = "' from='room@conf.example.test'/>";
    s.says("<iq type='result' id='" + a + "' from='mallory@example.test/x'/><iq type='result' id='" + b + room +
           "<iq type='error' id='" + a + room + "<iq type='result' id='" + a + room);
    EXPECT_EQ(asker.got, (std::vector<std::string>{"items:" + b + ":6", "error:" + a + ":5"}));
}

TEST(Roster, PushesMergeAndAreAnswered) {
    FakeSession s;
    s.login();
    RosterManager* r = s.client->rosterManager();
    s.says("<iq type='set' id='push1'><query xmlns='jabber:iq:roster'><item jid='nurse@example.com/x' name='Nurse' "
           "subscription='none' ask='subscribe'><group>Friends</group><group>Family</group><note>extra</note></item>"
           "<bogus jid='ignored@example.com'/></query></iq>");
    EXPECT_EQ(s.sent(), "<iq id='push1' type='result'/>");
    ASSERT_NE(r->item("nurse@example.com"), nullptr);
    EXPECT_EQ(r->item("nurse@example.com")->subscription(), SubscriptionNoneAsked);
    EXPECT_EQ(r->item("nurse@example.com")->groups(), (StringList{"Friends", "Family", "extra"}));
    EXPECT_FALSE(r->item("nurse@example.com")->changed());
    EXPECT_EQ(r->item("ignored@example.com"), nullptr);

    s.says("<iq type='set' id='push2'><query xmlns='jabber:iq:roster'><item jid='nurse@example.com' "
           "subscription='both' name='N2'/></query></iq>");
    EXPECT_EQ(r->item("nurse@example.com")->subscription(), SubscriptionBoth);
    EXPECT_EQ(r->item("nurse@example.com")->name(), "N2");
    EXPECT_TRUE(r->item("nurse@example.com")->groups().empty());

    s.says("<iq type='set' id='push3'><query xmlns='jabber:iq:roster'><item jid='nurse@example.com' "
           "subscription='remove'/><item jid='stranger@example.com' subscription='remove'/></query></iq>");
    EXPECT_EQ(r->item("nurse@example.com"), nullptr);
    EXPECT_EQ(r->roster().size(), 0u);
}

TEST(Roster, PresenceOfContactsAndOwnResources) {
    FakeSession s;
    s.login();
    RosterManager* r = s.client->rosterManager();
    s.says("<iq type='set' id='p'><query xmlns='jabber:iq:roster'><item jid='a@example.test' subscription='both'/>"
           "</query></iq>");
    s.says("<presence from='a@example.test/phone'><show>away</show><status>out</status><priority>3</priority>"
           "</presence>");
    const Resource* phone = r->item("a@example.test")->resource("phone");
    ASSERT_NE(phone, nullptr);
    EXPECT_EQ(phone->presence(), PresenceAway);
    EXPECT_EQ(phone->message(), "out");
    EXPECT_EQ(phone->priority(), 3);
    s.says("<presence from='a@example.test/other' type='unavailable'/>");
    EXPECT_EQ(r->item("a@example.test")->resources().size(), 1u);
    s.says("<presence from='a@example.test/phone' type='unavailable'/>");
    EXPECT_FALSE(r->item("a@example.test")->online());

    s.says("<presence from='user@example.test/desktop'/>");
    EXPECT_NE(r->self()->resource("desktop"), nullptr);
    s.says("<presence from='stranger@example.test/x'/><presence from='a@example.test/e' type='error'/>");
    EXPECT_FALSE(r->item("a@example.test")->online());

    RosterItem item(JID("b@example.test/r"), "B");
    EXPECT_EQ(item.jid(), "b@example.test");
    item.setStatus("new", "hi");
    EXPECT_EQ(item.resource("new")->presence(), PresenceShowUnavailable);
    item.setPriority("other", 9);
    EXPECT_EQ(item.resource("other")->presence(), PresenceShowUnavailable);
    item.setSubscription("bogus", true);
    EXPECT_EQ(item.subscription(), SubscriptionNone);
    item.setSubscription("to", false);
    EXPECT_EQ(item.subscription(), SubscriptionTo);
    item.setSubscription("from", true);
    EXPECT_EQ(item.subscription(), SubscriptionFromAsked);
}

TEST(PrivateStorage, AnswersReachTheRightHandler) {
    FakeSession s;
    s.login();
    // The roster manager read the delimiter during login: give it one now.
    EXPECT_EQ(s.client->rosterManager()->delimiter(), "");
    struct Reader : PrivateXMLHandler {
        std::vector<std::string> got;
        void onPrivateXml(const std::string& tag, const XmlTag* e) override { got.push_back(tag + "=" + e->text()); }
        void onPrivateXmlResult(const std::string& id, PrivateXmlResult r) override {
            got.push_back(id + ":" + std::to_string(r));
        }
    } reader;
    PrivateXML storage(s.client.get());
    const std::string a = storage.requestXml("roster", "roster:delimiter", &reader);
    const std::string b = storage.requestXml("prefs", "urn:prefs", &reader);
    EXPECT_EQ(s.sent(), "<iq id='" + a + "' type='get'><query xmlns='jabber:iq:private'><roster "
                        "xmlns='roster:delimiter'/></query></iq><iq id='" + b + "' type='get'><query "
                        "xmlns='jabber:iq:private'><prefs xmlns='urn:prefs'/></query></iq>");
    s.says("<iq type='error' id='" + b + "'/>");
    s.says("<iq type='result' id='" + a + "'><query xmlns='jabber:iq:private'><roster "
           "xmlns='roster:delimiter'>::</roster></query></iq>");
    s.says("<iq type='result' id='never-asked'><query xmlns='jabber:iq:private'/></iq>");
    EXPECT_EQ(reader.got, (std::vector<std::string>{b + ":2", "roster=::"}));

    XmlTag element("prefs", "dark");
    element.setAttribute("xmlns", "urn:prefs");
    const std::string c = storage.storeXml(element, &reader);
    EXPECT_NE(s.sent().find("type='set'><query xmlns='jabber:iq:private'><prefs xmlns='urn:prefs'>dark</prefs>"),
              std::string::npos);
    s.says("<iq type='result' id='" + c + "'/>");
    EXPECT_EQ(reader.got.back(), c + ":0");

    // The login's own delimiter request, answered late.
    s.says("<iq type='result' id='uid3'><query xmlns='jabber:iq:private'><roster xmlns='roster:delimiter'>/</roster>"
           "</query></iq>");
    EXPECT_EQ(s.client->rosterManager()->delimiter(), "/");
}

// Only the account itself or the stream (no from) may push.
TEST(Roster, PushesFromOthersAreIgnored) {
    const struct {
        const char* from;
        bool accepted;
    } cases[] = {{"", true},
                 {" from='user@example.test'", true},
                 {" from='example.test'", false},
                 {" from='mallory@example.test'", false},
                 {" from='user@example.test/other'", false},
                 {" from='evil.test'", false}};
    for (const auto& c : cases) {
        FakeSession s;
        s.login();
        s.says(std::string("<iq type='set' id='push'") + c.from +
               "><query xmlns='jabber:iq:roster'><item jid='contact@example.com' subscription='both'/></query></iq>");
        EXPECT_EQ(s.client->rosterManager()->item("contact@example.com") != nullptr, c.accepted) << c.from;
        EXPECT_EQ(s.sent(), c.accepted ? "<iq id='push' type='result'/>" : "") << c.from;
    }
}

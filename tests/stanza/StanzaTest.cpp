#include <gtest/gtest.h>

#include <memory>

#include "stanza/Constants.h"
#include "stanza/Stanza.h"
#include "support/Corpus.h"

using namespace tern;
using testsupport::parseStanzas;

namespace {
std::unique_ptr<Stanza> stanza(const std::string& xml) {
    auto all = parseStanzas(xml);
    EXPECT_EQ(all.size(), 1u);
    return std::move(all.front());
}
}  // namespace

TEST(StanzaKinds, EveryTypeAttributeMapsBothWays) {
    struct Case {
        const char* name;
        const char* type;  // null: no type attribute
        StanzaKind kind;
        StanzaSubtype subtype;
    };
    const Case cases[] = {
        {"iq", "get", KindIq, IqGet},
        {"iq", "set", KindIq, IqSet},
        {"iq", "result", KindIq, IqResult},
        {"iq", "error", KindIq, IqError},
        {"iq", "bogus", KindIq, StanzaSubUndefined},
        {"iq", nullptr, KindIq, StanzaSubUndefined},
        {"presence", nullptr, KindPresence, PresenceAvailable},
        {"presence", "unavailable", KindPresence, PresenceUnavailable},
        {"presence", "probe", KindPresence, PresenceProbe},
        {"presence", "error", KindPresence, PresenceError},
        {"presence", "invisible", KindPresence, StanzaSubUndefined},
        {"presence", "subscribe", KindSubscription, Subscribe},
        {"presence", "subscribed", KindSubscription, Subscribed},
        {"presence", "unsubscribe", KindSubscription, Unsubscribe},
        {"presence", "unsubscribed", KindSubscription, Unsubscribed},
        {"message", "chat", KindMessage, MessageChat},
        {"message", "error", KindMessage, MessageError},
        {"message", "groupchat", KindMessage, MessageGroupchat},
        {"message", "headline", KindMessage, MessageHeadline},
        {"message", "normal", KindMessage, MessageNormal},
        {"message", "other", KindMessage, MessageNormal},
        {"message", nullptr, KindMessage, MessageNormal},
        {"stream:features", nullptr, KindUndefined, StanzaSubUndefined},
    };
    for (const Case& c : cases) {
        const std::string xml = std::string("<") + c.name + (c.type ? std::string(" type='") + c.type + "'" : "") + "/>";
        auto s = stanza(xml);
        EXPECT_EQ(s->kind(), c.kind) << xml;
        EXPECT_EQ(s->subtype(), c.subtype) << xml;
    }
    // Typed to wire: the iq factory writes each subtype's text.
    const std::pair<int, const char*> iqTypes[] = {
        {IqGet, "get"}, {IqSet, "set"}, {IqResult, "result"}, {IqError, "error"}, {0, "get"}, {999, "get"}};
    for (const auto& t : iqTypes) {
        std::unique_ptr<Stanza> iq(Stanza::buildIq(JID(), "", t.first, ""));
        EXPECT_EQ(iq->getAttribute("type"), t.second);
        auto back = stanza(iq->serialize());
        EXPECT_EQ(back->subtype(), t.first == IqSet || t.first == IqResult || t.first == IqError ? t.first : IqGet);
    }
}

TEST(StanzaPresence, ShowValuesMapBothWays) {
    const std::pair<int, const char*> shows[] = {
        {PresenceChat, "chat"}, {PresenceAway, "away"}, {PresenceDnd, "dnd"}, {PresenceXa, "xa"}};
    for (const auto& s : shows) {
        std::unique_ptr<Stanza> p(Stanza::buildPresence(JID("room@conf/nick"), "", s.first));
        EXPECT_EQ(p->serialize(), std::string("<presence to='room@conf/nick'><show>") + s.second + "</show></presence>");
        EXPECT_EQ(p->show(), s.first);
        EXPECT_EQ(stanza(p->serialize())->show(), s.first);
    }
    std::unique_ptr<Stanza> unavailable(Stanza::buildPresence(JID(), "bye", PresenceShowUnavailable, "en"));
    EXPECT_EQ(unavailable->serialize(), "<presence type='unavailable'><status xml:lang='en'>bye</status></presence>");
    EXPECT_EQ(unavailable->show(), PresenceShowUnavailable);
    EXPECT_EQ(unavailable->status("en"), "bye");
    for (int plain : {0, 1, 17}) {
        std::unique_ptr<Stanza> p(Stanza::buildPresence(JID(), "", plain));
        EXPECT_EQ(p->serialize(), "<presence/>");
        EXPECT_EQ(p->show(), PresenceShowAvailable);
    }
    EXPECT_EQ(stanza("<presence><show>bogus</show></presence>")->show(), PresenceShowAvailable);
    EXPECT_EQ(stanza("<presence type='unavailable'><show>bogus</show></presence>")->show(), PresenceShowUnavailable);
    EXPECT_EQ(stanza("<presence type='probe'/>")->show(), PresenceUnknown);
}

TEST(StanzaPresence, PriorityIsClampedToTheEightBitRange) {
    EXPECT_EQ(stanza("<presence><priority>5</priority></presence>")->priority(), 5);
    EXPECT_EQ(stanza("<presence><priority>abc</priority></presence>")->priority(), 0);
    EXPECT_EQ(stanza("<presence/>")->priority(), Stanza::kNoPriority);
    EXPECT_EQ(stanza("<presence><priority> -7 </priority></presence>")->priority(), -7);
    EXPECT_EQ(stanza("<presence><priority>99999999999999999999999</priority></presence>")->priority(), 127);
    EXPECT_EQ(stanza("<presence><priority>-200</priority></presence>")->priority(), -128);
    // Subscription stanzas carry no priority.
    EXPECT_EQ(stanza("<presence type='subscribed'><priority>3</priority></presence>")->priority(), Stanza::kNoPriority);
}

TEST(StanzaErrors, EveryConditionAndTypeMapsBothWays) {
    for (int c = StanzaErrorBadRequest; c <= StanzaErrorUnexpectedRequest; ++c) {
        const auto condition = static_cast<StanzaError>(c);
        const std::string text = stanzaErrorText(condition);
        if (c == 12) {
            EXPECT_EQ(text, "");
            continue;
        }
        ASSERT_FALSE(text.empty()) << c;
        EXPECT_EQ(stanzaErrorFromText(text), condition);
        for (int t = StanzaErrorTypeCancel; t <= StanzaErrorTypeWait; ++t) {
            const auto type = static_cast<StanzaErrorType>(t);
            auto s = stanza("<iq type='error' id='1'><error type='" + std::string(stanzaErrorTypeText(type)) + "'><" +
                            text + " xmlns='" + XMPP_XMLNS_XMPP_STANZAS + "'/></error></iq>");
            EXPECT_EQ(s->errorCondition(), condition) << text;
            EXPECT_EQ(s->errorType(), type);
            EXPECT_EQ(s->errorAppCondition(), nullptr);
        }
    }
    EXPECT_EQ(stanzaErrorFromText("no-such-condition"), StanzaErrorUndefined);
    EXPECT_EQ(stanzaErrorFromText(""), StanzaErrorUndefined);
    EXPECT_EQ(stanzaErrorText(static_cast<StanzaError>(99)), std::string());
}

TEST(StanzaErrors, NamespaceTextsAndApplicationConditions) {
    auto s = stanza("<message type='error'><error type='cancel'><item-not-found xmlns='" + XMPP_XMLNS_XMPP_STANZAS +
                    "'/><text xmlns='" + XMPP_XMLNS_XMPP_STANZAS + "'>gone</text><mine xmlns='x:y'/></error></message>");
    EXPECT_EQ(s->errorCondition(), StanzaErrorItemNotFound);
    EXPECT_EQ(s->errorText(), "gone");
    ASSERT_NE(s->errorAppCondition(), nullptr);
    EXPECT_EQ(s->errorAppCondition()->name(), "mine");
    EXPECT_EQ(stanza("<iq type='error'><error type='cancel'><item-not-found/></error></iq>")->errorCondition(),
              StanzaErrorUndefined);
    // Error data are read only from stanzas of type error.
    EXPECT_EQ(stanza("<iq type='result'><error type='cancel'><conflict xmlns='" + XMPP_XMLNS_XMPP_STANZAS +
                     "'/></error></iq>")->errorCondition(),
              StanzaErrorUndefined);
}

TEST(StanzaMessage, BodiesByLanguageThreadAndPayloadNamespace) {
    auto m = stanza("<message><body>plain</body><body xml:lang='en'>english</body><thread>t1</thread></message>");
    EXPECT_EQ(m->subtype(), MessageNormal);
    EXPECT_EQ(m->body(), "plain");
    EXPECT_EQ(m->body("default"), "plain");
    EXPECT_EQ(m->body("en"), "english");
    EXPECT_EQ(m->body("de"), "");
    EXPECT_EQ(m->thread(), "t1");
    auto iq = stanza("<iq type='get'><first/><query xmlns='jabber:iq:roster'/></iq>");
    EXPECT_EQ(iq->payloadNamespace(), "jabber:iq:roster");
}

TEST(StanzaBuild, IqShapesAndOwnership) {
    std::unique_ptr<Stanza> iq(Stanza::buildIq(JID("a@b/c"), "uid1", IqSet, "jabber:iq:roster",
                                               new XmlTag("item", "x")));
    EXPECT_EQ(iq->serialize(), "<iq type='set' to='a@b/c' id='uid1'><query xmlns='jabber:iq:roster'><item>x</item></query></iq>");
    EXPECT_EQ(iq->kind(), KindIq);
    EXPECT_EQ(iq->payloadNamespace(), "jabber:iq:roster");
    EXPECT_EQ(iq->to().full(), "a@b/c");
    std::unique_ptr<Stanza> bare(Stanza::buildIq(JID(), "", IqGet, ""));
    EXPECT_EQ(bare->serialize(), "<iq type='get'/>");
}

TEST(StanzaCopy, CopyLeavesTheSourceAndAdoptTakesItsContent) {
    auto e = testsupport::parseElement("<message from='a@b/c' type='chat'><body>&lt;hi&gt;</body></message>");
    Stanza copy(e.get());
    EXPECT_EQ(e->children().size(), 1u);
    EXPECT_FALSE(copy.fromWire());
    EXPECT_EQ(copy.body(), "<hi>");
    std::unique_ptr<Stanza> adopted(Stanza::adopt(*e));
    EXPECT_TRUE(e->children().empty());
    EXPECT_EQ(adopted->serialize(), copy.serialize());
    EXPECT_EQ(adopted->children()[0]->parent(), adopted.get());
    EXPECT_EQ(adopted->from().full(), "a@b/c");
    // Parsing again does not pile up what was parsed before.
    adopted->parseFields();
    EXPECT_EQ(adopted->bodies().size(), 1u);
}

// A stanza done with keeps its content for the parser to refill only when it
// is small: an idle session must not hold the last big one.
TEST(StanzaReuse, OnlySmallContentIsKept) {
    const std::string big(300, 'v');
    const struct {
        std::string xml;
        bool kept;
    } cases[] = {
        {"<message from='r@c/n'><body>hi</body><x xmlns='a'/></message>", true},
        {"<message big='" + big + "'><body>hi</body></message>", false},
        {"<message><body k='" + big + "'>hi</body></message>", false},
        {"<message><body>" + big + "</body></message>", false},
        {"<message><x><item/></x></message>", false},
        {"<message><a/><a/><a/><a/><a/><a/><a/><a/><a/></message>", false},
    };
    for (const auto& c : cases) {
        auto s = stanza(c.xml);
        s->recycle();
        EXPECT_EQ(!s->attributes().empty() || !s->children().empty(), c.kept) << c.xml;
    }
}

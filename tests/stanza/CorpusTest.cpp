// Stanzas as servers and clients send them, through the real parser.
#include <gtest/gtest.h>

#include <dirent.h>

#include "stanza/Constants.h"
#include "stanza/DelayedDelivery.h"
#include "stanza/OOB.h"
#include "stanza/XTagSigned.h"
#include "stanza/XmlDataForm.h"
#include "support/Corpus.h"

using namespace tern;
using testsupport::dataFile;
using testsupport::parseStanzas;

TEST(Corpus, RoomPresences) {
    auto p = parseStanzas(dataFile("stanzas/muc-presences.xml"));
    ASSERT_EQ(p.size(), 11u);

    EXPECT_EQ(p[0]->kind(), KindPresence);
    EXPECT_EQ(p[0]->subtype(), PresenceAvailable);
    EXPECT_EQ(p[0]->show(), PresenceShowAvailable);
    EXPECT_EQ(p[0]->from().bare(), "coven@chat.shakespeare.lit");
    EXPECT_EQ(p[0]->from().resource(), "firstwitch");
    EXPECT_EQ(p[0]->id(), "3DCB0401-D7CF-4E31-BE05-EDF8D057BFBD");
    const XmlTag* x = p[0]->firstChild("x", "xmlns", XMPP_XMLNS_MUC_USER);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->firstChild("item")->getAttribute("role"), "moderator");
    EXPECT_TRUE(p[0]->extensions().empty());

    EXPECT_EQ(p[1]->firstChild("x")->childrenNamed("status").size(), 3u);

    EXPECT_EQ(p[2]->show(), PresenceAway);
    EXPECT_EQ(p[2]->status(), "gone where the goblins go");
    EXPECT_EQ(p[2]->priority(), 5);
    EXPECT_EQ(p[2]->firstChild("x")->firstChild("item")->getAttribute("tc"), "3");

    EXPECT_EQ(p[3]->subtype(), PresenceUnavailable);
    EXPECT_EQ(p[3]->show(), PresenceShowUnavailable);
    EXPECT_EQ(p[3]->firstChild("x")->firstChild("item")->getAttribute("nick"), "oldhag");

    EXPECT_EQ(p[4]->firstChild("x")->firstChild("item")->firstChild("reason")->text(), "Avaunt, you cullion!");
    EXPECT_EQ(p[6]->firstChild("x")->firstChild("destroy")->getAttribute("jid"), "coven@chat.shakespeare.lit");

    EXPECT_EQ(p[7]->subtype(), PresenceError);
    EXPECT_EQ(p[7]->errorCondition(), StanzaErrorConflict);
    EXPECT_EQ(p[7]->errorType(), StanzaErrorTypeCancel);
    EXPECT_EQ(p[8]->errorCondition(), StanzaErrorRegistrationRequired);
    EXPECT_EQ(p[8]->errorType(), StanzaErrorTypeAuth);
    EXPECT_EQ(p[8]->errorText("en"), "Members only");
    EXPECT_EQ(p[8]->errorText(), "");

    EXPECT_EQ(p[9]->kind(), KindSubscription);
    EXPECT_EQ(p[9]->subtype(), Subscribed);
    EXPECT_EQ(p[9]->show(), PresenceUnknown);
    EXPECT_EQ(p[9]->priority(), Stanza::kNoPriority);
    EXPECT_EQ(p[9]->status(), "welcome");

    EXPECT_EQ(p[10]->show(), PresenceDnd);
    EXPECT_EQ(p[10]->xmlLang(), "en");
    EXPECT_EQ(p[10]->status("cs"), "Dvořím se Julii");
    EXPECT_EQ(p[10]->priority(), 127);
    ASSERT_EQ(p[10]->extensions().size(), 1u);
    auto* signedPayload = static_cast<const XTagSigned*>(p[10]->extension(ExtXTagSigned));
    ASSERT_NE(signedPayload, nullptr);
    EXPECT_TRUE(signedPayload->valid());
    EXPECT_EQ(signedPayload->payload(), "iQEVAwUBOjl0AElF1QqQGsEHAQIGcQf9F");
}

TEST(Corpus, Messages) {
    auto m = parseStanzas(dataFile("stanzas/messages.xml"));
    ASSERT_EQ(m.size(), 8u);

    EXPECT_EQ(m[0]->subtype(), MessageGroupchat);
    EXPECT_EQ(m[0]->body(), "Thrice the brinded cat hath mew'd.");
    auto* delay = static_cast<const DelayedDelivery*>(m[0]->extension(ExtDelayedDelivery));
    ASSERT_NE(delay, nullptr);
    EXPECT_TRUE(delay->valid());
    EXPECT_EQ(delay->stamp(), "2002-10-13T23:58:37Z");
    EXPECT_EQ(delay->from().full(), "coven@chat.shakespeare.lit");

    auto* legacy = static_cast<const XDelayedDelivery*>(m[1]->extension(ExtXDelayedDelivery));
    ASSERT_NE(legacy, nullptr);
    EXPECT_EQ(legacy->stamp(), "20021013T23:58:43");
    EXPECT_EQ(legacy->reason(), "Offline Storage");
    std::unique_ptr<XmlTag> written(legacy->toXml());
    EXPECT_EQ(written->serialize(),
              "<x xmlns='jabber:x:delay' from='coven@chat.shakespeare.lit/secondwitch' "
              "stamp='20021013T23:58:43'>Offline Storage</x>");

    EXPECT_EQ(m[2]->subject(), "Fire Burn and Cauldron Bubble!");
    EXPECT_EQ(m[2]->body(), "");

    auto* oob = static_cast<const OOB*>(m[3]->extension(ExtOOB));
    ASSERT_NE(oob, nullptr);
    EXPECT_EQ(oob->url(), "http://www.jabber.org/images/psa-license.jpg");
    EXPECT_EQ(oob->description(), "A License to Jabber");
    EXPECT_FALSE(oob->isIqPayload());
    EXPECT_EQ(m[3]->subtype(), MessageNormal);

    EXPECT_EQ(m[4]->subtype(), MessageChat);
    EXPECT_EQ(m[4]->body("cs"), "Pročež jsi ty, Romeo?");
    EXPECT_EQ(m[4]->body(), "empty lang");  // an empty xml:lang is the default key
    EXPECT_EQ(m[4]->thread(), "e0ffe42b28561960c6b12b944a092794b9683a38");

    EXPECT_EQ(m[5]->subtype(), MessageHeadline);
    EXPECT_EQ(m[5]->body(), "<b>markup</b> & 中文 🎉");

    EXPECT_EQ(m[6]->subtype(), MessageError);
    EXPECT_EQ(m[6]->errorCondition(), StanzaErrorNotAcceptable);
    EXPECT_EQ(m[7]->subtype(), MessageNormal);
    EXPECT_NE(m[7]->extension(ExtXTagEncrypted), nullptr);
}

TEST(Corpus, IqErrorsAndPayloads) {
    auto q = parseStanzas(dataFile("stanzas/iq-errors.xml"));
    ASSERT_EQ(q.size(), 7u);

    EXPECT_EQ(q[0]->errorCondition(), StanzaErrorFeatureNotImplemented);
    ASSERT_NE(q[0]->errorAppCondition(), nullptr);
    EXPECT_EQ(q[0]->errorAppCondition()->getAttribute("feature"), "retrieve-subscriptions");

    EXPECT_EQ(q[1]->errorCondition(), StanzaErrorConflict);
    EXPECT_EQ(q[1]->errorText(), "The requested username already exists.");
    EXPECT_EQ(q[2]->errorCondition(), StanzaErrorNotAuthorized);
    EXPECT_EQ(q[2]->errorType(), StanzaErrorTypeAuth);
    EXPECT_EQ(q[2]->payloadNamespace(), "jabber:iq:auth");
    EXPECT_EQ(q[2]->xmlLang(), "en");

    EXPECT_EQ(q[3]->errorCondition(), StanzaErrorUndefined);  // legacy code only
    EXPECT_EQ(q[3]->firstChild("error")->getAttribute("code"), "409");

    EXPECT_EQ(q[4]->subtype(), IqGet);
    EXPECT_EQ(q[4]->payloadNamespace(), "jabber:iq:version");
    EXPECT_EQ(q[5]->payloadNamespace(), "jabber:iq:roster");

    auto* oob = static_cast<const OOB*>(q[6]->extension(ExtOOB));
    ASSERT_NE(oob, nullptr);
    EXPECT_TRUE(oob->isIqPayload());
    std::unique_ptr<XmlTag> back(oob->toXml());
    EXPECT_EQ(back->name(), "query");
}

TEST(Corpus, DataForms) {
    auto s = parseStanzas(dataFile("stanzas/forms.xml"));
    ASSERT_EQ(s.size(), 4u);

    XmlDataForm reg(s[0]->firstChild("query")->firstChild("x", "xmlns", XMPP_XMLNS_X_DATA));
    EXPECT_EQ(reg.formType(), FormForm);
    EXPECT_EQ(reg.title(), "Contest Registration");
    ASSERT_EQ(reg.instructions().size(), 1u);
    ASSERT_EQ(reg.fields().size(), 5u);
    EXPECT_EQ(reg.fields()[0]->type(), FieldHidden);
    EXPECT_EQ(reg.fields()[0]->value(), "jabber:iq:register");
    EXPECT_TRUE(reg.field("first")->required());
    EXPECT_EQ(reg.field("first")->label(), "Given Name");
    EXPECT_EQ(reg.field("x-gender")->options().at("Female"), "F");
    // Written back, the form parses to the same form.
    std::unique_ptr<XmlTag> written(reg.toXml());
    XmlDataForm again(written.get());
    std::unique_ptr<XmlTag> writtenAgain(again.toXml());
    EXPECT_EQ(writtenAgain->serialize(), written->serialize());

    XmlDataForm config(s[1]->firstChild("query")->firstChild("x"));
    EXPECT_EQ(config.title(), "Configuration for \"coven\" Room");
    EXPECT_EQ(config.field("muc#roomconfig_persistentroom")->type(), FieldBoolean);
    EXPECT_EQ(config.field("muc#roomconfig_presencebroadcast")->values().size(), 3u);
    EXPECT_EQ(config.field("muc#roomconfig_roomadmins")->values().size(), 2u);
    EXPECT_EQ(config.field("muc#roomconfig_maxusers")->value(), "20");  // single-valued: last wins
    EXPECT_EQ(config.field("x-colour")->type(), FieldInvalid);
    EXPECT_EQ(config.field("untyped")->type(), FieldNone);
    std::unique_ptr<XmlTag> configXml(config.toXml());
    const std::string text = configXml->serialize();
    EXPECT_EQ(text.find("x-colour"), std::string::npos);
    EXPECT_NE(text.find("<field var='untyped'><value>u</value></field>"), std::string::npos);
    EXPECT_NE(text.find("<field type='boolean' var='muc#roomconfig_persistentroom' label='Make Room Persistent?'>"
                        "<value>1</value></field>"),
              std::string::npos)
        << text;

    XmlDataForm result(s[2]->firstChild("x"));
    EXPECT_EQ(result.formType(), FormResult);
    ASSERT_EQ(result.fields().size(), 3u);
    EXPECT_EQ(result.fields()[0]->type(), FieldReported);
    EXPECT_EQ(result.fields()[1]->type(), FieldItem);
    auto* item = dynamic_cast<XmlDataFormItem*>(result.fields()[2]);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->fields()[1]->value(), "http://www.hellasverona.it/");
    std::unique_ptr<XmlTag> resultXml(result.toXml());
    EXPECT_EQ(resultXml->firstChild("reported")->children().size(), 2u);
    EXPECT_EQ(resultXml->childrenNamed("item").size(), 2u);

    XmlDataForm info(s[3]->firstChild("query")->firstChild("x"));
    EXPECT_EQ(info.field("muc#roominfo_occupants")->value(), "3");
}

TEST(Corpus, CapturedServerStreamsGiveTypedStanzas) {
    const std::string dir = std::string(PARLEY_TEST_DATA) + "/streams";
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    int stanzas = 0;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.find("-server.xml") == std::string::npos) continue;
        for (const auto& s : parseStanzas(testsupport::readFile(dir + "/" + name))) {
            if (s->name() == "iq" || s->name() == "message" || s->name() == "presence") {
                ++stanzas;
                EXPECT_NE(s->kind(), KindUndefined) << name;
                if (s->name() == "iq") {
                    EXPECT_NE(s->subtype(), StanzaSubUndefined) << name << s->serialize();
                }
                if (s->subtype() == IqError) {
                    EXPECT_NE(s->errorCondition(), StanzaErrorUndefined) << name << s->serialize();
                }
            }
        }
    }
    closedir(d);
    EXPECT_GT(stanzas, 50);
}

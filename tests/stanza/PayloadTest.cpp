// Extensions and data forms: the rules that the corpus does not reach.
#include <gtest/gtest.h>

#include "stanza/Constants.h"
#include "stanza/DelayedDelivery.h"
#include "stanza/OOB.h"
#include "stanza/XmlDataForm.h"
#include "support/Corpus.h"

using namespace tern;
using testsupport::parseElement;

namespace {
std::string written(const StanzaExtension* e) {
    std::unique_ptr<XmlTag> x(e ? e->toXml() : nullptr);
    return x ? x->serialize() : std::string("(null)");
}
std::string written(const XmlDataFormField& f) {
    std::unique_ptr<XmlTag> x(f.toXml());
    return x ? x->serialize() : std::string("(null)");
}
}  // namespace

TEST(Extensions, FactoryRecognisesByNameAndNamespace) {
    struct Case {
        const char* xml;
        int type;  // 0: the factory returns null
        bool valid;
    };
    const Case cases[] = {
        {"<delay xmlns='urn:xmpp:delay'/>", ExtDelayedDelivery, false},  // no stamp
        {"<delay xmlns='urn:xmpp:delay' stamp='s'/>", ExtDelayedDelivery, true},
        {"<x xmlns='jabber:x:delay' stamp=''/>", ExtXDelayedDelivery, true},
        {"<x xmlns='jabber:x:oob'/>", ExtOOB, false},  // no url
        {"<x xmlns='jabber:x:oob'><url/></x>", ExtOOB, true},
        {"<query xmlns='jabber:iq:oob'><url>u</url></query>", ExtOOB, true},
        {"<x xmlns='jabber:x:signed'>sig</x>", ExtXTagSigned, true},
        {"<x xmlns='jabber:x:encrypted'>enc</x>", ExtXTagEncrypted, true},
        {"<x xmlns='jabber:x:data' type='form'/>", 0, false},  // data forms are not extensions
        {"<x/>", 0, false},
        {"<query xmlns='jabber:iq:roster'/>", 0, false},
        {"<delay xmlns='jabber:x:delay' stamp='s'/>", 0, false},
        {"<body>x</body>", 0, false},
    };
    for (const Case& c : cases) {
        auto e = parseElement(c.xml);
        std::unique_ptr<StanzaExtension> ext(createExtension(e.get()));
        if (c.type == 0) {
            EXPECT_EQ(ext, nullptr) << c.xml;
            continue;
        }
        ASSERT_NE(ext, nullptr) << c.xml;
        EXPECT_EQ(ext->extensionType(), c.type) << c.xml;
        std::unique_ptr<XmlTag> x(ext->toXml());
        EXPECT_EQ(x != nullptr, c.valid) << c.xml;
    }
    EXPECT_EQ(createExtension(nullptr), nullptr);
}

TEST(Extensions, WrittenForms) {
    std::unique_ptr<StanzaExtension> delay(createExtension(
        parseElement("<x xmlns='jabber:x:delay' from='room@service/nick' stamp='20080101T10:00:00'/>").get()));
    EXPECT_EQ(written(delay.get()), "<x xmlns='jabber:x:delay' from='room@service/nick' stamp='20080101T10:00:00'/>");
    std::unique_ptr<StanzaExtension> emptyStamp(createExtension(parseElement("<x xmlns='jabber:x:delay' stamp=''/>").get()));
    EXPECT_EQ(written(emptyStamp.get()), "<x xmlns='jabber:x:delay'/>");
    OOB emptyUrl(parseElement("<x xmlns='jabber:x:oob'><url/></x>").get());
    EXPECT_EQ(written(&emptyUrl), "<x xmlns='jabber:x:oob'><url/></x>");
    OOB none(nullptr);
    EXPECT_FALSE(none.valid());
    EXPECT_EQ(written(&none), "(null)");
    DelayedDelivery withReason(parseElement("<delay xmlns='urn:xmpp:delay' stamp='t'>why</delay>").get());
    EXPECT_EQ(written(&withReason), "<delay xmlns='urn:xmpp:delay' stamp='t'>why</delay>");
}

TEST(DataForms, InvalidFormsWriteNothing) {
    for (const char* xml : {"<x xmlns='jabber:x:oob' type='form'/>", "<y xmlns='jabber:x:data' type='form'/>",
                            "<x xmlns='jabber:x:data' type='bogus'/>", "<x xmlns='jabber:x:data'/>"}) {
        XmlDataForm f(parseElement(xml).get());
        EXPECT_EQ(f.formType(), FormInvalid) << xml;
        EXPECT_EQ(f.toXml(), nullptr) << xml;
    }
    XmlDataForm none(static_cast<const XmlTag*>(nullptr));
    EXPECT_EQ(none.formType(), FormInvalid);
}

TEST(DataForms, FieldValuesByType) {
    auto field = [](const char* xml) { return XmlDataFormField(parseElement(xml).get()); };
    EXPECT_EQ(written(field("<field type='boolean' var='b'><value>true</value></field>")),
              "<field type='boolean' var='b'><value>1</value></field>");
    for (const char* off : {"<field type='boolean'><value>false</value></field>",
                            "<field type='boolean'><value>0</value></field>", "<field type='boolean'/>"})
        EXPECT_EQ(written(field(off)), "<field type='boolean'><value>0</value></field>");

    XmlDataFormField single = field("<field type='text-single'><value>a</value><value>b</value></field>");
    EXPECT_EQ(single.values(), StringList{"b"});
    XmlDataFormField multi = field("<field type='text-multi'><value>a</value><value>b</value></field>");
    EXPECT_EQ(multi.values(), (StringList{"a", "b"}));

    XmlDataFormField none = field("<field var='v'/>");
    EXPECT_EQ(none.type(), FieldNone);
    EXPECT_EQ(none.value(), "");
    EXPECT_EQ(written(none), "<field var='v'/>");
    EXPECT_EQ(field("<field type='colour'/>").toXml(), nullptr);

    XmlDataFormField options = field(
        "<field type='list-single' var='lang'><option label='English'><value>en</value></option>"
        "<option label='English'><value>en-GB</value></option><option><value>none</value></option>"
        "<option label='x'/><value>de</value></field>");
    EXPECT_EQ(options.options().at("English"), "en-GB");  // parsing keeps the later one
    EXPECT_EQ(options.options().at(""), "none");
    EXPECT_EQ(options.options().count("x"), 0u);
    options.addOption("English", "ignored");  // adding keeps the earlier one
    EXPECT_EQ(options.options().at("English"), "en-GB");

    XmlDataFormField lang(FieldListSingle);
    lang.setName("lang");
    lang.addOption("English", "en");
    lang.setValue("de");
    EXPECT_EQ(written(lang),
              "<field type='list-single' var='lang'><option label='English'><value>en</value></option>"
              "<value>de</value></field>");
    XmlDataFormField listMulti(FieldListMulti);
    listMulti.addOption("b", "2");
    listMulti.addOption("a", "1");
    listMulti.setValues({"x", "y"});
    EXPECT_EQ(written(listMulti),
              "<field type='list-multi'><option label='a'><value>1</value></option><option label='b'>"
              "<value>2</value></option><value>x</value><value>y</value></field>");
    XmlDataFormField described(FieldTextSingle);
    described.setRequired(true);
    described.setDescription("d");
    described.setLabel("L");
    EXPECT_EQ(written(described), "<field type='text-single' label='L'><required/><desc>d</desc></field>");
}

TEST(DataForms, BuiltFormsAndOwnership) {
    XmlDataForm submit(FormSubmit);
    std::unique_ptr<XmlTag> empty(submit.toXml());
    EXPECT_EQ(empty->serialize(), "<x xmlns='jabber:x:data' type='submit'/>");
    submit.setTitle("T");
    submit.addInstructions("one");
    submit.addInstructions("two");
    auto* f = new XmlDataFormField(FieldHidden);
    f->setName("FORM_TYPE");
    f->setValue("urn:x");
    submit.addField(f);
    submit.addField(nullptr);
    std::unique_ptr<XmlTag> x(submit.toXml());
    EXPECT_EQ(x->serialize(),
              "<x xmlns='jabber:x:data' type='submit'><title>T</title><instructions>one</instructions>"
              "<instructions>two</instructions><field type='hidden' var='FORM_TYPE'><value>urn:x</value></field></x>");
    // setFields hands the old fields back to the caller.
    FieldList old = submit.fields();
    submit.setFields({new XmlDataFormField(FieldFixed)});
    for (XmlDataFormField* o : old) delete o;
    EXPECT_EQ(submit.fields().size(), 1u);
}

#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "xml/XmlParser.h"

using namespace tern;

namespace {

struct Collector : XmlTagHandler {
    std::vector<std::string> xml;
    std::vector<std::unique_ptr<XmlTag>> tags;
    void handleXmlTag(XmlTag* element) override {
        xml.push_back(element->serialize());
        tags.emplace_back(element->clone());
    }
};

struct Parsed {
    bool ok = true;
    std::vector<std::string> xml;
};

Parsed parseAll(const std::string& input) {
    Collector c;
    XmlParser p(&c);
    Parsed r;
    r.ok = p.feed(input);
    r.xml = c.xml;
    return r;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> streamCorpus() {
    std::vector<std::string> out;
    const std::string dir = std::string(PARLEY_TEST_DATA) + "/streams";
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".xml") == 0)
            out.push_back(readFile(dir + "/" + name));
    }
    closedir(d);
    return out;
}

}  // namespace

TEST(XmlParser, DeliversHeaderAtOnceAndTopLevelElementsWhenClosed) {
    Collector c;
    XmlParser p(&c);
    EXPECT_TRUE(p.feed("<?xml version='1.0' ?><stream:str"));
    EXPECT_TRUE(c.xml.empty());
    EXPECT_TRUE(p.feed("eam to='x' version=\"1.0\">"));
    ASSERT_EQ(c.xml.size(), 1u);
    EXPECT_EQ(c.xml[0], "<stream:stream to='x' version='1.0'/>");
    EXPECT_EQ(p.state(), ParserStart);

    EXPECT_TRUE(p.feed("\r\n \t<message><body>hi</body></mess"));
    EXPECT_EQ(c.xml.size(), 1u);
    EXPECT_TRUE(p.feed("age>  </stream:stream>"));
    ASSERT_EQ(c.xml.size(), 2u);
    EXPECT_EQ(c.xml[1], "<message><body>hi</body></message>");
    EXPECT_TRUE(c.tags[1]->fromWire());
    EXPECT_TRUE(c.tags[1]->children()[0]->fromWire());
}

TEST(XmlParser, TextAttributesAndEntities) {
    auto r = parseAll("<a>x<b/>y</a><a x=\"it's\" y='say \"hi\"'/><t>&lt;b&gt;&amp;lt;</t>"
                      "<d k='1' k='2'/><w> \n </w>");
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.xml.size(), 5u);
    EXPECT_EQ(r.xml[0], "<a><b/></a>");
    Collector c;
    XmlParser p(&c);
    ASSERT_TRUE(p.feed("<a>x<b/>y</a><a x=\"it's\" y='say \"hi\"'/><t>&lt;b&gt;&amp;lt;</t>"
                       "<d k='1' k='2'/><w> \n </w>"));
    EXPECT_EQ(c.tags[0]->text(), "x");
    EXPECT_EQ(c.tags[1]->getAttribute("x"), "it's");
    EXPECT_EQ(c.tags[1]->getAttribute("y"), "say \"hi\"");
    EXPECT_EQ(c.tags[2]->text(), "<b>&lt;");
    ASSERT_EQ(c.tags[3]->attributes().size(), 2u);
    EXPECT_EQ(c.tags[3]->getAttribute("k"), "1");
    EXPECT_EQ(c.tags[4]->text(), " \n ");
}

// A reference to a character XML cannot carry is not decoded, like every
// reference but those to the five special characters: it stays as written,
// and the text written again carries it as text.
TEST(XmlParser, ReferencesToForbiddenCharactersStayText) {
    for (const std::string ref : {"&#12;", "&#x1B;", "&#xFFFF;", "&#0;", "&#xD800;", "&#65534;"}) {
        Collector c;
        XmlParser p(&c);
        ASSERT_TRUE(p.feed("<m k='a" + ref + "'>b" + ref + "</m>")) << ref;
        ASSERT_EQ(c.tags.size(), 1u);
        EXPECT_EQ(c.tags[0]->text(), "b" + ref);
        EXPECT_EQ(c.tags[0]->getAttribute("k"), "a" + ref);
        EXPECT_EQ(c.tags[0]->serialize(), "<m k='a&amp;" + ref.substr(1) + "'>b&amp;" + ref.substr(1) + "</m>");
    }
}

TEST(XmlParser, EmptyAndOpenClosedFormsAreTheSame) {
    EXPECT_EQ(parseAll("<a x='1'/>").xml, parseAll("<a x='1'></a>").xml);
    EXPECT_EQ(parseAll("<a x = '1' / >").xml, parseAll("<a x='1'/>").xml);
}

TEST(XmlParser, DeclarationRules) {
    auto ok = parseAll("<?xml version='1.0'?><a/>");
    EXPECT_TRUE(ok.ok);
    EXPECT_EQ(ok.xml, std::vector<std::string>{"<a/>"});
    EXPECT_FALSE(parseAll("<?xml version='1.0'><a/>").ok);  // no closing '?'
    EXPECT_FALSE(parseAll("<?xml?><a/>").ok);               // no blank after the name
}

TEST(XmlParser, MalformedInputFailsAndTheParserRecovers) {
    const char* bad[] = {
        "<!-- c -->", "<![CDATA[x]]>", "<!DOCTYPE x>", "<a></a >", "<a></b>", "</a>",
        "<a x></a>", "<a x=1/>", "<a x='<'/>", "<a/x>", "<a><<", "<>", "<a =/>",
        "<a x='1'?>", "<?>", "<?/>", "<a!>", "<a b/c='1'/>", "</>",
    };
    for (const char* input : bad) {
        Collector c;
        XmlParser p(&c);
        EXPECT_FALSE(p.feed(input)) << input;
        EXPECT_TRUE(c.xml.empty()) << input;
        EXPECT_EQ(p.state(), ParserStart) << input;
        EXPECT_TRUE(p.feed("<ok/>")) << input;
        EXPECT_EQ(c.xml.size(), 1u) << input;
    }
}

TEST(XmlParser, ErrorDropsTheRestOfTheChunk) {
    Collector c;
    XmlParser p(&c);
    EXPECT_FALSE(p.feed("<a><!-- --></a><b/>"));
    EXPECT_TRUE(c.xml.empty());
}

TEST(XmlParser, EndTagNamesMatchDecoded) {
    // What serialize() writes for an element whose name needed escaping must
    // parse back.
    auto r = parseAll("<a&amp;b>x</a&amp;b><q&apos;>y</q'>");
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.xml.size(), 2u);
    EXPECT_EQ(parseAll(r.xml[0]).xml, std::vector<std::string>{r.xml[0]});
}

TEST(XmlParser, HandlerMayCleanUpDuringDelivery) {
    struct Stopper : XmlTagHandler {
        XmlParser* parser = nullptr;
        int seen = 0;
        void handleXmlTag(XmlTag*) override {
            ++seen;
            parser->cleanup();
        }
    } h;
    XmlParser p(&h);
    h.parser = &p;
    EXPECT_TRUE(p.feed("<a/><b/><c/>"));
    EXPECT_EQ(h.seen, 1);
    EXPECT_TRUE(p.feed("<d/>"));
    EXPECT_EQ(h.seen, 2);
}

TEST(XmlParser, EverySplitOfRealStreamsGivesTheSameElements) {
    const auto corpus = streamCorpus();
    ASSERT_GE(corpus.size(), 20u);
    for (const std::string& stream : corpus) {
        const Parsed whole = parseAll(stream);
        ASSERT_TRUE(whole.ok);
        ASSERT_FALSE(whole.xml.empty());
        for (std::size_t split = 0; split <= stream.size(); ++split) {
            Collector c;
            XmlParser p(&c);
            ASSERT_TRUE(p.feed(std::string_view(stream).substr(0, split)));
            ASSERT_TRUE(p.feed(std::string_view(stream).substr(split)));
            ASSERT_EQ(c.xml, whole.xml) << "split at " << split;
        }
        Collector bytes;
        XmlParser p(&bytes);
        for (char ch : stream) ASSERT_TRUE(p.feed(std::string(1, ch)));
        EXPECT_EQ(bytes.xml, whole.xml);
    }
}

// Elements are built again in the buffers of earlier ones: nothing of a
// longer, deeper or different stanza may show in the next, and whatever a
// handler hangs into a delivered tree goes with it.
TEST(XmlParser, ReusedElementsCarryNothingOver) {
    struct Grafter : Collector {
        struct Made : XmlTag {
            Made() : XmlTag("made") {}
        };
        void handleXmlTag(XmlTag* element) override {
            Collector::handleXmlTag(element);
            element->appendChild(new Made);
            element->appendChild(new XmlTag("plain", "a text longer than any buffer kept inline"));
        }
    } c;
    std::string wide = "<w>";
    for (int i = 0; i < 40; ++i) wide += "<i n='" + std::to_string(i) + "'>text of item " + std::to_string(i) + "</i>";
    wide += "</w>";
    const std::vector<std::string> stanzas = {
        "<m a='1' b='the second, longer attribute value' c='&amp;3'><b x='y'>a body text well past fifteen</b>"
        "<t>z</t></m>",
        "<m a='9'/>", "<p><q k='v'/></p>", "<m c='&lt;' a='1'><b>text</b></m>", "<x&amp;y z&amp;w='1'/>", wide,
        "<n/>", "<m a='1' b='2' c='3'><b><c><d>deep</d></c></b><t/></m>"};
    XmlParser p(&c);
    for (const std::string& s : stanzas) ASSERT_TRUE(p.feed(s)) << s;
    EXPECT_EQ(c.xml, stanzas);
}

TEST(XmlParser, ZeroBytesAndHighBytesPassThrough) {
    const std::string body("a\0b\xc3\xa9\xff", 6);
    Collector c;
    XmlParser p(&c);
    ASSERT_TRUE(p.feed("<m k='" + body + "'>" + body + "</m>"));
    ASSERT_EQ(c.tags.size(), 1u);
    EXPECT_EQ(c.tags[0]->text(), body);
    EXPECT_EQ(c.tags[0]->getAttribute("k"), body);
}

TEST(XmlParserLimits, DeepNestingIsRefusedAtTheLimit) {
    Collector c;
    XmlParser p(&c);
    std::string ok;
    for (int i = 0; i < 256; ++i) ok += "<a>";
    for (int i = 0; i < 256; ++i) ok += "</a>";
    EXPECT_TRUE(p.feed(ok));
    EXPECT_EQ(c.xml.size(), 1u);

    std::string million;
    million.reserve(3000000);
    for (int i = 0; i < 1000000; ++i) million += "<a>";
    EXPECT_FALSE(p.feed(million));
    EXPECT_EQ(c.xml.size(), 1u);
    EXPECT_TRUE(p.feed("<b/>"));
    EXPECT_EQ(c.xml.size(), 2u);

    // Inside an element (a stanza anyone may send), what is deeper than the
    // limit is dropped and the element delivered without it; a nested
    // stream header is an element like any other there.
    p.setMaxDepth(2);
    EXPECT_TRUE(p.feed("<a><b/></a>"));
    EXPECT_TRUE(p.feed("<m><body>hi</body><n><x><x>deep</x></x>after</n></m>"));
    EXPECT_EQ(c.xml.back(), "<m><body>hi</body><n/></m>");
    p.setMaxDepth(256);
    EXPECT_TRUE(p.feed("<m><x xmlns='urn:x'><stream:stream xmlns:stream='s'/></x><stream:stream>t</stream:stream></m>"));
    EXPECT_EQ(c.xml.back(), "<m><x xmlns='urn:x'><stream:stream xmlns:stream='s'/></x><stream:stream>t</stream:stream></m>");
}

TEST(XmlParserLimits, HugeElementsAreRefusedWithBoundedMemory) {
    Collector c;
    XmlParser p(&c);
    // 100 MB of attribute value, fed as a connection would deliver it: the
    // parser must refuse once it has seen a little over 1 MiB.
    const std::string chunk(64 * 1024, 'v');
    ASSERT_TRUE(p.feed("<message to='"));
    std::size_t fed = 0;
    bool refused = false;
    while (fed < 100u * 1024 * 1024) {
        fed += chunk.size();
        if (!p.feed(chunk)) {
            refused = true;
            break;
        }
    }
    EXPECT_TRUE(refused);
    EXPECT_LE(fed, XmlParser::kDefaultMaxElementSize + 2 * chunk.size());
    EXPECT_TRUE(c.xml.empty());

    // One 100 MB chunk is refused as well; the parser never buffers past the limit.
    const std::string huge = "<m>" + std::string(100u * 1024 * 1024, 't') + "</m>";
    EXPECT_FALSE(p.feed(huge));
    EXPECT_TRUE(c.xml.empty());

    // Bytes between top-level elements do not count; an element at the limit passes.
    p.setMaxElementSize(64);
    EXPECT_TRUE(p.feed(std::string(1000, ' ') + "<a>" + std::string(57, 'x') + "</a>"));
    EXPECT_EQ(c.xml.size(), 1u);
    EXPECT_FALSE(p.feed("<a>" + std::string(58, 'x') + "</a>"));
}

#include <gtest/gtest.h>

#include <memory>

#include "xml/XmlTag.h"

using namespace tern;

namespace {
std::unique_ptr<XmlTag> wireTag(const std::string& name) {
    return std::make_unique<XmlTag>(name, "", true);
}
}  // namespace

TEST(Escaping, EscapesTheFiveSpecialCharactersOnly) {
    EXPECT_EQ(escapeXml("a&b<c>d'e\"f"), "a&amp;b&lt;c&gt;d&apos;e&quot;f");
    const std::string raw = "\t\n\r\x7f\xc3\xa9 plain \xef\xbf\xbd \xf0\x9f\x8e\x89";
    EXPECT_EQ(escapeXml(raw), raw);
}

// Whatever a caller puts into an element, the stream stays well-formed:
// what XML cannot carry is written as U+FFFD, one for each ill-formed part.
TEST(Escaping, WhatXmlCannotCarryIsWrittenAsAReplacement) {
    const std::string r = "\xef\xbf\xbd";
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"a\x0c" "b", "a" + r + "b"},                 // form feed
        {"\x1b[31mred", r + "[31mred"},             // an escape sequence
        {std::string("\0", 1), r},                  // zero
        {"\x01\x08\x0b\x0e\x1f", r + r + r + r + r},
        {"\xef\xbf\xbf\xef\xbf\xbe", r + r},       // U+FFFF, U+FFFE
        {"\xed\xa0\x80", r + r + r},                 // an encoded surrogate
        {"a\x80z", "a" + r + "z"},                   // a lone continuation byte
        {"\xc0\xaf", r + r},                         // an overlong form
        {"\xf4\x90\x80\x80", r + r + r + r},          // past U+10FFFF
        {"\xe2\x82", r},                             // truncated at the end
        {"\xe2\x82<", r + "&lt;"},                   // truncated before a special character
        {"\xff&\x02", r + "&amp;" + r},
    };
    for (const Case& c : cases) EXPECT_EQ(escapeXml(c.in), c.out) << c.in;
    XmlTag tag("m\x0c");
    tag.setAttribute("k\x1b", "v\x07");
    new XmlTag(&tag, "body", "\x0c\x1b[2J\xef\xbf\xbf");
    EXPECT_EQ(tag.serialize(), "<m" + r + " k" + r + "='v" + r + "'><body>" + r + r + "[2J" + r + "</body></m" + r + ">");
}

TEST(Escaping, UnescapeDecodesOnlyTheKnownForms) {
    EXPECT_EQ(unescapeXml("&amp;lt;"), "&lt;");  // never re-examined
    EXPECT_EQ(unescapeXml("&#X3c;&#x3E;&#39;&#34;&#60;&#62;"), "<>'\"<>");
    EXPECT_EQ(unescapeXml("&lt;&gt;&apos;&quot;&amp;"), "<>'\"&");
    for (const char* kept : {"&#38;", "&#x26;", "&lt", "a & b", "&nbsp;", "&#060;", "&", "&#x3c"})
        EXPECT_EQ(unescapeXml(kept), kept) << kept;
}

TEST(Escaping, UnescapeInvertsEscapeForWhatXmlCarries) {
    std::string all = "\t\n\r";
    for (int c = 0x20; c < 0x80; ++c) all.push_back(static_cast<char>(c));
    all += "&amp;&lt;&#60;&X \xc3\xa9 \xe4\xb8\x96 \xef\xbf\xbd \xf4\x8f\xbf\xbf";
    EXPECT_EQ(unescapeXml(escapeXml(all)), all);
}

TEST(XmlTagSerialize, EmptyTextOnlyAndChildrenForms) {
    XmlTag empty("a&b");
    EXPECT_EQ(empty.serialize(), "<a&amp;b/>");

    XmlTag message("message");
    message.setAttribute("id", 7);
    message.setAttribute("type", "chat");
    new XmlTag(&message, "body", "x < y");
    EXPECT_EQ(message.serialize(), "<message id='7' type='chat'><body>x &lt; y</body></message>");

    XmlTag both("a", "dropped");
    new XmlTag(&both, "b");
    EXPECT_EQ(both.serialize(), "<a><b/></a>");

    XmlTag quotes("q");
    quotes.setAttribute("x'&", "it's \"so\"");
    EXPECT_EQ(quotes.serialize(), "<q x&apos;&amp;='it&apos;s &quot;so&quot;'/>");
}

TEST(XmlTagAttributes, SetReplaceAndIntegerForms) {
    XmlTag t("t");
    t.setAttribute("x", "");
    t.setAttribute("", "v");
    EXPECT_TRUE(t.attributes().empty());

    t.setAttribute("a", "1");
    t.setAttribute("b", "2");
    t.setAttribute("a", "3");
    ASSERT_EQ(t.attributes().size(), 2u);
    EXPECT_EQ(t.attributes()[0], Attribute("a", "3"));  // replaced in place

    t.setAttribute("n", -5);
    t.setAttribute("z", 0);
    t.setAttribute("l", 2147483647L);
    EXPECT_EQ(t.getAttribute("n"), "-5");
    EXPECT_EQ(t.getAttribute("z"), "0");
    EXPECT_EQ(t.getAttribute("l"), "2147483647");
    EXPECT_EQ(t.getAttribute("missing"), "");

    AttributeList dup{{"d", "first"}, {"d", "second"}};
    t.replaceAttributes(dup);
    EXPECT_EQ(t.getAttribute("d"), "first");
    EXPECT_TRUE(t.hasAttribute("d", "second"));  // every attribute of the name is tried
    t.replaceAttributes(t.attributes());
    EXPECT_EQ(t.attributes().size(), 2u);
}

TEST(XmlTagLookups, EmptyKeysAndChildSearches) {
    XmlTag root("iq");
    auto* first = new XmlTag(&root, "query");
    auto* second = new XmlTag(&root, "query", "xmlns", "jabber:iq:roster");
    new XmlTag(&root, "text", "hello");

    EXPECT_TRUE(root.hasAttribute("", "anything"));
    EXPECT_EQ(root.firstChild("", "xmlns", "jabber:iq:roster"), nullptr);
    EXPECT_EQ(root.firstChild("query"), first);
    EXPECT_EQ(root.firstChild("query", "xmlns"), second);
    EXPECT_EQ(root.firstChild("query", "xmlns", "jabber:iq:roster"), second);
    EXPECT_EQ(root.firstChild("query", "xmlns", "other"), nullptr);
    EXPECT_EQ(root.firstChildWithAttribute("xmlns"), second);
    EXPECT_EQ(root.firstChildWithAttribute(""), first);
    EXPECT_TRUE(root.hasChild("query"));
    EXPECT_FALSE(root.hasChildWithAttribute("xmlns", "other"));
    EXPECT_TRUE(root.hasChildWithText("text", "hello"));
    EXPECT_TRUE(root.hasChildWithText("text"));
    EXPECT_FALSE(root.hasChildWithText("text", "Hello"));
    EXPECT_EQ(root.childrenNamed("query"), (TagList{first, second}));
    EXPECT_EQ(second->parent(), &root);
}

TEST(XmlTagWire, WireElementsDecodeWhatTheyAreGiven) {
    auto t = wireTag("n&amp;m");
    EXPECT_EQ(t->name(), "n&m");
    t->setText("a&amp;b");
    EXPECT_EQ(t->text(), "a&b");
    t->appendText("&lt;");
    EXPECT_EQ(t->text(), "a&b<");
    t->setAttribute("x&amp;y", "1&amp;2");
    EXPECT_EQ(t->getAttribute("x&amp;y"), "1&2");
    EXPECT_EQ(t->getAttribute("x&y"), "1&2");

    XmlTag local("n&amp;m", "a&amp;b");
    EXPECT_EQ(local.name(), "n&amp;m");
    EXPECT_EQ(local.text(), "a&amp;b");
    local.setAttribute("k", "v&amp;");
    EXPECT_EQ(local.getAttribute("k"), "v&amp;");
}

TEST(XmlTagClone, CopiesStoredStringsWithoutDecodingAgain) {
    auto t = wireTag("a");
    t->setText("&amp;lt;");
    ASSERT_EQ(t->text(), "&lt;");
    auto* child = new XmlTag(t.get(), "b", "c", true);
    child->setAttribute("k", "v");
    std::unique_ptr<XmlTag> copy(t->clone());
    EXPECT_EQ(copy->text(), "&lt;");
    EXPECT_TRUE(copy->fromWire());
    EXPECT_EQ(copy->parent(), nullptr);
    ASSERT_EQ(copy->children().size(), 1u);
    EXPECT_EQ(copy->children()[0]->parent(), copy.get());
    EXPECT_NE(copy->children()[0], child);
    EXPECT_EQ(copy->serialize(), t->serialize());

    XmlTag holder("h");
    holder.appendChildCopy(t.get());
    holder.appendChildCopy(nullptr);
    holder.appendChild(nullptr);
    EXPECT_EQ(holder.children().size(), 1u);
}

TEST(XmlTagDestroy, DeepTreesAreFreedWithoutRecursion) {
    // Deep enough that a recursive destructor would overflow the stack.
    auto* root = new XmlTag("r");
    XmlTag* cur = root;
    for (int i = 0; i < 300000; ++i) cur = new XmlTag(cur, "d");
    delete root;
}

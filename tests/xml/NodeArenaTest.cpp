#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "xml/XmlParser.h"

using namespace tern;

namespace {

// Takes the first child of every third element out of the tree, the way a
// stanza takes the content of what it adopts, and lets the rest go.
struct Keeper : XmlTagHandler {
    std::vector<XmlTag*> kept;
    int seen = 0;
    void handleXmlTag(XmlTag* element) override {
        if (seen++ % 3 != 0 || element->children().empty()) return;
        XmlTag* child = element->children().front();
        element->children().erase(element->children().begin());
        kept.push_back(child);
    }
};

std::string stanza(int i) {
    const std::string n = std::to_string(i);
    return "<message id='m" + n + "' from='room@conference.example.test/nick" + n + "'><body x='&amp;" + n +
           "'>text number " + n + " &lt;b&gt;</body><thread>t" + n + "</thread></message>";
}

void expectKept(const XmlTag& body, int i) {
    const std::string n = std::to_string(i);
    EXPECT_EQ(body.name(), "body");
    EXPECT_EQ(body.text(), "text number " + n + " <b>");
    EXPECT_EQ(body.getAttribute("x"), "&" + n);
    EXPECT_EQ(body.serialize(), "<body x='&amp;" + n + "'>text number " + n + " &lt;b&gt;</body>");
}

}  // namespace

// Elements kept out of the parser's blocks stay intact while the parser
// goes on reusing them, outlive it, and may be deleted on another thread.
TEST(NodeArena, KeptElementsSurviveReuseThenTheParserAndAnotherThread) {
    std::string stream;
    const int count = 600;
    for (int i = 0; i < count; ++i) stream += stanza(i);
    for (std::size_t chunk : {std::size_t(1), std::size_t(7), std::size_t(1024), stream.size()}) {
        Keeper keeper;
        {
            XmlParser parser(&keeper);
            for (std::size_t off = 0; off < stream.size(); off += chunk)
                ASSERT_TRUE(parser.feed(std::string_view(stream).substr(off, chunk)));
        }
        ASSERT_EQ(keeper.kept.size(), std::size_t(count / 3)) << chunk;
        for (std::size_t k = 0; k < keeper.kept.size(); ++k) expectKept(*keeper.kept[k], int(k * 3));
        const std::size_t half = keeper.kept.size() / 2;
        std::thread other([&] {
            for (std::size_t k = 0; k < half; ++k) delete keeper.kept[k];
        });
        for (std::size_t k = half; k < keeper.kept.size(); ++k) delete keeper.kept[k];
        other.join();
    }
}

// Parsed and hand-made elements mix in one tree and go with its root.
TEST(NodeArena, ParsedAndHandMadeElementsShareTrees) {
    struct Mixer : XmlTagHandler {
        std::unique_ptr<XmlTag> made{new XmlTag("made")};
        void handleXmlTag(XmlTag* element) override {
            new XmlTag(element, "extra", "by hand");
            made->appendChild(element->children().front());
            element->children().erase(element->children().begin());
            EXPECT_EQ(element->serialize(), "<a><c/><extra>by hand</extra></a>");
        }
    } mixer;
    XmlParser parser(&mixer);
    ASSERT_TRUE(parser.feed("<a><b k='v'>t</b><c/></a>"));
    EXPECT_EQ(mixer.made->serialize(), "<made><b k='v'>t</b></made>");
}

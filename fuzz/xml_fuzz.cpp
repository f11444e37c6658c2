// Feeds arbitrary bytes to the stream parser in arbitrary splits. Every
// delivered element, as written, must survive serialize() and a second
// parse unchanged, and the splits must deliver what the same bytes in one
// chunk deliver, up to the first error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "xml/XmlParser.h"
#include "xml/XmlTag.h"

using namespace tern;

namespace {

// Strings compared as serialize() writes them: what XML cannot carry (a
// control character, ill-formed UTF-8 from the wire) is written as U+FFFD.
bool same(const std::string& a, const std::string& b) { return a == b || escapeXml(a) == escapeXml(b); }

// serialize() writes an element's text only when it has no children, so that
// is the part of the tree a round trip must keep.
bool sameTree(const XmlTag& a, const XmlTag& b) {
    if (!same(a.name(), b.name()) || a.attributes().size() != b.attributes().size()) return false;
    for (std::size_t i = 0; i < a.attributes().size(); ++i)
        if (!same(a.attributes()[i].first, b.attributes()[i].first) ||
            !same(a.attributes()[i].second, b.attributes()[i].second))
            return false;
    if (a.children().size() != b.children().size()) return false;
    if (a.children().empty() && !same(a.text(), b.text())) return false;
    for (std::size_t i = 0; i < a.children().size(); ++i)
        if (!sameTree(*a.children()[i], *b.children()[i])) return false;
    return true;
}

struct FirstElement : XmlTagHandler {
    XmlTag* first = nullptr;
    ~FirstElement() override { delete first; }
    void handleXmlTag(XmlTag* element) override {
        if (!first) first = element->clone();
    }
};

struct RoundTrip : XmlTagHandler {
    std::vector<std::string> delivered;
    void handleXmlTag(XmlTag* element) override {
        const std::string text = element->serialize();
        delivered.push_back(text);
        FirstElement again;
        XmlParser reparser(&again);
        // Escaping can grow an element up to six times.
        reparser.setMaxElementSize(8 * XmlParser::kDefaultMaxElementSize);
        reparser.feed(text);
        if (!again.first || !sameTree(*element, *again.first) || again.first->serialize() != text)
            std::abort();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte seeds the chunk sizes; the rest is the stream.
    std::uint32_t state = 0x9e3779b9u ^ data[0];
    std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
    RoundTrip whole;
    XmlParser oneChunk(&whole);
    oneChunk.feed(stream);

    RoundTrip handler;
    XmlParser parser(&handler);
    std::size_t beforeError = SIZE_MAX;  // the parser goes on after an error, from a clean state
    while (!stream.empty()) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const std::size_t n = 1 + state % (data[0] & 1 ? 7 : 1100);
        const std::string_view chunk = stream.substr(0, n);
        stream.remove_prefix(chunk.size());
        if (!parser.feed(chunk) && beforeError == SIZE_MAX) beforeError = handler.delivered.size();
    }
    if (beforeError < handler.delivered.size()) handler.delivered.resize(beforeError);
    if (handler.delivered != whole.delivered) std::abort();
    return 0;
}

// Incremental parser for the XMPP byte stream.
//
// Not a general XML parser: start, empty and end tags, quoted attributes,
// character data, the entities escapeXml/unescapeXml know, and a discarded
// XML declaration. Comments, CDATA and markup declarations are errors.
// Delivers the stream header as soon as its '>' is read, and every complete
// top-level element once its end tag is read; chunks may split anywhere.
#ifndef TERN_XML_XMLPARSER_H
#define TERN_XML_XMLPARSER_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "NodeArena.h"
#include "XmlTag.h"

namespace tern {

class XmlTagHandler {
public:
    virtual ~XmlTagHandler() = default;
    // The element belongs to the parser and is deleted when this returns; a
    // handler may move content out of it but keeps no pointer into it.
    virtual void handleXmlTag(XmlTag* element) = 0;
    // The peer closed the stream (</stream:stream> at the top level).
    virtual void handleStreamEnd() {}
};

enum ParserState {
    ParserStart = 0,
    ParserTagOpening = 1,
    ParserEmptyTagClosing = 2,
    ParserContent = 4,
    ParserTagName = 5,
    ParserInsideTag = 6,
    ParserAttributeName = 7,
    ParserAfterAttributeName = 8,
    ParserAfterEquals = 9,
    ParserEndTagName = 10,
    ParserEndTagOpening = 11,
    ParserAttributeValue = 13,
};

enum DeclarationState { DeclarationNone = 0, DeclarationOpen = 1, DeclarationClosing = 2 };

class XmlParser {
public:
    // Hostile or broken peers must not be able to exhaust memory or stack.
    static constexpr std::size_t kDefaultMaxDepth = 256;
    static constexpr std::size_t kDefaultMaxElementSize = 1024 * 1024;

    explicit XmlParser(XmlTagHandler* handler);
    virtual ~XmlParser();

    XmlParser(const XmlParser&) = delete;
    XmlParser& operator=(const XmlParser&) = delete;

    // Processes every byte in order. False on the first error: the parser
    // cleans up and the rest of the chunk is dropped. When the handler calls
    // cleanup() during a delivery, the rest of the chunk is dropped too and
    // feed returns true.
    bool feed(std::string_view data);

    // Forgets any element under construction and returns to ParserStart.
    void cleanup();

    // Deepest nesting kept (the top-level element is depth 1): anything
    // deeper inside an element is dropped, and only a top-level element
    // beyond it is a parse error; and the largest top-level element in bytes
    // of input, beyond which is a parse error. Both take effect for the next
    // byte fed.
    void setMaxDepth(std::size_t depth) { maxDepth_ = depth; }
    void setMaxElementSize(std::size_t bytes) { maxElementSize_ = bytes; }
    std::size_t maxDepth() const { return maxDepth_; }
    std::size_t maxElementSize() const { return maxElementSize_; }

    ParserState state() const { return state_; }

private:
    void startElement(std::string_view rawName, bool entities);
    void startAttribute(std::string_view rawName, bool entities);
    void finishAttribute(const char* b, const char* e, bool entities);
    bool openElement();
    bool closeElement(std::string_view rawName, bool entities);
    void deliver();
    void reset();
    void recycle(XmlTag* top);

    XmlTagHandler* handler_;
    XmlTag* current_ = nullptr;
    XmlTag* root_ = nullptr;
    ParserState state_ = ParserStart;
    // The start tag being read: named, collecting attributes, not yet in the
    // tree (it joins it at its '>').
    XmlTag* pending_ = nullptr;
    bool pendingNameHadEntities_ = false;
    // Attributes of pending_ set so far; a recycled element's further ones
    // are leftovers whose strings are reused, and go at its '>'.
    std::size_t pendingAttributes_ = 0;
    // A name, attribute value or text cut by the end of a chunk waits here,
    // undecoded, for the rest; whole ones go from the chunk into the tree.
    std::string tagName_;
    std::string textBuffer_;
    std::string attrName_;
    std::string attrValue_;
    bool partHasEntities_ = false;
    DeclarationState declarationState_ = DeclarationNone;
    bool doubleQuoted_ = false;

    std::size_t maxDepth_ = kDefaultMaxDepth;
    std::size_t maxElementSize_ = kDefaultMaxElementSize;
    std::size_t depth_ = 0;
    std::size_t skipping_ = 0;  // open elements below the depth limit, dropped
    std::size_t elementBytes_ = 0;
    bool inFeed_ = false;
    bool abandoned_ = false;  // cleanup() was called from a handler during feed

    NodeArena arena_;
    // Elements of delivered trees kept with their buffers for the next
    // ones, in the order they were built (the next to use at the back), so
    // that a stream of alike stanzas refills the same strings without
    // touching the heap. Bounded in count and in what each keeps.
    static constexpr std::size_t kSpareElements = 32;
    std::vector<XmlTag*> spare_;
    const void* sparesBlock_ = nullptr;  // the arena block the spares were cut from
    std::vector<XmlTag*> walk_;
};

}  // namespace tern

#endif

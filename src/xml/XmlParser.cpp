#include "xml/XmlParser.h"

#include <cstring>

namespace tern {

namespace {

// Byte classes, one bit each, so that every run scan is a single table test.
enum : unsigned char {
    kSpace = 1,       // 9, 10, 13, 32
    kNameStop = 2,    // ends a start tag's name: space ! < ? / >
    kAttrStop = 4,    // ends an attribute name: space / < > =
    kEndStop = 8,     // ends an end tag's name: / < >
};

struct ClassTable {
    unsigned char c[256] = {};
    constexpr ClassTable() {
        for (unsigned char s : {9, 10, 13, 32}) c[s] |= kSpace | kNameStop | kAttrStop;
        for (unsigned char s : {'!', '<', '?', '/', '>'}) c[s] |= kNameStop;
        for (unsigned char s : {'/', '<', '>', '='}) c[s] |= kAttrStop;
        for (unsigned char s : {'/', '<', '>'}) c[s] |= kEndStop;
    }
};
constexpr ClassTable kClass;

inline bool isSpace(char ch) { return kClass.c[static_cast<unsigned char>(ch)] & kSpace; }

inline const char* scanUntil(const char* p, const char* end, unsigned char stopClass) {
    while (p != end && !(kClass.c[static_cast<unsigned char>(*p)] & stopClass)) ++p;
    return p;
}

// Moves or decodes wire text into its destination; most text has no '&'.
inline void assignDecoded(std::string& dst, std::string& src) {
    if (src.find('&') == std::string::npos) {
        dst.swap(src);
    } else {
        dst.clear();
        appendUnescaped(dst, src);
    }
    src.clear();
}

inline void assignDecoded(std::string& dst, const char* b, const char* e) {
    const std::string_view v(b, static_cast<std::size_t>(e - b));
    if (std::memchr(b, '&', v.size()) == nullptr) {
        dst.assign(b, e);
    } else {
        dst.clear();
        appendUnescaped(dst, v);
    }
}

}  // namespace

XmlParser::XmlParser(XmlTagHandler* handler) : handler_(handler) {}

XmlParser::~XmlParser() { delete root_; }

void XmlParser::reset() {
    delete root_;
    root_ = nullptr;
    current_ = nullptr;
    tagName_.clear();
    textBuffer_.clear();
    attrName_.clear();
    attrValue_.clear();
    pendingAttributes_.clear();
    state_ = ParserStart;
    declarationState_ = DeclarationNone;
    doubleQuoted_ = false;
    depth_ = 0;
    skipping_ = 0;
    elementBytes_ = 0;
}

void XmlParser::cleanup() {
    if (inFeed_) abandoned_ = true;
    reset();
}

void XmlParser::deliver() {
    if (handler_) handler_->handleXmlTag(root_);
    reset();
}

void XmlParser::finishAttribute() {
    if (pendingAttributes_.empty()) pendingAttributes_.reserve(4);
    std::string name, value;
    assignDecoded(name, attrName_);
    assignDecoded(value, attrValue_);
    pendingAttributes_.emplace_back(std::move(name), std::move(value));
}

void XmlParser::flushText() {
    if (current_ && skipping_ == 0) assignDecoded(current_->text_, textBuffer_);
    textBuffer_.clear();
}

bool XmlParser::openElement() {
    // A nameless element could not be written back; refuse it like any
    // other malformed markup.
    if (tagName_.empty()) return false;
    // Deeper than the limit inside a stanza (anyone may send one): the
    // subtree is skipped and the stanza goes on without it, instead of the
    // whole stream ending.
    if (skipping_ > 0 || (root_ && depth_ + 1 > maxDepth_)) {
        ++skipping_;
        pendingAttributes_.clear();
        return true;
    }
    if (depth_ + 1 > maxDepth_) return false;

    XmlTag* element = new XmlTag(XmlTag::Bare{});
    element->fromWire_ = true;
    if (tagName_.find('&') == std::string::npos)
        element->name_ = tagName_;
    else
        appendUnescaped(element->name_, tagName_);

    if (!root_) {
        root_ = element;
    } else {
        element->parent_ = current_;
        current_->children_.push_back(element);
    }
    current_ = element;
    ++depth_;

    if (!pendingAttributes_.empty()) {
        element->attributes_ = std::move(pendingAttributes_);
        pendingAttributes_.clear();
    }

    // The stream's header opens the stream; inside an element the same
    // name is just an element.
    if (root_ == element && tagName_ == std::string_view("stream:stream")) {
        deliver();
    } else if (tagName_ == std::string_view("xml") && declarationState_ == DeclarationClosing) {
        reset();  // the XML declaration is read and discarded
    }
    return true;
}

bool XmlParser::closeElement() {
    if (skipping_ > 0) {
        --skipping_;
        return true;
    }
    if (!root_ && tagName_ == std::string_view("stream:stream")) {
        if (handler_) handler_->handleStreamEnd();
        return true;
    }
    if (!current_) return false;
    // Names are compared decoded on both sides, so that what serialize()
    // writes for any parsed element parses back.
    if (tagName_.find('&') == std::string::npos) {
        if (current_->name_ != tagName_) return false;
    } else if (current_->name_ != unescapeXml(tagName_)) {
        return false;
    }
    if (current_->parent_) {
        current_ = current_->parent_;
        --depth_;
        return true;
    }
    deliver();
    return true;
}

bool XmlParser::feed(std::string_view data) {
    const char* p = data.data();
    const char* const end = p + data.size();

    struct FeedScope {
        XmlParser& parser;
        explicit FeedScope(XmlParser& x) : parser(x) {
            parser.inFeed_ = true;
            parser.abandoned_ = false;
        }
        ~FeedScope() { parser.inFeed_ = false; }
    } scope(*this);

    auto fail = [this]() {
        reset();
        return false;
    };

    while (p != end) {
        // Between top-level elements bytes are skipped and cost nothing; from
        // the '<' that starts one, every byte counts against the size limit.
        // A run never reads past the limit, so memory stays bounded.
        const bool counting = root_ != nullptr || state_ != ParserStart;
        const char* limit = end;
        if (counting) {
            const std::size_t budget =
                elementBytes_ < maxElementSize_ ? maxElementSize_ - elementBytes_ : 0;
            if (static_cast<std::size_t>(end - p) > budget) limit = p + budget + 1;
        }
        const char* const runStart = p;
        auto account = [&]() {
            if (!counting) return true;
            elementBytes_ += static_cast<std::size_t>(p - runStart);
            return elementBytes_ <= maxElementSize_;
        };
        // Appends a run of name bytes up to a byte of the stop class and
        // consumes that byte: it is returned, or -1 when the chunk (or the
        // size budget) ended first.
        auto nameRun = [&](unsigned char stopClass, std::string& into) -> int {
            const char* q = scanUntil(p, limit, stopClass);
            into.append(p, q);
            p = q;
            return p == limit ? -1 : static_cast<unsigned char>(*p++);
        };

        switch (state_) {
            case ParserStart: {
                tagName_.clear();
                const char* lt = static_cast<const char*>(
                    std::memchr(p, '<', static_cast<std::size_t>(limit - p)));
                p = lt ? lt + 1 : limit;
                if (!counting && lt) elementBytes_ = 1;  // the element starts at its '<'
                if (!account()) return fail();
                if (lt) state_ = ParserTagOpening;
                break;
            }

            case ParserTagOpening: {
                const char c = *p++;
                if (!account()) return fail();
                if (isSpace(c)) break;
                switch (c) {
                    case '!': case '<': case '>': return fail();
                    case '/': state_ = ParserEndTagOpening; break;
                    case '?':
                        declarationState_ = DeclarationOpen;
                        state_ = ParserTagName;
                        break;
                    default:
                        tagName_.push_back(c);
                        state_ = ParserTagName;
                        break;
                }
                break;
            }

            case ParserTagName: {
                const int c = nameRun(kNameStop, tagName_);
                if (!account()) return fail();
                if (c < 0) break;
                if (isSpace(static_cast<char>(c))) {
                    state_ = ParserInsideTag;
                } else if (c == '/') {
                    state_ = ParserEmptyTagClosing;
                } else if (c == '>') {
                    state_ = ParserContent;
                    if (!openElement()) return fail();
                    if (abandoned_) return true;
                } else {
                    return fail();  // ! < ?
                }
                break;
            }

            case ParserInsideTag: {
                const char c = *p++;
                if (!account()) return fail();
                if (isSpace(c)) break;
                switch (c) {
                    case '/': state_ = ParserEmptyTagClosing; break;
                    case '<': return fail();
                    case '>':
                        if (declarationState_ == DeclarationOpen) return fail();
                        state_ = ParserContent;
                        if (!openElement()) return fail();
                        if (abandoned_) return true;
                        break;
                    case '?':
                        if (declarationState_ != DeclarationOpen) return fail();
                        declarationState_ = DeclarationClosing;
                        break;
                    default:
                        attrName_.push_back(c);
                        state_ = ParserAttributeName;
                        break;
                }
                break;
            }

            case ParserAttributeName: {
                const int c = nameRun(kAttrStop, attrName_);
                if (!account()) return fail();
                if (c < 0) break;
                if (isSpace(static_cast<char>(c)))
                    state_ = ParserAfterAttributeName;
                else if (c == '=')
                    state_ = ParserAfterEquals;
                else
                    return fail();  // / < >
                break;
            }

            case ParserAfterAttributeName: {
                const char c = *p++;
                if (!account()) return fail();
                if (isSpace(c)) break;
                if (c != '=') return fail();
                state_ = ParserAfterEquals;
                break;
            }

            case ParserAfterEquals: {
                const char c = *p++;
                if (!account()) return fail();
                if (isSpace(c)) break;
                if (c == '"')
                    doubleQuoted_ = true;
                else if (c == '\'')
                    doubleQuoted_ = false;
                else
                    return fail();
                state_ = ParserAttributeValue;
                break;
            }

            case ParserAttributeValue: {
                const char quote = doubleQuoted_ ? '"' : '\'';
                const char* q = p;
                while (q != limit && *q != quote && *q != '<') ++q;
                if (q == limit) {
                    attrValue_.append(p, q);
                    p = q;
                    if (!account()) return fail();
                    break;
                }
                if (*q == '<') {
                    p = q + 1;
                    return fail();
                }
                if (attrValue_.empty()) {
                    // Whole value in this chunk: decode it straight into place.
                    if (pendingAttributes_.empty()) pendingAttributes_.reserve(4);
                    std::string name, value;
                    assignDecoded(name, attrName_);
                    assignDecoded(value, p, q);
                    pendingAttributes_.emplace_back(std::move(name), std::move(value));
                } else {
                    attrValue_.append(p, q);
                    finishAttribute();
                }
                attrName_.clear();
                attrValue_.clear();
                p = q + 1;
                if (!account()) return fail();
                doubleQuoted_ = false;
                state_ = ParserInsideTag;
                break;
            }

            case ParserEmptyTagClosing: {
                const char c = *p++;
                if (!account()) return fail();
                if (isSpace(c)) break;
                if (c != '>') return fail();
                if (!openElement()) return fail();
                if (abandoned_) return true;
                if (!closeElement()) return fail();
                if (abandoned_) return true;
                state_ = ParserStart;
                break;
            }

            case ParserContent: {
                tagName_.clear();
                const char* lt = static_cast<const char*>(
                    std::memchr(p, '<', static_cast<std::size_t>(limit - p)));
                if (!lt) {
                    textBuffer_.append(p, limit);
                    p = limit;
                    if (!account()) return fail();
                    break;
                }
                if (textBuffer_.empty()) {
                    if (current_ && skipping_ == 0) assignDecoded(current_->text_, p, lt);
                } else {
                    textBuffer_.append(p, lt);
                    flushText();
                }
                p = lt + 1;
                if (!account()) return fail();
                state_ = ParserTagOpening;
                break;
            }

            case ParserEndTagOpening: {
                const char c = *p++;
                if (!account()) return fail();
                if (isSpace(c)) break;
                if (c == '/' || c == '<' || c == '>') return fail();
                tagName_.push_back(c);
                state_ = ParserEndTagName;
                break;
            }

            case ParserEndTagName: {
                const int c = nameRun(kEndStop, tagName_);
                if (!account()) return fail();
                if (c < 0) break;
                if (c != '>') return fail();  // / <
                if (!closeElement()) return fail();
                if (abandoned_) return true;
                state_ = ParserStart;
                break;
            }
        }
    }
    return true;
}

}  // namespace tern

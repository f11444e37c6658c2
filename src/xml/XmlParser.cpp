#include "xml/XmlParser.h"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <typeinfo>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tern {

namespace {

// Byte classes, one bit each, so that every run scan is a single table test.
enum : unsigned char {
    kSpace = 1,     // 9, 10, 13, 32
    kNameStop = 2,  // ends a start tag's name: space ! < ? / >
    kAttrStop = 4,  // ends an attribute name: space / < > =
    kEndStop = 8,   // ends an end tag's name: / < >
    kEntity = 16,   // '&': the name needs decoding
};

struct ClassTable {
    unsigned char c[256] = {};
    constexpr ClassTable() {
        for (unsigned char s : {9, 10, 13, 32}) c[s] |= kSpace | kNameStop | kAttrStop;
        for (unsigned char s : {'!', '<', '?', '/', '>'}) c[s] |= kNameStop;
        for (unsigned char s : {'/', '<', '>', '='}) c[s] |= kAttrStop;
        for (unsigned char s : {'/', '<', '>'}) c[s] |= kEndStop;
        c[static_cast<unsigned char>('&')] |= kEntity;
    }
};
constexpr ClassTable kClass;

// Every byte with a class is below '@', so a name's letters are passed over
// sixteen at a time and only the few bytes below it are looked up.
constexpr unsigned char kLastClassed = '?';

inline unsigned char classOf(char ch) { return kClass.c[static_cast<unsigned char>(ch)]; }
inline bool isSpace(char ch) { return classOf(ch) & kSpace; }

// The first byte of [p, stop) in stopClass, or stop; notes an '&' on the way.
// Reads may go on past stop up to end, the end of the chunk.
inline const char* scanName(const char* p, const char* stop, const char* end, unsigned char stopClass,
                            bool& entities) {
#if defined(__SSE2__)
    const __m128i top = _mm_set1_epi8(static_cast<char>(kLastClassed));
    while (p < stop && end - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        unsigned low = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(x, top), x)));
        while (low) {
            const char* at = p + __builtin_ctz(low);
            if (at >= stop) return stop;
            const unsigned char k = classOf(*at);
            if (k & stopClass) return at;
            if (k & kEntity) entities = true;
            low &= low - 1;
        }
        p += 16;
    }
#else
    (void)end;
#endif
    for (; p < stop; ++p) {
        const unsigned char k = classOf(*p);
        if (k & stopClass) return p;
        if (k & kEntity) entities = true;
    }
    return stop;
}

// The end of an attribute value: its quote or a '<' in [p, stop), or stop;
// notes an '&' on the way. Reads may go on past stop up to end.
inline const char* scanValue(const char* p, const char* stop, const char* end, char quote, bool& entities) {
#if defined(__SSE2__)
    const __m128i q = _mm_set1_epi8(quote);
    const __m128i lt = _mm_set1_epi8('<');
    const __m128i amp = _mm_set1_epi8('&');
    while (p < stop && end - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        unsigned hit = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, q), _mm_cmpeq_epi8(x, lt)), _mm_cmpeq_epi8(x, amp))));
        while (hit) {
            const char* at = p + __builtin_ctz(hit);
            if (at >= stop) return stop;
            if (*at != '&') return at;
            entities = true;
            hit &= hit - 1;
        }
        p += 16;
    }
#else
    (void)end;
#endif
    for (; p < stop; ++p) {
        const char c = *p;
        if (c == quote || c == '<') return p;
        if (c == '&') entities = true;
    }
    return stop;
}

// The first '<' of character data in [p, stop), or stop; notes an '&'
// before it. Short texts, the common ones, take one pass instead of a
// memchr for each byte.
inline const char* scanText(const char* p, const char* stop, bool& entities) {
#if defined(__SSE2__)
    const __m128i lt = _mm_set1_epi8('<');
    const __m128i amp = _mm_set1_epi8('&');
    while (stop - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned l = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, lt)));
        const unsigned a = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, amp)));
        if (a && (!l || __builtin_ctz(a) < __builtin_ctz(l))) {
            entities = true;
            const char* q = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(stop - p)));
            return q ? q : stop;
        }
        if (l) return p + __builtin_ctz(l);
        p += 16;
    }
#endif
    for (; p < stop; ++p) {
        if (*p == '<') return p;
        if (*p == '&') entities = true;
    }
    return stop;
}

inline bool hasEntities(const char* b, const char* e) {
    return std::memchr(b, '&', static_cast<std::size_t>(e - b)) != nullptr;
}

// Wire text into its place, decoded where it has an '&'; a recycled
// string's buffer is reused.
inline void assignWire(std::string& dst, const char* b, const char* e, bool entities) {
    if (entities) {
        dst.clear();
        appendUnescaped(dst, std::string_view(b, static_cast<std::size_t>(e - b)));
    } else if (static_cast<std::size_t>(e - b) > dst.capacity()) {
        dst = std::string(b, e);
    } else {
        dst.clear();
        dst.append(b, static_cast<std::size_t>(e - b));  // cheaper than assign, which allows for overlap
    }
}

// A name into a recycled element's string: the same name comes back stanza
// after stanza, and comparing is cheaper than writing it again.
inline void assignName(std::string& dst, std::string_view raw, bool entities) {
    if (!entities && dst.size() == raw.size() && std::memcmp(dst.data(), raw.data(), raw.size()) == 0) return;
    assignWire(dst, raw.data(), raw.data() + raw.size(), entities);
}

constexpr std::size_t kKeptScratchBytes = 4096;

inline void trim(std::string& s) {
    if (s.capacity() > XmlTag::kKeptBytes) std::string().swap(s);
}

}  // namespace

XmlParser::XmlParser(XmlTagHandler* handler) : handler_(handler) {}

XmlParser::~XmlParser() {
    delete pending_;
    delete root_;
    for (XmlTag* t : spare_) delete t;
}

// Takes a tree apart into spare_, in the order it was built; what does not
// fit, and anything a handler put in that is not a plain element, is deleted.
void XmlParser::recycle(XmlTag* top) {
    if (!top) return;
    // Only elements of the block the arena cuts from now are kept: one of
    // an older block would keep that block alive for as long as it waits.
    if (arena_.currentBlock() != sparesBlock_) {
        sparesBlock_ = arena_.currentBlock();
        const auto stale = std::remove_if(spare_.begin(), spare_.end(), [this](XmlTag* t) {
            if (arena_.inCurrentBlock(t)) return false;
            delete t;
            return true;
        });
        spare_.erase(stale, spare_.end());
    }
    const std::size_t before = spare_.size();
    walk_.clear();
    walk_.push_back(top);
    while (!walk_.empty()) {
        XmlTag* t = walk_.back();
        walk_.pop_back();
        if (spare_.size() >= kSpareElements || typeid(*t) != typeid(XmlTag) || !arena_.inCurrentBlock(t)) {
            delete t;  // with whatever is still below it
            continue;
        }
        TagList& children = t->children_;
        if (walk_.size() + children.size() <= kSpareElements) {
            for (auto it = children.rbegin(); it != children.rend(); ++it)
                if (*it) walk_.push_back(*it);
        } else {
            for (XmlTag* c : children) delete c;
        }
        children.clear();
        if (children.capacity() > XmlTag::kKeptEntries) TagList().swap(children);
        if (t->attributes_.size() > XmlTag::kKeptEntries) AttributeList().swap(t->attributes_);
        for (Attribute& a : t->attributes_) {
            trim(a.first);
            trim(a.second);
        }
        trim(t->name_);
        t->text_.clear();
        trim(t->text_);
        t->parent_ = nullptr;
        t->kind_ = 0;
        t->fromWire_ = true;
        spare_.push_back(t);
    }
    std::reverse(spare_.begin() + static_cast<std::ptrdiff_t>(before), spare_.end());
}

void XmlParser::reset() {
    recycle(pending_);
    pending_ = nullptr;
    recycle(root_);
    root_ = nullptr;
    current_ = nullptr;
    // The pieces of a split name, value or text: cleared, and let go when
    // one large element left them big.
    for (std::string* scratch : {&tagName_, &textBuffer_, &attrName_, &attrValue_}) {
        scratch->clear();
        if (scratch->capacity() > kKeptScratchBytes) std::string().swap(*scratch);
    }
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

void XmlParser::startElement(std::string_view rawName, bool entities) {
    XmlTag* element;
    if (!spare_.empty()) {
        element = spare_.back();
        spare_.pop_back();
    } else {
        element = new (arena_) XmlTag(XmlTag::Bare{});
        element->fromWire_ = true;
    }
    pending_ = element;
    pendingAttributes_ = 0;
    pendingNameHadEntities_ = entities;
    assignName(element->name_, rawName, entities);
}

void XmlParser::startAttribute(std::string_view rawName, bool entities) {
    AttributeList& list = pending_->attributes_;
    if (pendingAttributes_ < list.size()) {
        assignName(list[pendingAttributes_].first, rawName, entities);
    } else {
        if (list.capacity() == 0) list.reserve(4);
        if (entities) {
            list.emplace_back(unescapeXml(rawName), std::string());
        } else {
            list.emplace_back(std::piecewise_construct, std::forward_as_tuple(rawName.data(), rawName.size()),
                              std::forward_as_tuple());
        }
    }
    ++pendingAttributes_;
}

void XmlParser::finishAttribute(const char* b, const char* e, bool entities) {
    assignWire(pending_->attributes_[pendingAttributes_ - 1].second, b, e, entities);
}

bool XmlParser::openElement() {
    XmlTag* element = pending_;
    AttributeList& attributes = element->attributes_;
    if (attributes.size() > pendingAttributes_)
        attributes.erase(attributes.begin() + static_cast<std::ptrdiff_t>(pendingAttributes_), attributes.end());
    // A nameless element could not be written back; refuse it like any
    // other malformed markup.
    if (element->name_.empty()) return false;
    // Deeper than the limit inside a stanza (anyone may send one): the
    // subtree is skipped and the stanza goes on without it, instead of the
    // whole stream ending.
    if (skipping_ > 0 || (root_ && depth_ + 1 > maxDepth_)) {
        ++skipping_;
        recycle(pending_);
        pending_ = nullptr;
        return true;
    }
    if (depth_ + 1 > maxDepth_) return false;
    pending_ = nullptr;

    if (!root_) {
        root_ = element;
    } else {
        element->parent_ = current_;
        TagList& siblings = current_->children_;
        if (siblings.capacity() == 0) siblings.reserve(4);
        siblings.push_back(element);
    }
    current_ = element;
    ++depth_;

    // The stream's header opens the stream; inside an element the same
    // name is just an element.
    if (!pendingNameHadEntities_) {
        const std::string& name = element->name_;
        if (root_ == element && name == std::string_view("stream:stream")) {
            deliver();
        } else if (declarationState_ == DeclarationClosing && name == std::string_view("xml")) {
            reset();  // the XML declaration is read and discarded
        }
    }
    return true;
}

bool XmlParser::closeElement(std::string_view rawName, bool entities) {
    if (skipping_ > 0) {
        --skipping_;
        return true;
    }
    if (!root_ && rawName == std::string_view("stream:stream")) {
        if (handler_) handler_->handleStreamEnd();
        return true;
    }
    if (!current_) return false;
    // Names are compared decoded on both sides, so that what serialize()
    // writes for any parsed element parses back.
    if (entities ? current_->name_ != unescapeXml(rawName) : current_->name_ != rawName) return false;
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

    // Between top-level elements bytes are skipped and cost nothing; from
    // the '<' that starts one, every byte counts against the size limit.
    // The count is elementBytes_ at countFrom plus what lies between; no
    // scan goes past stop, where the limit runs out, so memory stays
    // bounded, and a byte needed there is an error.
    const char* countFrom = p;
    std::size_t counted = elementBytes_;
    const char* stop = end;
    auto limitFrom = [&](const char* from, std::size_t used) {
        const std::size_t budget = used < maxElementSize_ ? maxElementSize_ - used : 0;
        return static_cast<std::size_t>(end - from) > budget ? from + budget : end;
    };
    if (root_ || state_ != ParserStart) stop = limitFrom(p, counted);

    auto fail = [this]() {
        reset();
        return false;
    };

    while (p != end) {
        if (state_ == ParserStart && !root_) {
            const char* lt = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(end - p)));
            if (!lt) return true;
            countFrom = lt;
            counted = 0;
            p = lt + 1;
            stop = limitFrom(p, 1);  // the '<' itself is let in even by a limit of 0
            state_ = ParserTagOpening;
            continue;
        }
        if (p == stop) return fail();  // the element outgrew its limit

        switch (state_) {
            case ParserStart:
            betweenChildren: {  // between the children of an open element
                const char* lt = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(stop - p)));
                if (!lt) {
                    p = stop;
                    break;
                }
                p = lt + 1;
                state_ = ParserTagOpening;
                if (p == stop) break;
            }
                [[fallthrough]];

            // The usual next state is entered directly rather than through
            // the loop, whenever a byte is left before stop.
            case ParserTagOpening:
            tagOpening: {
                const char c = *p++;
                if (isSpace(c)) break;
                const char* name = p - 1;
                switch (c) {
                    case '!': case '<': case '>': return fail();
                    case '/':
                        state_ = ParserEndTagOpening;
                        if (p != stop) goto endTagOpening;
                        continue;
                    case '?':
                        declarationState_ = DeclarationOpen;
                        name = p;
                        break;
                    default: break;
                }
                bool entities = c == '&';
                const char* q = scanName(p, stop, end, kNameStop, entities);
                if (q == stop) {
                    tagName_.assign(name, q);
                    partHasEntities_ = entities;
                    state_ = ParserTagName;
                    p = q;
                    break;
                }
                startElement(std::string_view(name, static_cast<std::size_t>(q - name)), entities);
                p = q;
                goto tagNameEnds;
            }

            case ParserTagName: {
                bool entities = false;
                const char* q = scanName(p, stop, end, kNameStop, entities);
                tagName_.append(p, q);
                partHasEntities_ |= entities;
                p = q;
                if (q == stop) break;
                startElement(tagName_, partHasEntities_);
                tagName_.clear();
            }
            tagNameEnds : {
                const char c = *p++;
                if (isSpace(c)) {
                    state_ = ParserInsideTag;
                    if (p != stop) goto insideTag;
                } else if (c == '/') {
                    state_ = ParserEmptyTagClosing;
                } else if (c == '>') {
                    state_ = ParserContent;
                    if (!openElement()) return fail();
                    if (abandoned_) return true;
                    if (state_ == ParserContent && p != stop) goto content;
                } else {
                    return fail();  // ! < ?
                }
                break;
            }

            case ParserInsideTag:
            insideTag: {
                char c = *p++;
                while (isSpace(c)) {
                    if (p == stop) goto next;
                    c = *p++;
                }
                switch (c) {
                    case '/': state_ = ParserEmptyTagClosing; continue;
                    case '<': return fail();
                    case '>':
                        if (declarationState_ == DeclarationOpen) return fail();
                        state_ = ParserContent;
                        if (!openElement()) return fail();
                        if (abandoned_) return true;
                        if (state_ == ParserContent && p != stop) goto content;
                        continue;
                    case '?':
                        if (declarationState_ != DeclarationOpen) return fail();
                        declarationState_ = DeclarationClosing;
                        continue;
                    default: break;
                }
                // Any other byte, '=' included, starts an attribute name.
                const char* name = p - 1;
                bool entities = c == '&';
                const char* q = scanName(p, stop, end, kAttrStop, entities);
                if (q == stop) {
                    attrName_.assign(name, q);
                    partHasEntities_ = entities;
                    state_ = ParserAttributeName;
                    p = q;
                    break;
                }
                startAttribute(std::string_view(name, static_cast<std::size_t>(q - name)), entities);
                p = q;
                goto attributeNameEnds;
            }

            case ParserAttributeName: {
                bool entities = false;
                const char* q = scanName(p, stop, end, kAttrStop, entities);
                attrName_.append(p, q);
                partHasEntities_ |= entities;
                p = q;
                if (q == stop) break;
                startAttribute(attrName_, partHasEntities_);
                attrName_.clear();
            }
            attributeNameEnds : {
                const char c = *p++;
                if (isSpace(c)) {
                    state_ = ParserAfterAttributeName;
                } else if (c == '=') {
                    state_ = ParserAfterEquals;
                    if (p != stop) goto afterEquals;
                } else {
                    return fail();  // / < >
                }
                break;
            }

            case ParserAfterAttributeName: {
                const char c = *p++;
                if (isSpace(c)) break;
                if (c != '=') return fail();
                state_ = ParserAfterEquals;
                break;
            }

            case ParserAfterEquals:
            afterEquals: {
                const char c = *p++;
                if (isSpace(c)) break;
                if (c == '"')
                    doubleQuoted_ = true;
                else if (c == '\'')
                    doubleQuoted_ = false;
                else
                    return fail();
                state_ = ParserAttributeValue;
                partHasEntities_ = false;
                if (p == stop) break;
            }
                [[fallthrough]];

            case ParserAttributeValue: {
                bool entities = false;
                const char* q = scanValue(p, stop, end, doubleQuoted_ ? '"' : '\'', entities);
                if (q == stop) {
                    attrValue_.append(p, q);
                    partHasEntities_ |= entities;
                    p = q;
                    break;
                }
                if (*q == '<') return fail();
                if (attrValue_.empty()) {
                    finishAttribute(p, q, entities);  // the whole value came in this chunk
                } else {
                    attrValue_.append(p, q);
                    finishAttribute(attrValue_.data(), attrValue_.data() + attrValue_.size(),
                                    entities || partHasEntities_);
                    attrValue_.clear();
                }
                p = q + 1;
                doubleQuoted_ = false;
                state_ = ParserInsideTag;
                if (p != stop) goto insideTag;
                break;
            }

            case ParserEmptyTagClosing: {
                const char c = *p++;
                if (isSpace(c)) break;
                if (c != '>') return fail();
                if (!openElement()) return fail();
                if (abandoned_) return true;
                if (skipping_ > 0) {  // an empty element below the depth limit
                    --skipping_;
                    state_ = ParserStart;
                    break;
                }
                // The stream header and the declaration are dealt with at
                // their '>': nothing is left open to close.
                if (!current_) return fail();
                state_ = ParserStart;
                if (current_->parent_) {
                    current_ = current_->parent_;
                    --depth_;
                    if (p != stop) goto betweenChildren;
                } else {
                    deliver();
                    if (abandoned_) return true;
                }
                break;
            }

            case ParserContent:
            content: {
                bool entities = false;
                const char* lt = scanText(p, stop, entities);
                if (lt == stop) {
                    textBuffer_.append(p, stop);
                    p = stop;
                    break;
                }
                if (textBuffer_.empty()) {
                    if (current_ && skipping_ == 0) assignWire(current_->text_, p, lt, entities);
                } else {
                    textBuffer_.append(p, lt);
                    if (current_ && skipping_ == 0) {
                        const char* b = textBuffer_.data();
                        const char* e = b + textBuffer_.size();
                        if (hasEntities(b, e))
                            assignWire(current_->text_, b, e, true);
                        else
                            current_->text_.swap(textBuffer_);
                    }
                    textBuffer_.clear();
                }
                p = lt + 1;
                state_ = ParserTagOpening;
                if (p != stop) goto tagOpening;
                break;
            }

            case ParserEndTagOpening:
            endTagOpening: {
                const char c = *p++;
                if (isSpace(c)) break;
                if (c == '/' || c == '<' || c == '>') return fail();
                const char* name = p - 1;
                bool entities = c == '&';
                const char* q = scanName(p, stop, end, kEndStop, entities);
                if (q == stop) {
                    tagName_.assign(name, q);
                    partHasEntities_ = entities;
                    state_ = ParserEndTagName;
                    p = q;
                    break;
                }
                p = q + 1;
                if (*q != '>') return fail();  // / <
                if (!closeElement(std::string_view(name, static_cast<std::size_t>(q - name)), entities))
                    return fail();
                if (abandoned_) return true;
                state_ = ParserStart;
                if (root_ && p != stop) goto betweenChildren;
                break;
            }

            case ParserEndTagName: {
                bool entities = false;
                const char* q = scanName(p, stop, end, kEndStop, entities);
                tagName_.append(p, q);
                partHasEntities_ |= entities;
                p = q;
                if (q == stop) break;
                ++p;
                if (*q != '>') return fail();  // / <
                if (!closeElement(tagName_, partHasEntities_)) return fail();
                if (abandoned_) return true;
                tagName_.clear();
                state_ = ParserStart;
                break;
            }
        }
    next:;
    }
    if (root_ || state_ != ParserStart) elementBytes_ = counted + static_cast<std::size_t>(p - countFrom);
    return true;
}

}  // namespace tern

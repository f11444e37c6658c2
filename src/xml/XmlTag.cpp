#include "xml/XmlTag.h"

#include <cstring>

#include "xml/NodeArena.h"

namespace tern {

namespace {

// What escapeXml does with each byte: copy it, write an entity, write
// U+FFFD instead (a C0 control XML cannot carry), or check the UTF-8
// sequence it starts.
enum ByteKind : unsigned char { kPlain, kSpecial, kForbidden, kMultibyte };

constexpr ByteKind kindOf(unsigned char c) {
    if (c == '&' || c == '<' || c == '>' || c == '\'' || c == '"') return kSpecial;
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return kForbidden;
    return c >= 0x80 ? kMultibyte : kPlain;
}

struct EscapeTable {
    ByteKind kind[256] = {};
    constexpr EscapeTable() {
        for (int c = 0; c < 256; ++c) kind[c] = kindOf(static_cast<unsigned char>(c));
    }
};
constexpr EscapeTable kEscape;

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence at p that XML can carry
// (not U+FFFE or U+FFFF), or 0 with bad set to the bytes to replace by one
// U+FFFD: the maximal ill-formed subpart, as the host's converters count.
inline std::size_t checkSequence(const unsigned char* p, const unsigned char* end, std::size_t& bad) {
    const unsigned char c = *p;
    std::size_t length;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
        bad = 1;
        return 0;
    }
    std::size_t taken = 1;
    for (; taken < length; ++taken) {
        if (p + taken >= end) break;
        const unsigned char b = p[taken];
        if (taken == 1 ? (b < lo || b > hi) : (b & 0xC0) != 0x80) break;
    }
    if (taken < length) {
        bad = taken;
        return 0;
    }
    if (c == 0xEF && p[1] == 0xBF && (p[2] == 0xBE || p[2] == 0xBF)) {
        bad = 3;
        return 0;
    }
    return length;
}

// The character the entity body at p (just after "&", n bytes left) stands
// for, and the body's length; 0 when it is none of the five named entities
// or the numeric forms of < > ' " that escapeXml's readers send.
inline std::size_t decodeEntity(const char* p, std::size_t n, char& out) {
    if (n < 3) return 0;
    switch (p[0]) {
        case 'l':
        case 'g':
            if (p[1] != 't' || p[2] != ';') return 0;
            out = p[0] == 'l' ? '<' : '>';
            return 3;
        case 'a':
            if (n >= 4 && p[1] == 'm' && p[2] == 'p' && p[3] == ';') {
                out = '&';
                return 4;
            }
            if (n >= 5 && p[1] == 'p' && p[2] == 'o' && p[3] == 's' && p[4] == ';') {
                out = '\'';
                return 5;
            }
            return 0;
        case 'q':
            if (n < 5 || p[1] != 'u' || p[2] != 'o' || p[3] != 't' || p[4] != ';') return 0;
            out = '"';
            return 5;
        case '#':
            if (n >= 4 && p[3] == ';') {  // decimal: 60 62 39 34
                if (p[1] == '6' && (p[2] == '0' || p[2] == '2'))
                    out = p[2] == '0' ? '<' : '>';
                else if (p[1] == '3' && (p[2] == '9' || p[2] == '4'))
                    out = p[2] == '9' ? '\'' : '"';
                else
                    return 0;
                return 4;
            }
            if (n >= 5 && (p[1] == 'x' || p[1] == 'X') && p[4] == ';') {  // hex: 3c 3e 27 22, either case
                if (p[2] == '3' && (p[3] == 'c' || p[3] == 'C'))
                    out = '<';
                else if (p[2] == '3' && (p[3] == 'e' || p[3] == 'E'))
                    out = '>';
                else if (p[2] == '2' && (p[3] == '7' || p[3] == '2'))
                    out = p[3] == '7' ? '\'' : '"';
                else
                    return 0;
                return 5;
            }
            return 0;
        default:
            return 0;
    }
}

}  // namespace

void appendEscaped(std::string& out, std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    const auto* run = p;
    while (p != end) {
        const ByteKind k = kEscape.kind[*p];
        if (k == kPlain) {
            ++p;
            continue;
        }
        std::size_t skip = 1;
        const char* replacement;
        std::size_t n;
        if (k == kMultibyte) {
            // Most text outside ASCII: two bytes, or three that are no
            // surrogate and not U+FFFE or U+FFFF (E1-EC, EE).
            const unsigned char c = *p;
            if (c >= 0xC2 && c <= 0xDF && end - p >= 2 && (p[1] & 0xC0) == 0x80) {
                p += 2;
                continue;
            }
            if (c >= 0xE1 && c <= 0xEE && c != 0xED && end - p >= 3 && (p[1] & 0xC0) == 0x80 &&
                (p[2] & 0xC0) == 0x80) {
                p += 3;
                continue;
            }
            const std::size_t length = checkSequence(p, end, skip);
            if (length) {
                p += length;
                continue;
            }
            replacement = kReplacement;
            n = 3;
        } else if (k == kForbidden) {
            replacement = kReplacement;
            n = 3;
        } else {
            switch (*p) {
                case '&': replacement = "&amp;", n = 5; break;
                case '<': replacement = "&lt;", n = 4; break;
                case '>': replacement = "&gt;", n = 4; break;
                case '\'': replacement = "&apos;", n = 6; break;
                default: replacement = "&quot;", n = 6; break;
            }
        }
        out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
        out.append(replacement, n);
        p += skip;
        run = p;
    }
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(end - run));
}

void appendUnescaped(std::string& out, std::string_view text) {
    const char* amp = static_cast<const char*>(std::memchr(text.data(), '&', text.size()));
    const std::size_t base = out.size();
    out.append(text.data(), text.size());
    if (!amp) return;
    // Decoded where it now lies: entities only ever shrink, so the write
    // position never passes the read position.
    char* const s = &out[0];
    char* w = s + base + (amp - text.data());
    const char* r = w;
    const char* const end = s + out.size();
    while (r != end) {  // r is at an '&'
        char c = '&';
        const std::size_t n = decodeEntity(r + 1, static_cast<std::size_t>(end - r - 1), c);
        *w++ = c;
        r += 1 + n;
        const char* next = static_cast<const char*>(std::memchr(r, '&', static_cast<std::size_t>(end - r)));
        if (!next) next = end;
        const std::size_t run = static_cast<std::size_t>(next - r);
        if (w != r) std::memmove(w, r, run);
        w += run;
        r = next;
    }
    out.resize(static_cast<std::size_t>(w - s));
}

std::string escapeXml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    appendEscaped(out, text);
    return out;
}

std::string unescapeXml(std::string_view text) {
    if (std::memchr(text.data(), '&', text.size()) == nullptr) return std::string(text);
    std::string out;
    out.reserve(text.size());
    appendUnescaped(out, text);
    return out;
}

namespace {
std::string decodedIf(bool fromWire, const std::string& s) {
    return fromWire ? unescapeXml(s) : s;
}
}  // namespace

XmlTag::XmlTag(const std::string& name, const std::string& text, bool fromWire)
    : name_(decodedIf(fromWire, name)), text_(decodedIf(fromWire, text)), fromWire_(fromWire) {}

XmlTag::XmlTag(XmlTag* parent, const std::string& name, const std::string& text, bool fromWire)
    : XmlTag(name, text, fromWire) {
    parent_ = parent;
    if (parent) parent->appendChild(this);
}

XmlTag::XmlTag(XmlTag* parent, const std::string& name, const std::string& attrName,
               const std::string& attrValue, bool fromWire)
    : XmlTag(parent, name, std::string(), fromWire) {
    setAttribute(attrName, attrValue);
}

XmlTag::~XmlTag() {
    // Children are deleted leaves first, walking down and back up without
    // recursion or a work list; on the way down each child's parent link is
    // pointed at the element it was taken from (the caller may have put a
    // child into children() without setting it).
    XmlTag* at = this;
    for (;;) {
        if (!at->children_.empty()) {
            XmlTag* child = at->children_.back();
            at->children_.pop_back();
            if (!child) continue;
            if (child->children_.empty()) {
                delete child;
            } else {
                child->parent_ = at;
                at = child;
            }
            continue;
        }
        if (at == this) break;
        XmlTag* up = at->parent_;
        delete at;
        at = up;
    }
}

void* XmlTag::operator new(std::size_t size) { return NodeArena::allocateOnHeap(size); }

void* XmlTag::operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return NodeArena::allocateOnHeap(size);
    } catch (...) {
        return nullptr;
    }
}

void* XmlTag::operator new(std::size_t size, NodeArena& arena) { return arena.allocate(size); }

void XmlTag::operator delete(void* p) noexcept { NodeArena::release(p); }

void XmlTag::operator delete(void* p, const std::nothrow_t&) noexcept { NodeArena::release(p); }

void XmlTag::operator delete(void* p, NodeArena&) noexcept { NodeArena::release(p); }

void XmlTag::exchangeContentWith(XmlTag& other) {
    name_.swap(other.name_);
    text_.swap(other.text_);
    attributes_.swap(other.attributes_);
    children_.swap(other.children_);
    for (XmlTag* c : children_) c->parent_ = this;
    for (XmlTag* c : other.children_) c->parent_ = &other;
}

std::string_view XmlTag::lookupKey(const std::string& key, std::string& scratch) const {
    if (!fromWire_ || key.find('&') == std::string::npos) return key;
    scratch = unescapeXml(key);
    return scratch;
}

const std::string* XmlTag::findAttribute(std::string_view name) const {
    for (const Attribute& a : attributes_)
        if (a.first == name) return &a.second;
    return nullptr;
}

bool XmlTag::matchesAttribute(std::string_view name, std::string_view value) const {
    if (name.empty()) return true;
    for (const Attribute& a : attributes_)
        if (a.first == name && (value.empty() || a.second == value)) return true;
    return false;
}

std::string XmlTag::getAttribute(const std::string& name) const {
    std::string scratch;
    const std::string* v = findAttribute(lookupKey(name, scratch));
    return v ? *v : std::string();
}

void XmlTag::setAttribute(const std::string& name, const std::string& value) {
    if (name.empty() || value.empty()) return;
    std::string n = decodedIf(fromWire_, name);
    std::string v = decodedIf(fromWire_, value);
    for (Attribute& a : attributes_) {
        if (a.first == n) {
            a.second = std::move(v);
            return;
        }
    }
    attributes_.emplace_back(std::move(n), std::move(v));
}

void XmlTag::setAttribute(const std::string& name, int value) {
    if (name.empty()) return;
    setAttribute(name, std::to_string(value));
}

void XmlTag::setAttribute(const std::string& name, long value) {
    setAttribute(name, static_cast<int>(value));
}

void XmlTag::replaceAttributes(const AttributeList& list) {
    if (&list == &attributes_) return;
    attributes_ = list;
}

void XmlTag::appendChild(XmlTag* child) {
    if (!child) return;
    child->parent_ = this;
    children_.push_back(child);
}

void XmlTag::appendChildCopy(const XmlTag* child) {
    if (child) appendChild(child->clone());
}

void XmlTag::setText(const std::string& text) { text_ = decodedIf(fromWire_, text); }

void XmlTag::appendText(const std::string& text) {
    if (fromWire_)
        appendUnescaped(text_, text);
    else
        text_ += text;
}

XmlTag* XmlTag::firstChild(const std::string& name, const std::string& attrName,
                           const std::string& attrValue) const {
    if (name.empty()) return nullptr;
    std::string scratch;
    const std::string_view key = lookupKey(name, scratch);
    for (XmlTag* c : children_)
        if (c->name_ == key && c->hasAttribute(attrName, attrValue)) return c;
    return nullptr;
}

XmlTag* XmlTag::firstChild(const std::string& name) const {
    std::string scratch;
    const std::string_view key = lookupKey(name, scratch);
    for (XmlTag* c : children_)
        if (c->name_ == key) return c;
    return nullptr;
}

XmlTag* XmlTag::firstChildWithAttribute(const std::string& attrName,
                                        const std::string& attrValue) const {
    for (XmlTag* c : children_)
        if (c->hasAttribute(attrName, attrValue)) return c;
    return nullptr;
}

bool XmlTag::hasChild(const std::string& name, const std::string& attrName,
                      const std::string& attrValue) const {
    return firstChild(name, attrName, attrValue) != nullptr;
}

bool XmlTag::hasChildWithAttribute(const std::string& attrName,
                                   const std::string& attrValue) const {
    return firstChildWithAttribute(attrName, attrValue) != nullptr;
}

bool XmlTag::hasAttribute(const std::string& name, const std::string& value) const {
    std::string s1, s2;
    return matchesAttribute(lookupKey(name, s1), lookupKey(value, s2));
}

bool XmlTag::hasChildWithText(const std::string& name, const std::string& text) const {
    std::string s1, s2;
    const std::string_view n = lookupKey(name, s1);
    const std::string_view t = lookupKey(text, s2);
    for (const XmlTag* c : children_)
        if (c->name_ == n && (t.empty() || c->text_ == t)) return true;
    return false;
}

TagList XmlTag::childrenNamed(const std::string& name) const {
    std::string scratch;
    const std::string_view key = lookupKey(name, scratch);
    TagList out;
    for (XmlTag* c : children_)
        if (c->name_ == key) out.push_back(c);
    return out;
}

XmlTag* XmlTag::clone() const {
    XmlTag* copy = new XmlTag(Bare{});
    copy->name_ = name_;
    copy->text_ = text_;
    copy->attributes_ = attributes_;
    copy->kind_ = kind_;
    copy->fromWire_ = fromWire_;
    copy->children_.reserve(children_.size());
    for (const XmlTag* c : children_) copy->appendChild(c->clone());
    return copy;
}

void XmlTag::serializeTo(std::string& out) const {
    out.push_back('<');
    appendEscaped(out, name_);
    for (const Attribute& a : attributes_) {
        out.push_back(' ');
        appendEscaped(out, a.first);
        out.append("='", 2);
        appendEscaped(out, a.second);
        out.push_back('\'');
    }
    if (children_.empty() && text_.empty()) {
        out.append("/>", 2);
        return;
    }
    out.push_back('>');
    if (!children_.empty()) {
        for (const XmlTag* c : children_) c->serializeTo(out);
    } else {
        appendEscaped(out, text_);
    }
    out.append("</", 2);
    appendEscaped(out, name_);
    out.push_back('>');
}

std::string XmlTag::serialize() const {
    std::string out;
    serializeTo(out);
    return out;
}

}  // namespace tern

// The in-memory XML element used for everything that crosses the wire.
//
// Deliberately small: a name, ordered attributes, one text string, owned
// children, a parent link, a stanza kind and a flag for elements built from
// wire data. No namespace processing, no mixed content, no comments.
#ifndef TERN_XML_XMLTAG_H
#define TERN_XML_XMLTAG_H

#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tern {

class XmlTag;
class XmlParser;
class NodeArena;

// Attributes in the order they were first set. Duplicates are possible when
// they come from the wire or from replaceAttributes; lookups take the first.
using Attribute = std::pair<std::string, std::string>;
using AttributeList = std::vector<Attribute>;

// Child lists hold raw pointers: an element owns the children in its own list,
// while lists returned by childrenNamed() only borrow.
using TagList = std::vector<XmlTag*>;

// The system's one escaping pair. escapeXml replaces & < > ' " by their
// entities, and writes U+FFFD for what XML cannot carry (C0 controls other
// than tab, line feed and carriage return, U+FFFE, U+FFFF, and each
// ill-formed UTF-8 part), so that nothing put into an element can break the
// stream; unescapeXml decodes the five named entities and the numeric forms
// of < > ' " only (see XmlTag.cpp for the exact list), so that no reference
// from the wire becomes a character XML cannot carry. unescapeXml(escapeXml(s))
// is s for every s that XML can carry.
std::string escapeXml(std::string_view text);
std::string unescapeXml(std::string_view text);

// Appending forms used by the serialiser and the parser to avoid temporaries.
void appendEscaped(std::string& out, std::string_view text);
void appendUnescaped(std::string& out, std::string_view text);

class XmlTag {
public:
    // What an element kept for refilling may hold; anything larger goes
    // back to the heap.
    static constexpr std::size_t kKeptBytes = 256;   // of a name, value or text
    static constexpr std::size_t kKeptEntries = 16;  // attributes or children

    // 1: a root element. With fromWire set, name and text are decoded first.
    explicit XmlTag(const std::string& name, const std::string& text = std::string(),
                    bool fromWire = false);
    // 2: as 1, then appended to parent (when not null) as its last child.
    XmlTag(XmlTag* parent, const std::string& name, const std::string& text = std::string(),
           bool fromWire = false);
    // 3: as 2 with empty text, then setAttribute(attrName, attrValue).
    XmlTag(XmlTag* parent, const std::string& name, const std::string& attrName,
           const std::string& attrValue, bool fromWire = false);
    // Keeps XmlTag(parent, "x", "xmlns", "urn:...") from binding the last
    // literal to fromWire through a pointer-to-bool conversion.
    XmlTag(XmlTag* parent, const std::string& name, const std::string& attrName,
           const char* attrValue, bool fromWire = false)
        : XmlTag(parent, name, attrName, std::string(attrValue), fromWire) {}
    XmlTag(const std::string& name, const std::string& text, const char*) = delete;

    XmlTag(const XmlTag&) = delete;
    XmlTag& operator=(const XmlTag&) = delete;

    // Destroys the whole subtree (iteratively, so depth cannot exhaust the
    // stack). Does not unlink from the parent: only roots are deleted.
    virtual ~XmlTag();

    // Elements the parser builds are cut from its NodeArena, all others come
    // from the heap; the same delete releases either kind, on any thread.
    static void* operator new(std::size_t size);
    static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
    static void* operator new(std::size_t size, NodeArena& arena);
    static void operator delete(void* p) noexcept;
    static void operator delete(void* p, const std::nothrow_t&) noexcept;
    static void operator delete(void* p, NodeArena&) noexcept;

    virtual std::string serialize() const;
    virtual TagList& children() { return children_; }
    virtual const TagList& children() const { return children_; }
    virtual std::string getAttribute(const std::string& name) const;
    virtual const std::string& name() const { return name_; }
    virtual const std::string& text() const { return text_; }
    virtual AttributeList& attributes() { return attributes_; }
    virtual const AttributeList& attributes() const { return attributes_; }
    virtual void setAttribute(const std::string& name, int value);
    virtual void setAttribute(const std::string& name, long value);
    virtual void setAttribute(const std::string& name, const std::string& value);
    virtual void replaceAttributes(const AttributeList& list);
    virtual void appendChild(XmlTag* child);
    virtual void appendChildCopy(const XmlTag* child);
    virtual void setText(const std::string& text);
    virtual void appendText(const std::string& text);
    virtual XmlTag* firstChild(const std::string& name, const std::string& attrName,
                               const std::string& attrValue = std::string()) const;
    virtual XmlTag* firstChild(const std::string& name) const;
    virtual XmlTag* firstChildWithAttribute(const std::string& attrName,
                                            const std::string& attrValue = std::string()) const;
    virtual bool hasChild(const std::string& name, const std::string& attrName = std::string(),
                          const std::string& attrValue = std::string()) const;
    virtual bool hasChildWithAttribute(const std::string& attrName,
                                       const std::string& attrValue = std::string()) const;
    virtual bool hasAttribute(const std::string& name,
                              const std::string& value = std::string()) const;
    virtual bool isEmpty() const { return name_.empty(); }
    virtual int kind() const { return kind_; }
    virtual XmlTag* clone() const;

    void setAttribute(const std::string& name, const char* value) {
        setAttribute(name, std::string(value));
    }
    bool hasChildWithText(const std::string& name, const std::string& text = std::string()) const;
    TagList childrenNamed(const std::string& name) const;

    XmlTag* parent() const { return parent_; }
    bool fromWire() const { return fromWire_; }

    // Appends the serialised form to out; serialize() is this into a new string.
    void serializeTo(std::string& out) const;

protected:
    struct Bare {};
    explicit XmlTag(Bare) {}

    // Takes other's content (name, text, attributes, children) and leaves
    // this one's in its place: a fresh element leaves other empty, one done
    // with hands its buffers back to the parser that built other, which
    // refills them for the next stanzas.
    void exchangeContentWith(XmlTag& other);

    AttributeList attributes_;
    std::string name_;
    std::string text_;
    TagList children_;
    XmlTag* parent_ = nullptr;
    int kind_ = 0;
    bool fromWire_ = false;

private:
    friend class XmlParser;
    // The key as stored data are compared with: decoded on wire elements.
    std::string_view lookupKey(const std::string& key, std::string& scratch) const;
    const std::string* findAttribute(std::string_view name) const;
    bool matchesAttribute(std::string_view name, std::string_view value) const;
};

}  // namespace tern

#endif

// Typed payloads recognised among a stanza's children.
#ifndef TERN_STANZA_STANZAEXTENSION_H
#define TERN_STANZA_STANZAEXTENSION_H

#include "../xml/XmlTag.h"

namespace tern {

// Single bits, so callers can test an extension against a mask.
enum ExtensionType {
    ExtOOB = 4,
    ExtXTagSigned = 8,
    ExtXTagEncrypted = 16,
    ExtXDelayedDelivery = 32,
    ExtDelayedDelivery = 64,
};

class StanzaExtension {
public:
    explicit StanzaExtension(ExtensionType type) : extensionType_(type) {}
    virtual ~StanzaExtension() = default;
    // The extension as a new element owned by the caller; null when invalid.
    virtual XmlTag* toXml() const = 0;

    ExtensionType extensionType() const { return extensionType_; }

private:
    ExtensionType extensionType_;
};

// The matching extension for an element, owned by the caller, or null when
// no class recognises its name and namespace.
StanzaExtension* createExtension(const XmlTag* element);

}  // namespace tern

#endif

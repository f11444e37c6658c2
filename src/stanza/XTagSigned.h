// The signed-presence and encrypted-message payloads of XEP-0027. The text is
// stored and written unchanged; nothing is signed, encrypted or checked.
#ifndef TERN_STANZA_XTAGSIGNED_H
#define TERN_STANZA_XTAGSIGNED_H

#include <string>

#include "StanzaExtension.h"

namespace tern {

class OpaquePayload : public StanzaExtension {
public:
    XmlTag* toXml() const override;
    const std::string& payload() const { return payload_; }
    bool valid() const { return valid_; }

protected:
    OpaquePayload(ExtensionType type, const std::string& xmlns, const XmlTag* e);

private:
    const std::string& xmlns_;
    std::string payload_;
    bool valid_ = false;
};

class XTagSigned : public OpaquePayload {
public:
    explicit XTagSigned(const XmlTag* element);
};

class XTagEncrypted : public OpaquePayload {
public:
    explicit XTagEncrypted(const XmlTag* element);
};

}  // namespace tern

#endif

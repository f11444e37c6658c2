#include "stanza/XTagSigned.h"

#include "stanza/Constants.h"

namespace tern {

OpaquePayload::OpaquePayload(ExtensionType type, const std::string& xmlns, const XmlTag* e)
    : StanzaExtension(type), xmlns_(xmlns) {
    if (!e || e->name() != "x" || !e->hasAttribute("xmlns", xmlns)) return;
    valid_ = true;
    payload_ = e->text();
}

XmlTag* OpaquePayload::toXml() const {
    if (!valid_) return nullptr;
    XmlTag* e = new XmlTag("x", payload_);
    e->setAttribute("xmlns", xmlns_);
    return e;
}

XTagSigned::XTagSigned(const XmlTag* e) : OpaquePayload(ExtXTagSigned, XMPP_XMLNS_X_TAGSIGNED, e) {}

XTagEncrypted::XTagEncrypted(const XmlTag* e)
    : OpaquePayload(ExtXTagEncrypted, XMPP_XMLNS_X_TAGENCRYPTED, e) {}

}  // namespace tern

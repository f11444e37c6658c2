#include "stanza/OOB.h"

#include "stanza/Constants.h"

namespace tern {

OOB::OOB(const XmlTag* e) : StanzaExtension(ExtOOB) {
    if (!e) return;
    const bool x = e->name() == "x" && e->hasAttribute("xmlns", XMPP_XMLNS_X_OOB);
    const bool query = e->name() == "query" && e->hasAttribute("xmlns", XMPP_XMLNS_IQ_OOB);
    if (!x && !query) return;
    isIqPayload_ = query;
    if (const XmlTag* url = e->firstChild("url")) {
        url_ = url->text();
        valid_ = true;
    }
    if (const XmlTag* desc = e->firstChild("desc")) description_ = desc->text();
}

XmlTag* OOB::toXml() const {
    if (!valid_) return nullptr;
    XmlTag* e = isIqPayload_ ? new XmlTag("query") : new XmlTag("x");
    e->setAttribute("xmlns", isIqPayload_ ? XMPP_XMLNS_IQ_OOB : XMPP_XMLNS_X_OOB);
    new XmlTag(e, "url", url_);
    if (!description_.empty()) new XmlTag(e, "desc", description_);
    return e;
}

}  // namespace tern

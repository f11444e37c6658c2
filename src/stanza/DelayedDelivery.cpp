#include "stanza/DelayedDelivery.h"

#include "stanza/Constants.h"

namespace tern {

DelayBase::DelayBase(ExtensionType type, const char* elementName, const std::string& xmlns,
                     const XmlTag* e)
    : StanzaExtension(type), elementName_(elementName), xmlns_(xmlns) {
    if (!e || e->name() != elementName || !e->hasAttribute("xmlns", xmlns) || !e->hasAttribute("stamp"))
        return;
    valid_ = true;
    reason_ = e->text();
    stamp_ = e->getAttribute("stamp");
    from_.assign(e->getAttribute("from"));
}

XmlTag* DelayBase::toXml() const {
    if (!valid_) return nullptr;
    XmlTag* e = new XmlTag(elementName_);
    e->setAttribute("xmlns", xmlns_);
    if (!from_.server().empty()) e->setAttribute("from", from_.full());
    e->setAttribute("stamp", stamp_);
    if (!reason_.empty()) e->setText(reason_);
    return e;
}

DelayedDelivery::DelayedDelivery(const XmlTag* e)
    : DelayBase(ExtDelayedDelivery, "delay", XMPP_XMLNS_DELAY, e) {}

XDelayedDelivery::XDelayedDelivery(const XmlTag* e)
    : DelayBase(ExtXDelayedDelivery, "x", XMPP_XMLNS_X_DELAY, e) {}

}  // namespace tern

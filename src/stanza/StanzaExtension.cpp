#include "stanza/StanzaExtension.h"

#include "stanza/Constants.h"
#include "stanza/DelayedDelivery.h"
#include "stanza/OOB.h"
#include "stanza/XTagSigned.h"

namespace tern {

StanzaExtension* createExtension(const XmlTag* e) {
    if (!e) return nullptr;
    const std::string xmlns = e->getAttribute("xmlns");
    if (e->name() == "x") {
        if (xmlns == XMPP_XMLNS_X_DELAY) return new XDelayedDelivery(e);
        if (xmlns == XMPP_XMLNS_X_OOB) return new OOB(e);
        if (xmlns == XMPP_XMLNS_X_TAGSIGNED) return new XTagSigned(e);
        if (xmlns == XMPP_XMLNS_X_TAGENCRYPTED) return new XTagEncrypted(e);
        return nullptr;
    }
    if (e->name() == "query") return xmlns == XMPP_XMLNS_IQ_OOB ? new OOB(e) : nullptr;
    if (e->name() == "delay") return xmlns == XMPP_XMLNS_DELAY ? new DelayedDelivery(e) : nullptr;
    return nullptr;
}

}  // namespace tern

#include "services/PrivateXML.h"

#include "client/ClientBase.h"
#include "stanza/Constants.h"

namespace tern {

PrivateXML::PrivateXML(ClientBase* client) : client_(client) {
    if (client_) client_->addIqHandler(this, XMPP_XMLNS_PRIVATE_XML);
}

PrivateXML::~PrivateXML() {
    if (!client_) return;
    client_->removeIqHandler(XMPP_XMLNS_PRIVATE_XML);
    client_->removeIqIdHandler(this);
}

std::string PrivateXML::send(XmlTag* payload, PrivateXMLHandler* handler, Context context) {
    const std::string id = client_->newId();
    XmlTag* iq = new XmlTag("iq");
    iq->setAttribute("id", id);
    iq->setAttribute("type", context == ReadRequest ? "get" : "set");
    XmlTag* query = new XmlTag(iq, "query", "xmlns", XMPP_XMLNS_PRIVATE_XML);
    query->appendChild(payload);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_[id] = handler;
    }
    client_->sendIq(iq, this, context);
    return id;
}

std::string PrivateXML::requestXml(const std::string& tag, const std::string& ns, PrivateXMLHandler* handler) {
    if (!client_) return std::string();
    XmlTag* element = new XmlTag(tag);
    element->setAttribute("xmlns", ns);
    return send(element, handler, ReadRequest);
}

std::string PrivateXML::storeXml(const XmlTag& element, PrivateXMLHandler* handler) {
    if (!client_) return std::string();
    return send(element.clone(), handler, StoreRequest);
}

bool PrivateXML::handleIqById(Stanza* stanza, int context) {
    PrivateXMLHandler* handler = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = pending_.find(stanza->id());
        if (it == pending_.end()) return false;
        handler = it->second;
        pending_.erase(it);
    }
    if (stanza->subtype() == IqResult) {
        if (context == ReadRequest) {
            const XmlTag* query = stanza->firstChild("query");
            if (query && !query->children().empty() && handler)
                handler->onPrivateXml(query->children().front()->name(), query->children().front());
        } else if (context == StoreRequest && handler) {
            handler->onPrivateXmlResult(stanza->id(), PrivateXmlStored);
        }
        return true;
    }
    if (stanza->subtype() == IqError && handler) {
        if (context == ReadRequest) handler->onPrivateXmlResult(stanza->id(), PrivateXmlRequestFailed);
        if (context == StoreRequest) handler->onPrivateXmlResult(stanza->id(), PrivateXmlStoreFailed);
    }
    return false;
}

}  // namespace tern

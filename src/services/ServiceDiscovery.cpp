#include "services/ServiceDiscovery.h"

#include <algorithm>

#include "client/ClientBase.h"
#include "stanza/Constants.h"

namespace tern {

ServiceDiscovery::ServiceDiscovery(ClientBase* client) : client_(client) {
    features_ = {XMPP_XMLNS_VERSION, XMPP_XMLNS_SERVICEDISCOVERY_INFO, XMPP_XMLNS_SERVICEDISCOVERY_ITEMS};
    if (client_) {
        client_->addIqHandler(this, XMPP_XMLNS_SERVICEDISCOVERY_INFO);
        client_->addIqHandler(this, XMPP_XMLNS_SERVICEDISCOVERY_ITEMS);
        client_->addIqHandler(this, XMPP_XMLNS_VERSION);
    }
}

ServiceDiscovery::~ServiceDiscovery() {
    if (!client_) return;
    client_->removeIqHandler(XMPP_XMLNS_SERVICEDISCOVERY_INFO);
    client_->removeIqHandler(XMPP_XMLNS_SERVICEDISCOVERY_ITEMS);
    client_->removeIqHandler(XMPP_XMLNS_VERSION);
    client_->removeIqIdHandler(this);
}

void ServiceDiscovery::setVersion(const std::string& name, const std::string& version, const std::string& os) {
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = name;
    version_ = version;
    os_ = os;
}

void ServiceDiscovery::setIdentity(const std::string& category, const std::string& type) {
    std::lock_guard<std::mutex> lock(mutex_);
    category_ = category;
    type_ = type;
}

void ServiceDiscovery::addFeature(const std::string& feature) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!feature.empty() && std::find(features_.begin(), features_.end(), feature) == features_.end())
        features_.push_back(feature);
}

void ServiceDiscovery::addNodeHandler(ServiceDiscoveryNodeHandler* handler, const std::string& node) {
    if (!handler) return;
    std::lock_guard<std::mutex> lock(mutex_);
    nodeHandlers_[node].push_back(handler);
}

void ServiceDiscovery::removeNodeHandler(ServiceDiscoveryNodeHandler* handler, const std::string& node) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = nodeHandlers_.find(node);
        if (it == nodeHandlers_.end()) return;
        auto& list = it->second;
        list.erase(std::remove(list.begin(), list.end(), handler), list.end());
        if (list.empty()) nodeHandlers_.erase(it);
    }
    awaitDispatch();
}

void ServiceDiscovery::addSetHandler(ServiceDiscoveryHandler* handler) {
    if (!handler) return;
    std::lock_guard<std::mutex> lock(mutex_);
    setHandlers_.push_back(handler);
}

void ServiceDiscovery::removeSetHandler(ServiceDiscoveryHandler* handler) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        setHandlers_.erase(std::remove(setHandlers_.begin(), setHandlers_.end(), handler), setHandlers_.end());
    }
    awaitDispatch();
}

void ServiceDiscovery::awaitDispatch() {
    // The receiving thread may be inside a handler just removed; once this
    // returns, the caller may destroy it.
    if (client_) client_->waitForDispatch();
}

std::string ServiceDiscovery::ownAddress() const {
    return client_->authzid().server().empty() ? client_->jid().full() : client_->authzid().full();
}

std::string ServiceDiscovery::request(const JID& to, const std::string& node, ServiceDiscoveryHandler* handler,
                                      int context, QueryKind kind) {
    if (!client_ || !handler) return std::string();
    const std::string id = client_->newId();
    XmlTag* iq = new XmlTag("iq");
    iq->setAttribute("type", "get");
    iq->setAttribute("id", id);
    iq->setAttribute("to", to.full());
    XmlTag* query = new XmlTag(iq, "query", "xmlns",
                               kind == InfoQuery ? XMPP_XMLNS_SERVICEDISCOVERY_INFO : XMPP_XMLNS_SERVICEDISCOVERY_ITEMS);
    query->setAttribute("node", node);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queries_[id] = {handler, context};
    }
    client_->sendIq(iq, this, kind);
    return id;
}

std::string ServiceDiscovery::requestInfo(const JID& to, const std::string& node, ServiceDiscoveryHandler* handler,
                                          int context) {
    return request(to, node, handler, context, InfoQuery);
}

std::string ServiceDiscovery::requestItems(const JID& to, const std::string& node, ServiceDiscoveryHandler* handler,
                                           int context) {
    return request(to, node, handler, context, ItemsQuery);
}

void ServiceDiscovery::removeQueries(ServiceDiscoveryHandler* handler) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = queries_.begin(); it != queries_.end();) {
            if (it->second.first == handler)
                it = queries_.erase(it);
            else
                ++it;
        }
    }
    awaitDispatch();
}

bool ServiceDiscovery::handleIqByNamespace(Stanza* stanza) {
    if (stanza->subtype() == IqGet) {
        const std::string& ns = stanza->payloadNamespace();
        if (ns == XMPP_XMLNS_VERSION) {
            answerVersion(*stanza);
        } else if (const XmlTag* query = stanza->firstChild("query")) {
            if (ns == XMPP_XMLNS_SERVICEDISCOVERY_INFO)
                answerInfo(*stanza, *query);
            else if (ns == XMPP_XMLNS_SERVICEDISCOVERY_ITEMS)
                answerItems(*stanza, *query);
        }
        return true;
    }
    if (stanza->subtype() == IqSet) {
        std::vector<ServiceDiscoveryHandler*> handlers;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            handlers = setHandlers_;
        }
        bool handled = false;
        for (ServiceDiscoveryHandler* h : handlers)
            if (h->onDiscoSet(stanza)) handled = true;
        return handled;
    }
    return false;
}

void ServiceDiscovery::answerVersion(const Stanza& request) {
    XmlTag* iq = new XmlTag("iq");
    iq->setAttribute("id", request.id());
    iq->setAttribute("from", ownAddress());
    iq->setAttribute("to", request.from().full());
    iq->setAttribute("type", "result");
    XmlTag* query = new XmlTag(iq, "query", "xmlns", XMPP_XMLNS_VERSION);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        new XmlTag(query, "name", name_);
        new XmlTag(query, "version", version_);
        new XmlTag(query, "os", os_);
    }
    client_->sendTag(iq);
}

void ServiceDiscovery::answerInfo(const Stanza& request, const XmlTag& requestQuery) {
    XmlTag* iq = new XmlTag("iq");
    iq->setAttribute("id", request.id());
    iq->setAttribute("from", ownAddress());
    iq->setAttribute("to", request.from().full());
    iq->setAttribute("type", "result");
    XmlTag* query = new XmlTag(iq, "query", "xmlns", XMPP_XMLNS_SERVICEDISCOVERY_INFO);
    const std::string node = requestQuery.getAttribute("node");
    std::vector<ServiceDiscoveryNodeHandler*> handlers;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!node.empty()) {
        query->setAttribute("node", node);
        new XmlTag(query, "feature", "var", XMPP_XMLNS_SERVICEDISCOVERY_INFO);
        auto it = nodeHandlers_.find(node);
        if (it != nodeHandlers_.end()) handlers = it->second;
        lock.unlock();
        for (ServiceDiscoveryNodeHandler* h : handlers) {
            std::string name;
            for (const auto& identity : h->nodeIdentities(node, name)) {
                XmlTag* i = new XmlTag(query, "identity", "category", identity.first);
                i->setAttribute("type", identity.second);
                i->setAttribute("name", name);
            }
            for (const std::string& f : h->nodeFeatures(node)) new XmlTag(query, "feature", "var", f);
        }
    } else {
        XmlTag* identity = new XmlTag(query, "identity", "category", category_);
        identity->setAttribute("type", type_);
        identity->setAttribute("name", name_);
        for (const std::string& f : features_) new XmlTag(query, "feature", "var", f);
        lock.unlock();
    }
    client_->sendTag(iq);
}

void ServiceDiscovery::answerItems(const Stanza& request, const XmlTag& requestQuery) {
    XmlTag* iq = new XmlTag("iq");
    iq->setAttribute("id", request.id());
    iq->setAttribute("to", request.from().full());
    iq->setAttribute("from", ownAddress());
    iq->setAttribute("type", "result");
    XmlTag* query = new XmlTag(iq, "query", "xmlns", XMPP_XMLNS_SERVICEDISCOVERY_ITEMS);
    const std::string node = requestQuery.getAttribute("node");
    query->setAttribute("node", node);
    std::vector<ServiceDiscoveryNodeHandler*> handlers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = nodeHandlers_.find(node);
        if (it != nodeHandlers_.end()) handlers = it->second;
    }
    for (ServiceDiscoveryNodeHandler* h : handlers) {
        for (const DiscoItem& item : h->nodeItems(node)) {
            XmlTag* i = new XmlTag(query, "item", "jid", item.jid.empty() ? ownAddress() : item.jid);
            i->setAttribute("node", item.node);
            i->setAttribute("name", item.name);
        }
    }
    client_->sendTag(iq);
}

bool ServiceDiscovery::handleIqById(Stanza* stanza, int context) {
    std::pair<ServiceDiscoveryHandler*, int> query{nullptr, 0};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = queries_.find(stanza->id());
        if (it == queries_.end()) return false;
        query = it->second;
        queries_.erase(it);
    }
    if (stanza->subtype() == IqResult) {
        if (context == InfoQuery)
            query.first->onDiscoInfoResult(stanza, query.second);
        else if (context == ItemsQuery)
            query.first->onDiscoItemsResult(stanza, query.second);
    } else if (stanza->subtype() == IqError) {
        query.first->onDiscoError(stanza, query.second);
    }
    return false;
}

}  // namespace tern

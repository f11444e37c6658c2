// Answers software version and service discovery requests about this
// client (XEP-0092, XEP-0030), delegates named nodes to node handlers, and
// sends information and items queries of its own.
#ifndef TERN_SERVICES_SERVICEDISCOVERY_H
#define TERN_SERVICES_SERVICEDISCOVERY_H

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "../client/Handlers.h"

namespace tern {

class ClientBase;

struct DiscoItem {
    std::string node;
    std::string jid;
    std::string name;
};
using DiscoItemList = std::vector<DiscoItem>;
using IdentityMap = std::map<std::string, std::string>;  // category -> type

class ServiceDiscoveryNodeHandler {
public:
    virtual ~ServiceDiscoveryNodeHandler() = default;
    virtual StringList nodeFeatures(const std::string& node) = 0;
    virtual IdentityMap nodeIdentities(const std::string& node, std::string& name) = 0;
    virtual DiscoItemList nodeItems(const std::string& node) = 0;
};

class ServiceDiscoveryHandler {
public:
    virtual ~ServiceDiscoveryHandler() = default;
    virtual void onDiscoInfoResult(Stanza* stanza, int context) = 0;
    virtual void onDiscoItemsResult(Stanza* stanza, int context) = 0;
    virtual void onDiscoError(Stanza* stanza, int context) = 0;
    virtual bool onDiscoSet(Stanza*) { return false; }
};

class ServiceDiscovery : public IqHandler {
public:
    explicit ServiceDiscovery(ClientBase* client);
    ~ServiceDiscovery() override;

    void setVersion(const std::string& name, const std::string& version, const std::string& os);
    void setIdentity(const std::string& category, const std::string& type);
    void addFeature(const std::string& feature);
    void addNodeHandler(ServiceDiscoveryNodeHandler* handler, const std::string& node);
    void removeNodeHandler(ServiceDiscoveryNodeHandler* handler, const std::string& node);
    void addSetHandler(ServiceDiscoveryHandler* handler);
    void removeSetHandler(ServiceDiscoveryHandler* handler);

    // Asks an entity for its information or items; the answer, or the error,
    // goes to the handler with the context. Returns the request's id.
    std::string requestInfo(const JID& to, const std::string& node, ServiceDiscoveryHandler* handler, int context);
    std::string requestItems(const JID& to, const std::string& node, ServiceDiscoveryHandler* handler, int context);
    // Forgets every outstanding query of a handler that goes away. The
    // removals return only once no other thread is calling that handler.
    void removeQueries(ServiceDiscoveryHandler* handler);

    bool handleIqByNamespace(Stanza* stanza) override;
    bool handleIqById(Stanza* stanza, int context) override;

    const std::string& name() const { return name_; }
    const std::string& version() const { return version_; }
    const std::string& os() const { return os_; }
    const StringList& features() const { return features_; }

private:
    enum QueryKind { InfoQuery = 0, ItemsQuery = 1 };
    std::string request(const JID& to, const std::string& node, ServiceDiscoveryHandler* handler, int context,
                        QueryKind kind);
    std::string ownAddress() const;
    void awaitDispatch();
    void answerVersion(const Stanza& request);
    void answerInfo(const Stanza& request, const XmlTag& query);
    void answerItems(const Stanza& request, const XmlTag& query);

    ClientBase* client_;
    mutable std::mutex mutex_;
    std::vector<ServiceDiscoveryHandler*> setHandlers_;
    std::map<std::string, std::vector<ServiceDiscoveryNodeHandler*>> nodeHandlers_;
    std::map<std::string, std::pair<ServiceDiscoveryHandler*, int>> queries_;
    StringList features_;
    std::string name_;
    std::string version_;
    std::string os_;
    std::string category_;
    std::string type_;
};

}  // namespace tern

#endif

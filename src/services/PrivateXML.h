// Reads (and stores) XML fragments in server-side private storage (XEP-0049).
#ifndef TERN_SERVICES_PRIVATEXML_H
#define TERN_SERVICES_PRIVATEXML_H

#include <map>
#include <mutex>
#include <string>

#include "../client/Handlers.h"

namespace tern {

class ClientBase;

enum PrivateXmlResult { PrivateXmlStored = 0, PrivateXmlStoreFailed = 1, PrivateXmlRequestFailed = 2 };

class PrivateXMLHandler {
public:
    virtual ~PrivateXMLHandler() = default;
    // The stored element; valid only during the call.
    virtual void onPrivateXml(const std::string& tag, const XmlTag* element) = 0;
    virtual void onPrivateXmlResult(const std::string& id, PrivateXmlResult result) = 0;
};

class PrivateXML : public IqHandler {
public:
    explicit PrivateXML(ClientBase* client);
    ~PrivateXML() override;

    // Asks for the element tag in namespace ns; returns the request's id.
    std::string requestXml(const std::string& tag, const std::string& ns, PrivateXMLHandler* handler);
    // Stores a copy of the element; the outcome arrives as onPrivateXmlResult.
    std::string storeXml(const XmlTag& element, PrivateXMLHandler* handler);

    bool handleIqByNamespace(Stanza*) override { return false; }
    bool handleIqById(Stanza* stanza, int context) override;

private:
    enum Context { ReadRequest = 0, StoreRequest = 1 };
    std::string send(XmlTag* payload, PrivateXMLHandler* handler, Context context);

    ClientBase* client_;
    std::mutex mutex_;
    std::map<std::string, PrivateXMLHandler*> pending_;
};

}  // namespace tern

#endif

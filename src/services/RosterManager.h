// The user's contact list (RFC 3921 jabber:iq:roster): fetched during login,
// kept current from roster pushes, with the presence of every resource of
// every contact and of the user's own other resources.
#ifndef TERN_SERVICES_ROSTERMANAGER_H
#define TERN_SERVICES_ROSTERMANAGER_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "../client/Handlers.h"
#include "PrivateXML.h"
#include "RosterItem.h"

namespace tern {

class ClientBase;

using Roster = std::map<std::string, std::unique_ptr<RosterItem>>;

class RosterManager : public IqHandler, public PresenceHandler, public SubscriptionHandler, public PrivateXMLHandler {
public:
    explicit RosterManager(ClientBase* client);
    ~RosterManager() override;

    // Asks for the delimiter and the roster; the session is reported ready
    // once the roster has arrived (or the request has failed).
    void fetchRoster();

    bool handleIqByNamespace(Stanza* stanza) override;
    bool handleIqById(Stanza* stanza, int context) override;
    void handlePresenceStanza(Stanza* stanza) override;
    void handleSubscriptionStanza(Stanza*) override {}
    void onPrivateXml(const std::string& tag, const XmlTag* element) override;
    void onPrivateXmlResult(const std::string&, PrivateXmlResult) override {}

    // Read on the receiving thread, or under lock() from another.
    const Roster& roster() const { return roster_; }
    const RosterItem* self() const { return self_.get(); }
    const RosterItem* item(const std::string& bareJid) const;
    std::string delimiter() const;
    std::unique_lock<std::mutex> lock() const { return std::unique_lock<std::mutex>(mutex_); }

private:
    void merge(const Stanza& stanza);
    void rosterDone();

    ClientBase* client_;
    mutable std::mutex mutex_;
    Roster roster_;
    std::unique_ptr<PrivateXML> privateXml_;
    std::unique_ptr<RosterItem> self_;
    std::string delimiter_;
    std::atomic<bool> fetching_{false};
};

}  // namespace tern

#endif

// One contact of the roster and its present resources.
#ifndef TERN_SERVICES_ROSTERITEM_H
#define TERN_SERVICES_ROSTERITEM_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../stanza/JID.h"
#include "../stanza/Stanza.h"

namespace tern {

using StringList = std::vector<std::string>;

enum SubscriptionState {
    SubscriptionNone = 0,
    SubscriptionNoneAsked = 1,
    SubscriptionTo = 4,
    SubscriptionToAsked = 5,
    SubscriptionFrom = 6,
    SubscriptionFromAsked = 7,
    SubscriptionBoth = 8,
};

class Resource {
public:
    Resource(int priority, const std::string& message, PresenceShow presence)
        : priority_(priority), message_(message), presence_(presence) {}
    virtual ~Resource() = default;

    int priority() const { return priority_; }
    const std::string& message() const { return message_; }
    PresenceShow presence() const { return presence_; }

private:
    friend class RosterItem;
    int priority_;
    std::string message_;
    PresenceShow presence_;
};

using ResourceMap = std::map<std::string, std::unique_ptr<Resource>>;

class RosterItem {
public:
    RosterItem(const JID& jid, const std::string& name) : name_(name), jid_(jid.bare()) {}
    virtual ~RosterItem() = default;

    virtual void setName(const std::string& name) {
        name_ = name;
        changed_ = true;
    }
    virtual const std::string& name() const { return name_; }
    virtual const std::string& jid() const { return jid_; }
    virtual SubscriptionState subscription() const { return subscription_; }
    virtual void setGroups(const StringList& groups) {
        if (&groups != &groups_) groups_ = groups;
        changed_ = true;
    }
    virtual const StringList& groups() const { return groups_; }
    virtual bool changed() const { return changed_; }
    virtual bool online() const { return !resources_.empty(); }
    virtual const ResourceMap& resources() const { return resources_; }
    virtual const Resource* resource(const std::string& name) const;
    virtual void setPresence(const std::string& resource, PresenceShow show);
    virtual void setStatus(const std::string& resource, const std::string& message);
    virtual void setPriority(const std::string& resource, int priority);
    // From the wire's "subscription" text and whether "ask" was present;
    // unknown texts leave the state unchanged.
    virtual void setSubscription(const std::string& subscription, bool ask);
    virtual void clearChanged() { changed_ = false; }
    virtual void removeResource(const std::string& resource) { resources_.erase(resource); }

private:
    Resource& resourceOrNew(const std::string& name, int priority, const std::string& message, PresenceShow show);

    StringList groups_;
    ResourceMap resources_;
    SubscriptionState subscription_ = SubscriptionNone;
    std::string name_;
    std::string jid_;
    bool changed_ = false;
};

}  // namespace tern

#endif

#include "services/RosterItem.h"

namespace tern {

const Resource* RosterItem::resource(const std::string& name) const {
    auto it = resources_.find(name);
    return it == resources_.end() ? nullptr : it->second.get();
}

Resource& RosterItem::resourceOrNew(const std::string& name, int priority, const std::string& message,
                                    PresenceShow show) {
    auto& slot = resources_[name];
    if (!slot) slot = std::make_unique<Resource>(priority, message, show);
    return *slot;
}

void RosterItem::setPresence(const std::string& resource, PresenceShow show) {
    resourceOrNew(resource, 0, std::string(), show).presence_ = show;
}

void RosterItem::setStatus(const std::string& resource, const std::string& message) {
    resourceOrNew(resource, 0, message, PresenceShowUnavailable).message_ = message;
}

void RosterItem::setPriority(const std::string& resource, int priority) {
    resourceOrNew(resource, priority, std::string(), PresenceShowUnavailable).priority_ = priority;
}

void RosterItem::setSubscription(const std::string& subscription, bool ask) {
    if (subscription == "none")
        subscription_ = ask ? SubscriptionNoneAsked : SubscriptionNone;
    else if (subscription == "to")
        subscription_ = ask ? SubscriptionToAsked : SubscriptionTo;
    else if (subscription == "from")
        subscription_ = ask ? SubscriptionFromAsked : SubscriptionFrom;
    else if (subscription == "both")
        subscription_ = SubscriptionBoth;
}

}  // namespace tern

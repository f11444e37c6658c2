#include "services/RosterManager.h"

#include "client/ClientBase.h"
#include "stanza/Constants.h"

namespace tern {

RosterManager::RosterManager(ClientBase* client) : client_(client) {
    if (!client_) return;
    client_->addIqHandler(this, XMPP_XMLNS_ROSTER);
    client_->addPresenceHandler(this);
    client_->addSubscriptionHandler(this);
    const JID& own = client_->authzid().server().empty() ? client_->jid() : client_->authzid();
    self_ = std::make_unique<RosterItem>(JID(own.bare()), "");
    privateXml_ = std::make_unique<PrivateXML>(client_);
}

RosterManager::~RosterManager() {
    if (client_) {
        client_->removeIqHandler(XMPP_XMLNS_ROSTER);
        client_->removeIqIdHandler(this);
        client_->removePresenceHandler(this);
        client_->removeSubscriptionHandler(this);
    }
}

void RosterManager::fetchRoster() {
    if (!client_) return;
    privateXml_->requestXml("roster", XMPP_XMLNS_ROSTER_DELIMITER, this);
    const std::string id = client_->newId();
    XmlTag* iq = new XmlTag("iq");
    iq->setAttribute("type", "get");
    iq->setAttribute("id", id);
    new XmlTag(iq, "query", "xmlns", XMPP_XMLNS_ROSTER);
    fetching_ = true;
    client_->sendIq(iq, this, 0);
}

void RosterManager::rosterDone() {
    if (fetching_.exchange(false)) client_->sessionReady();
}

bool RosterManager::handleIqByNamespace(Stanza* stanza) {
    // Pushes come from the account itself: no from, or its bare JID (RFC
    // 6121 2.1.6); anyone else could rewrite the roster. The roster itself
    // comes as the answer to our request.
    if (stanza->subtype() != IqSet) return false;
    const JID& from = stanza->from();
    if (!from.empty() && !(from.resource().empty() && from.sameBareAs(client_->jid()) &&
                           !from.username().empty())) {
        client_->logInstance().log(LogWarning, LogAreaClient, "ignoring a roster push from " + from.full());
        return true;
    }
    merge(*stanza);
    XmlTag* iq = new XmlTag("iq");
    iq->setAttribute("id", stanza->id());
    iq->setAttribute("type", "result");
    client_->sendTag(iq);
    return true;
}

bool RosterManager::handleIqById(Stanza* stanza, int) {
    if (stanza->subtype() == IqResult && stanza->firstChild("query", "xmlns", XMPP_XMLNS_ROSTER)) {
        merge(*stanza);
    } else {
        client_->logInstance().log(LogWarning, LogAreaClient,
                                   stanza->subtype() == IqError ? "roster request failed; going on without a roster"
                                                                : "roster answer without a roster; going on without one");
    }
    rosterDone();
    return true;
}

void RosterManager::merge(const Stanza& stanza) {
    const XmlTag* query = stanza.firstChild("query");
    if (!query) return;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const XmlTag* item : query->children()) {
        if (item->name() != "item") continue;
        StringList groups;
        if (item->hasChild("group"))
            for (const XmlTag* g : item->children()) groups.push_back(g->text());
        const JID jid(item->getAttribute("jid"));
        const std::string subscription = item->getAttribute("subscription");
        const bool ask = !item->getAttribute("ask").empty();
        auto it = roster_.find(jid.bare());
        if (it == roster_.end()) {
            if (subscription == "remove") continue;
            auto entry = std::make_unique<RosterItem>(jid, item->getAttribute("name"));
            entry->setSubscription(subscription, ask);
            entry->setGroups(groups);
            entry->clearChanged();
            roster_.emplace(jid.bare(), std::move(entry));
            continue;
        }
        it->second->setName(item->getAttribute("name"));
        if (subscription == "remove") {
            roster_.erase(it);
            continue;
        }
        it->second->setSubscription(subscription, ask);
        it->second->setGroups(groups);
        it->second->clearChanged();
    }
}

void RosterManager::handlePresenceStanza(Stanza* stanza) {
    if (stanza->subtype() == PresenceError) return;
    std::lock_guard<std::mutex> lock(mutex_);
    RosterItem* target = nullptr;
    auto it = roster_.find(stanza->from().bare());
    if (it != roster_.end())
        target = it->second.get();
    else if (self_ && stanza->from().bare() == self_->jid())
        target = self_.get();
    if (!target) return;
    const std::string& resource = stanza->from().resource();
    if (stanza->show() == PresenceShowUnavailable) {
        target->removeResource(resource);
        return;
    }
    target->setPresence(resource, stanza->show());
    target->setStatus(resource, stanza->status("default"));
    target->setPriority(resource, stanza->priority());
}

void RosterManager::onPrivateXml(const std::string&, const XmlTag* element) {
    std::lock_guard<std::mutex> lock(mutex_);
    delimiter_ = element ? element->text() : std::string();
}

const RosterItem* RosterManager::item(const std::string& bareJid) const {
    auto it = roster_.find(bareJid);
    return it == roster_.end() ? nullptr : it->second.get();
}

std::string RosterManager::delimiter() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delimiter_;
}

}  // namespace tern

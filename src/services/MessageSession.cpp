#include "services/MessageSession.h"

#include "client/ClientBase.h"

namespace tern {

MessageSession::MessageSession(ClientBase* client, const JID& target, bool honourThread, int types)
    : client_(client), target_(target), types_(types), honourThread_(honourThread) {
    if (client_) client_->addMessageSession(this);
}

MessageSession::~MessageSession() = default;

void MessageSession::addFilter(MessageFilter* filter) {
    if (!filter) return;
    std::lock_guard<std::mutex> lock(mutex_);
    filters_.emplace_back(filter);
}

JID MessageSession::targetCopy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return target_;
}

std::string MessageSession::ownAddress() const {
    return client_->authzid().server().empty() ? client_->jid().full() : client_->authzid().full();
}

void MessageSession::send(XmlTag* tag) { client_->sendTag(tag); }

void MessageSession::receiveMessage(Stanza* stanza) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Lock onto the full address of the first reply to a bare target.
        if (honourThread_ && stanza->from().bare() == target_.full() && !stanza->from().resource().empty())
            target_.setResource(stanza->from().resource());
        if (!threadSet_) {
            if (stanza->thread().empty()) {
                threadId_ = "xmpp" + client_->newId();
                stanza->setThread(threadId_);
            } else {
                threadId_ = stanza->thread();
            }
            threadSet_ = true;
        }
        for (auto& f : filters_) f->filter(*stanza);
    }
    if (handler_ && !stanza->body().empty()) handler_->handleMessageStanza(stanza, this);
}

void MessageSession::sendMessage(const std::string& body, const std::string& subject) {
    XmlTag* m = new XmlTag("message");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!threadSet_) {
            threadId_ = "xmpp" + client_->newId();
            threadSet_ = true;
        }
        m->setAttribute("type", "chat");
        new XmlTag(m, "body", body);
        if (!subject.empty()) new XmlTag(m, "subject", subject);
        m->setAttribute("from", ownAddress());
        m->setAttribute("to", target_.full());
        m->setAttribute("id", client_->newId());
        new XmlTag(m, "thread", threadId_);
        for (auto& f : filters_) f->decorate(*m);
    }
    send(m);
}

MUCMessageSession::MUCMessageSession(ClientBase* client, const JID& room)
    : MessageSession(client, room, false, kRoomTypes) {}

XmlTag* MUCMessageSession::groupMessage(const std::string& body) const {
    XmlTag* m = new XmlTag("message");
    m->setAttribute("type", "groupchat");
    new XmlTag(m, "body", body);
    m->setAttribute("from", ownAddress());
    m->setAttribute("to", target().full());
    // XEP-0359: the room's archive keeps it, so that after a restart we can
    // tell whether the room had it before sending it again.
    const std::string id = client_->newId();
    m->setAttribute("id", id);
    (new XmlTag(m, "origin-id", "xmlns", "urn:xmpp:sid:0"))->setAttribute("id", id);
    return m;
}

XmlTag* MUCMessageSession::subjectMessage(const std::string& subject) const {
    XmlTag* m = new XmlTag("message");
    m->setAttribute("to", target().bare());
    m->setAttribute("type", "groupchat");
    new XmlTag(m, "subject", subject);
    return m;
}

void MUCMessageSession::receiveMessage(Stanza* stanza) {
    if (handler_) handler_->handleMessageStanza(stanza, nullptr);
}

}  // namespace tern

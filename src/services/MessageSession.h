// A conversation with one address: receives the messages the engine
// dispatches to it, keeps a thread identifier, runs message filters and
// builds outgoing messages. MUCMessageSession serves a chat room.
#ifndef TERN_SERVICES_MESSAGESESSION_H
#define TERN_SERVICES_MESSAGESESSION_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../client/Handlers.h"

namespace tern {

class ClientBase;

// Decorates outgoing messages and inspects incoming ones; owned by the
// session it is added to.
class MessageFilter {
public:
    virtual ~MessageFilter() = default;
    virtual void decorate(XmlTag& outgoing) = 0;
    virtual void filter(Stanza& incoming) = 0;
};

class MessageSession : public MessageSessionBase {
public:
    // Registers with the client, which owns the session from then on; the
    // client's disposeMessageSession destroys it. types 0 accepts all.
    MessageSession(ClientBase* client, const JID& target, bool honourThread = true, int types = 0);
    ~MessageSession() override;

    // Hands an element to the client for sending.
    virtual void send(XmlTag* tag);
    virtual void sendMessage(const std::string& body, const std::string& subject = std::string());
    void receiveMessage(Stanza* stanza) override;

    void setMessageHandler(MessageHandler* handler) { handler_ = handler; }
    void addFilter(MessageFilter* filter);

    const JID& target() const override { return target_; }
    JID targetCopy() const;
    const std::string& threadId() const override { return threadId_; }
    int types() const override { return types_; }

protected:
    std::string ownAddress() const;

    ClientBase* client_;
    MessageHandler* handler_ = nullptr;

private:
    mutable std::mutex mutex_;
    JID target_;
    std::vector<std::unique_ptr<MessageFilter>> filters_;
    int types_;
    bool honourThread_;
    std::string threadId_;
    bool threadSet_ = false;
};

class MUCMessageSession : public MessageSession {
public:
    // Chat, error, groupchat and normal messages; no headlines.
    static constexpr int kRoomTypes = MessageChat | MessageError | MessageGroupchat | MessageNormal;

    MUCMessageSession(ClientBase* client, const JID& room);

    void sendGroupMessage(const std::string& body) { send(groupMessage(body)); }
    void changeSubject(const std::string& subject) { send(subjectMessage(subject)); }
    // The stanzas those send, for a caller that sends them itself.
    XmlTag* groupMessage(const std::string& body) const;
    XmlTag* subjectMessage(const std::string& subject) const;
    // A room has no thread of its own: a threaded message is the room's all the same.
    bool takesThread(const std::string&) const override { return true; }
    void receiveMessage(Stanza* stanza) override;
};

}  // namespace tern

#endif

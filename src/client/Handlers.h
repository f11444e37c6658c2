// The interfaces through which the stream engine reports to the layers above.
#ifndef TERN_CLIENT_HANDLERS_H
#define TERN_CLIENT_HANDLERS_H

#include "../stanza/Stanza.h"
#include "../transport/ConnectionError.h"
#include "../transport/TLSBase.h"

namespace tern {

// Negotiation progress reported through handleStreamEvent.
enum StreamEvent {
    StreamEventEncryption = 1,
    StreamEventCompression = 2,
    StreamEventAuthentication = 3,
    StreamEventResourceBinding = 5,
    StreamEventSessionCreation = 6,
    StreamEventRoster = 7,
    StreamEventFinished = 8,
};

enum ResourceBindError { RbErrorUnknownError = 0, RbErrorBadRequest = 1, RbErrorNotAllowed = 2, RbErrorConflict = 3 };

enum SessionCreateError {
    ScErrorUnknownError = 0,
    ScErrorInternalServerError = 1,
    ScErrorForbidden = 2,
    ScErrorConflict = 3,
};

struct PendingStanza;

// Why a stanza sent on the session will never reach its addressee.
enum class NotSentReason {
    Refused,       // the server ended the stream over it, and would again
    SessionEnded,  // the session ended before the server acknowledged it
};

class NetworkListener {
public:
    virtual ~NetworkListener() = default;
    virtual void handleConnected() = 0;
    virtual void handleDisconnected(ConnectionError reason) = 0;
    virtual void handleBindError(ResourceBindError) {}
    virtual void handleSessionError(SessionCreateError) {}
    // Asked after a successful TLS handshake; false refuses the certificate.
    virtual bool handleTlsConnected(const CertificateInfo& info) = 0;
    virtual void handleStreamEvent(StreamEvent) {}
    // The resource is bound and the session's first requests (roster,
    // presence) are going out, without waiting for answers: what a listener
    // sends here goes out with them, in the same write. handleConnected
    // follows once the roster has arrived.
    virtual void handleSessionStarting() {}
    // The connection was lost and the server no longer knew the session: a
    // new one replaces it, without a new handleConnected. Services have
    // brought back what they had.
    virtual void handleSessionRenewed() {}
    // The connection was lost and its session is being recovered (resumed,
    // or made afresh): nothing else is reported until it is back, or over.
    virtual void handleConnectionInterrupted(ConnectionError) {}
    // The recovery is done: the session goes on (resumed, or renewed after
    // handleSessionRenewed).
    virtual void handleConnectionRestored() {}
    // A stanza sent on the session that will not arrive: the one the server
    // refused (the others go on), or one still waiting when the session
    // ended. Not for a session the client itself ends.
    virtual void handleNotSent(const PendingStanza&, NotSentReason) {}
};

class IqHandler {
public:
    virtual ~IqHandler() = default;
    // True means handled.
    virtual bool handleIqByNamespace(Stanza* stanza) = 0;
    virtual bool handleIqById(Stanza* stanza, int context) = 0;
};

class MessageSessionBase;

class MessageHandler {
public:
    virtual ~MessageHandler() = default;
    // The session that accepted the message, or null.
    virtual void handleMessageStanza(Stanza* stanza, MessageSessionBase* session) = 0;
};

class PresenceHandler {
public:
    virtual ~PresenceHandler() = default;
    virtual void handlePresenceStanza(Stanza* stanza) = 0;
};

class SubscriptionHandler {
public:
    virtual ~SubscriptionHandler() = default;
    virtual void handleSubscriptionStanza(Stanza* stanza) = 0;
};

// What the engine needs of a message session (owned by the engine once
// added); services/MessageSession is the implementation.
class MessageSessionBase {
public:
    virtual ~MessageSessionBase() = default;
    virtual const JID& target() const = 0;
    virtual const std::string& threadId() const = 0;
    // Message subtypes accepted; 0 accepts every type.
    virtual int types() const = 0;
    // Whether a message of this thread (empty: none) is the session's.
    virtual bool takesThread(const std::string& thread) const { return thread.empty() || threadId() == thread; }
    virtual void receiveMessage(Stanza* stanza) = 0;
};

}  // namespace tern

#endif

// The engine's side of stream management: counted sends, the elements of
// urn:xmpp:sm:3, and the reconnection that resumes a lost session on the
// receiving thread.
#include <chrono>

#include "client/ClientBase.h"
#include "client/KeepAlive.h"
#include "client/Redact.h"
#include "client/StreamManagement.h"
#include "stanza/Constants.h"
#include "stanza/Stanza.h"
#include "transport/TLSBase.h"

namespace tern {

using namespace std::string_view_literals;


void ClientBase::sendManaged(const XmlTag& tag) {
    const std::string text = tag.serialize();
    bool kept, sent = false;
    NetworkUtil* c = conn();
    {
        // Keeping and writing in one step: the queue's order is the wire's.
        std::lock_guard<std::recursive_mutex> order(stanzaOrder_);
        JID to(tag.getAttribute("to"));
        kept = sm_->keep({text, containsCredentials(tag) ? serializeForLog(tag) : std::string(), tag.name(), to.bare(),
                          tag.getAttribute("id")});
        // While resuming, the stanza waits in the queue for the resumed stream.
        if (c && c->state() == StateConnected && !sm_->holding()) sent = sendText(text);
    }
    if (sent) logOutgoing(tag, text);
    if (!kept) {
        logger_.log(LogError, LogAreaClientBase,
                    "stream management: the server has not acknowledged more stanzas than the queue holds; the "
                    "connection counts as broken");
        if (c && c->state() != StateDisconnected) onDisconnected(c, IoError);
        return;
    }
    sm_->requestAckIfDue();
}

bool ClientBase::waitForNewSession(const XmlTag& stanza) {
    if (stanzasFlow(step_) || !sm_->renewing()) return false;
    // Written now, it would reach a stream not yet bound, perhaps not yet
    // authenticated or encrypted.
    if (stanza.name() == "iq"sv && (stanza.firstChild("bind", "xmlns", XMPP_XMLNS_STREAM_BIND) ||
                                    stanza.firstChild("session", "xmlns", XMPP_XMLNS_STREAM_SESSION) ||
                                    stanza.firstChild("query", "xmlns", XMPP_XMLNS_AUTH)))
        return false;
    PendingStanza held{stanza.serialize(), containsCredentials(stanza) ? serializeForLog(stanza) : std::string(),
                       stanza.name(), JID(stanza.getAttribute("to")).bare(), stanza.getAttribute("id")};
    switch (sm_->holdForRenewal(held)) {
        case StreamManagement::NotRenewing: return false;
        case StreamManagement::Held: return true;
        case StreamManagement::Full: break;
    }
    logger_.log(LogError, LogAreaClientBase,
                "a new session is being made with as many stanzas waiting as the queue holds; this " + held.name +
                    " is not sent");
    reportNotSent({held}, NotSentReason::SessionEnded);
    return true;
}

// Answered by its addressee (a tracked request's full address was checked
// already; another by its bare one): no session sends it again.
void ClientBase::requestAnswered(const Stanza& answer, bool tracked) {
    sm_->answered(answer.id(), [&](const PendingStanza& p) { return tracked || answersRequest(answer.from(), JID(p.to)); });
}

void ClientBase::sendAgain(const PendingStanza& stanza) {
    bool sent;
    {
        std::lock_guard<std::recursive_mutex> order(stanzaOrder_);
        sm_->keep(stanza);
        sent = !sm_->holding() && sendText(stanza.text);
    }
    if (sent) logger_.log(LogDebug, LogAreaXmlOutgoing, stanza.logText.empty() ? stanza.text : stanza.logText);
    sm_->requestAckIfDue();
}

ClientBase::ElementVerdict ClientBase::handleStreamManagement(const XmlTag& element) {
    std::string problem;
    switch (sm_->handle(element, problem)) {
        case StreamManagement::Consumed: return ElementVerdict::Handled;
        case StreamManagement::Unknown: return ElementVerdict::Unknown;
        case StreamManagement::OutOfTurn:
            if (problem.empty()) return ElementVerdict::OutOfTurn;
            refuseElement(element, StreamErrorPolicyViolation, problem);
            return ElementVerdict::Handled;
        case StreamManagement::CountTooHigh:
            refuseElement(element, StreamErrorUndefinedCondition, "acknowledging more stanzas than were sent", problem);
            return ElementVerdict::Handled;
        case StreamManagement::ResumeRefused:
            renewSession();
            return ElementVerdict::Handled;
        case StreamManagement::Resumed: break;
    }
    // What the server missed goes first, before anything sent from now on.
    std::vector<PendingStanza> resend;
    {
        std::lock_guard<std::recursive_mutex> order(stanzaOrder_);
        resend = sm_->finishResumption();
        for (auto it = resend.begin(); it != resend.end(); ++it)
            if (!sendText(it->text)) {
                resend.erase(it, resend.end());
                break;
            }
    }
    if (logger_.wants(LogDebug, LogAreaXmlOutgoing))
        for (const PendingStanza& k : resend)
            logger_.log(LogDebug, LogAreaXmlOutgoing, k.logText.empty() ? k.text : k.logText);
    if (sm_->resuming()) return ElementVerdict::Handled;  // the new connection broke already
    // Back where the login stood: a session answer may still be due.
    enterStep(suspendedStep_ == StreamStep::Session ? StreamStep::Session : StreamStep::Established);
    negotiating_ = false;
    authenticating_ = false;
    keepAlive_->start(std::chrono::steady_clock::now());
    timers_.resumed(std::chrono::steady_clock::now());
    streamResumed();
    for (NetworkListener* l : listenersSnapshot()) l->handleConnectionRestored();
    return ElementVerdict::Handled;
}

// What belonged to the connection goes; the session may outlive it.
void ClientBase::dropConnection() {
    NetworkUtil* c = conn();
    c->disconnect();
    c->cleanup();
    resetParser();
    if (encryption_) encryption_->cleanup();
    compressionActive_ = false;
    encryptionActive_ = false;
    negotiating_ = false;
    authenticating_ = false;
    keepAlive_->stop();
    sm_->connectionLost();
    authenticatedStream_ = false;
    enterStep(StreamStep::Closed);
}

// The connection is gone but the session is not: quietly.
void ClientBase::suspendConnection() {
    // The login may have been short of its end (a session request out).
    if (stanzasFlow(step_)) suspendedStep_ = step_;
    dropConnection();
    reset();
}

ConnectionError ClientBase::resumeStep(int timeoutUs) {
    switch (sm_->waitForAttempt(timeoutUs)) {
        case StreamManagement::Wait: return NoError;
        case StreamManagement::Interrupted: return NotConnected;
        case StreamManagement::GiveUp: {
            const ConnectionError reason = sm_->lostReason();
            logger_.log(LogError, LogAreaClientBase, "could not resume the session in time; it is over");
            giveUpResumption();
            return reason;
        }
        case StreamManagement::Attempt: break;
    }
    logger_.log(LogDebug, LogAreaClientBase, "reconnecting to resume the session");
    // A failed attempt comes back through endConnection, which schedules
    // the next one; a cancelled one ends here.
    return connect(false) || sm_->resuming() ? NoError : NotConnected;
}

// The server no longer knows the session (it restarted, or its time ran
// out): a new one is made on this connection, with the same credentials
// and checks, and the services bring back what they had (rooms rejoin and
// catch up) once it is up. The host hears nothing of it.
void ClientBase::renewSession() {
    logger_.log(LogWarning, LogAreaClientBase, "the server no longer knows the session; starting a new one");
    sm_->beginRenewal();
    timers_.sessionRenewing();
    startNewSession();
}

void ClientBase::sessionRenewed() {
    negotiating_ = false;
    authenticating_ = false;
    const auto now = std::chrono::steady_clock::now();
    keepAlive_->start(now);
    std::vector<PendingStanza> pending = sm_->finishRenewal();
    const std::size_t waiting = pending.size();
    // Services take back what is theirs (a room's messages go again once it
    // is joined again and knows what the room already has).
    timers_.sessionRenewed(now, pending);
    // What nobody took: messages and requests go again; presences and the
    // session's own requests do not, the new session has sent its own.
    std::size_t resent = 0;
    for (const PendingStanza& p : pending) {
        if (p.name == "presence" || StreamManagement::sessionsOwnRequest(p)) continue;
        sendAgain(p);
        ++resent;
    }
    logger_.log(LogWarning, LogAreaClientBase,
                "a new session replaces the one the server forgot; " + std::to_string(waiting) +
                    " stanza(s) it had not acknowledged: " + std::to_string(resent) +
                    " sent again now, the rest by their services");
    for (NetworkListener* l : listenersSnapshot()) {
        l->handleSessionRenewed();
        l->handleConnectionRestored();
    }
}

void ClientBase::reportNotSent(const std::vector<PendingStanza>& stanzas, NotSentReason reason) {
    if (stanzas.empty()) return;
    const std::vector<NetworkListener*> listeners = listenersSnapshot();
    for (const PendingStanza& p : stanzas)
        for (NetworkListener* l : listeners) l->handleNotSent(p, reason);
}

void ClientBase::giveUpResumption() {
    const ConnectionError reason = sm_->lostReason();
    std::vector<PendingStanza> unsent;
    sm_->forget(&unsent);
    endConnection(reason, true, std::move(unsent));
}

}  // namespace tern

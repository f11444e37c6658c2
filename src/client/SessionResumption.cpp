// The engine's side of stream management: counted sends, the elements of
// urn:xmpp:sm:3, and the reconnection that resumes a lost session on the
// receiving thread.
#include <chrono>

#include "client/ClientBase.h"
#include "client/KeepAlive.h"
#include "client/Redact.h"
#include "client/StreamManagement.h"
#include "stanza/Stanza.h"
#include "transport/TLSBase.h"

namespace tern {

void ClientBase::sendManaged(const XmlTag& tag) {
    const std::string text = tag.serialize();
    std::lock_guard<std::recursive_mutex> order(stanzaOrder_);
    const bool kept = sm_->keep(text, containsCredentials(tag) ? serializeForLog(tag) : std::string());
    // While resuming, the stanza waits in the queue for the resumed stream.
    NetworkUtil* c = conn();
    if (c && c->state() == StateConnected && !sm_->resuming() && sendText(text)) logOutgoing(tag, text);
    if (!kept) {
        logger_.log(LogError, LogAreaClientBase,
                    "stream management: the server has not acknowledged more stanzas than the queue holds; the "
                    "connection counts as broken");
        if (c && c->state() != StateDisconnected) onDisconnected(c, IoError);
        return;
    }
    sm_->requestAckIfDue();
}

ClientBase::ElementVerdict ClientBase::handleStreamManagement(const Stanza& element) {
    std::vector<StreamManagement::Kept> resend;
    std::string problem;
    std::unique_lock<std::recursive_mutex> order(stanzaOrder_);
    switch (sm_->handle(element, resend, problem)) {
        case StreamManagement::Consumed: return ElementVerdict::Handled;
        case StreamManagement::Unknown: return ElementVerdict::Unknown;
        case StreamManagement::OutOfTurn:
            order.unlock();
            if (problem.empty()) return ElementVerdict::OutOfTurn;
            refuseElement(element, StreamErrorPolicyViolation, problem);
            return ElementVerdict::Handled;
        case StreamManagement::CountTooHigh:
            order.unlock();
            refuseElement(element, StreamErrorUndefinedCondition, "acknowledging more stanzas than were sent", problem);
            return ElementVerdict::Handled;
        case StreamManagement::ResumeRefused:
            order.unlock();
            logger_.log(LogError, LogAreaClientBase, "the server refused to resume the session");
            giveUpResumption();
            return ElementVerdict::Handled;
        case StreamManagement::Resumed: break;
    }
    for (const StreamManagement::Kept& k : resend)
        if (sendText(k.text)) logger_.log(LogDebug, LogAreaXmlOutgoing, k.logText.empty() ? k.text : k.logText);
    order.unlock();
    if (sm_->resuming()) return ElementVerdict::Handled;  // the new connection broke already
    enterStep(StreamStep::Established);
    negotiating_ = false;
    authenticating_ = false;
    keepAlive_->start(std::chrono::steady_clock::now());
    timers_.resumed(std::chrono::steady_clock::now());
    streamResumed();
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
    enterStep(StreamStep::Closed);
}

// The connection is gone but the session is not: quietly.
void ClientBase::suspendConnection() {
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

void ClientBase::giveUpResumption() {
    const ConnectionError reason = sm_->lostReason();
    sm_->forget();
    endConnection(reason, true);
}

}  // namespace tern

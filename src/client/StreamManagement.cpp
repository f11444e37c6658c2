#include "client/StreamManagement.h"

#include <algorithm>
#include <cstdlib>

#include "client/ClientBase.h"
#include "stanza/Constants.h"
#include "xml/XmlTag.h"

namespace tern {

namespace {

// A counter as XEP-0198 writes it: decimal, 0..2^32-1.
bool parseCounter(const std::string& text, std::uint32_t& out) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (v > 0xFFFFFFFFull) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

const char* reasonName(ConnectionError reason) {
    switch (reason) {
        case StreamClosed: return "the server closed the connection";
        case IoError: return "the connection broke";
        default: return "the connection ended";
    }
}

// What another attempt may mend: the network, a server on its way back.
// A refused password or certificate, a missing mechanism and most stream
// errors would fail the same way for as long as the window lasts.
bool mendableLoss(ConnectionError reason, StreamErrorCondition condition, bool authenticated) {
    if (!authenticated && reason == StreamError) return true;
    switch (reason) {
        case IoError:
        case StreamClosed:
        case ConnectionRefused:
        case DnsError:
        case NotConnected: return true;
        case StreamError:
            // The server's state, not a verdict on anything we sent.
            return condition == StreamErrorConnectionTimeout || condition == StreamErrorSystemShutdown ||
                   condition == StreamErrorReset || condition == StreamErrorResourceConstraint ||
                   condition == StreamErrorInternalServerError;
        default: return false;
    }
}

// Conditions that say something about the session or the account, not
// about a stanza we sent: another attempt would meet them again.
bool aboutTheSession(StreamErrorCondition condition) {
    switch (condition) {
        case StreamErrorConflict:  // another login took the resource
        case StreamErrorNotAuthorized:
        case StreamErrorHostGone:
        case StreamErrorHostUnknown:
        case StreamErrorSeeOtherHost:
        case StreamErrorUnsupportedVersion:
        case StreamErrorInvalidNamespace:
        case StreamErrorBadNamespacePrefix:
        case StreamErrorUnsupportedEncoding:
        case StreamErrorInvalidFrom: return true;
        default: return false;
    }
}

}  // namespace

StreamManagement::StreamManagement(ClientBase* parent) : parent_(parent) {}

void StreamManagement::startCountsAt(std::uint32_t inbound, std::uint32_t outbound) {
    std::lock_guard<std::mutex> lock(mutex_);
    startInbound_ = inbound;
    startOutbound_ = outbound;
}

void StreamManagement::enable(bool inBind2) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requested_ = true;
        enabled_ = false;
        resumable_ = false;
        // tls_ stays: a session made afresh in place of one that TLS
        // protected is protected all the same (only forget() clears it).
        id_.clear();
        inbound_ = startInbound_;
        acked_ = startOutbound_;
        unacked_.clear();
        unasked_ = 0;
        enableOutstanding_ = true;
        // A new session: a resumption the server left unanswered is over.
        resumeOutstanding_ = false;
        onStream_ = false;
        pacedStream_ = pacing_;
    }
    if (!inBind2) parent_->sendRaw(std::string("<enable xmlns='") + kNamespace + "' resume='true'/>");
}

bool StreamManagement::counting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requested_;
}

StreamManagement::Outcome StreamManagement::handle(const XmlTag& element, std::string& problem) {
    const std::string& name = element.name();
    LogExport& log = parent_->logInstance();
    std::uint32_t h = 0;
    std::string said;
    int level = LogDebug;
    Outcome outcome = Consumed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (name == "r" || name == "a") {
            if (!onStream_) return OutOfTurn;
            if (name == "a") {
                if (!parseCounter(element.getAttribute("h"), h)) {
                    problem = "without a valid count";
                    return OutOfTurn;
                }
                if (!dropAcknowledged(h, problem, said)) return CountTooHigh;
                askedAt_ = Clock::time_point();
                level = LogWarning;
            }
        } else if (name == "enabled") {
            if (!enableOutstanding_) return OutOfTurn;
            const std::string resume = element.getAttribute("resume");
            const int max = std::atoi(element.getAttribute("max").c_str());
            enableOutstanding_ = false;
            onStream_ = enabled_ = true;
            tls_ = tls_ || parent_->encrypted();
            id_ = element.getAttribute("id");
            resumable_ = (resume == "true" || resume == "1") && !id_.empty();
            maxSeconds_ = max > 0 ? max : kDefaultResumeSeconds;
            said = resumable_ ? "stream management enabled; the session can be resumed for " +
                                    std::to_string(maxSeconds_) + " s"
                              : "stream management enabled, without resumption";
        } else if (name == "failed" && resumeOutstanding_) {
            // What the server did receive is not lost; the rest is.
            resumeOutstanding_ = false;
            std::string stale;
            if (parseCounter(element.getAttribute("h"), h) && !dropAcknowledged(h, problem, stale)) return CountTooHigh;
            said = "stream management: the session cannot be resumed; " + std::to_string(unacked_.size()) +
                   " stanza(s) the server never acknowledged go again in a new session";
            level = LogWarning;
            outcome = ResumeRefused;
        } else if (name == "failed") {
            if (!enableOutstanding_) return OutOfTurn;
            enableOutstanding_ = false;
            requested_ = enabled_ = resumable_ = false;
            unacked_.clear();
            said = "the server refused stream management; going on without it";
            level = LogWarning;
        } else if (name == "resumed") {
            if (!resumeOutstanding_) return OutOfTurn;
            if (element.getAttribute("previd") != id_) {
                problem = "for another session (previd '" + element.getAttribute("previd") + "')";
                return OutOfTurn;
            }
            if (!parseCounter(element.getAttribute("h"), h)) {
                problem = "without a valid count";
                return OutOfTurn;
            }
            if (!dropAcknowledged(h, problem, said)) return CountTooHigh;
            resumeOutstanding_ = false;
            onStream_ = true;
            resumedStream_ = true;
            tls_ = tls_ || parent_->encrypted();
            said = "stream resumed; " + std::to_string(unacked_.size()) + " unacknowledged stanza(s) sent again";
            outcome = Resumed;
        } else {
            return Unknown;
        }
    }
    if (name == "r") parent_->sendRaw(ackText());
    if (!said.empty()) log.log(level, LogAreaClient, said);
    return outcome;
}

namespace {
// What may still be unanswered: a request whose answer came is done.
template <typename Queue>
void dropAnswered(Queue& queue) {
    queue.erase(std::remove_if(queue.begin(), queue.end(), [](const PendingStanza& p) { return p.answered; }),
                queue.end());
}
}  // namespace

std::vector<PendingStanza> StreamManagement::finishResumption() {
    std::lock_guard<std::mutex> lock(mutex_);
    resuming_ = false;
    unasked_ = 0;
    // The server counts what goes again from its h on: taking a request
    // out here keeps both counts in step.
    dropAnswered(unacked_);
    return std::vector<PendingStanza>(unacked_.begin(), unacked_.end());
}

bool StreamManagement::isRequest(const PendingStanza& p) {
    if (p.name != "iq") return false;
    const std::string head = p.text.substr(0, p.text.find('>'));
    return head.find(" type='get'") != std::string::npos || head.find(" type='set'") != std::string::npos;
}

void StreamManagement::answered(const std::string& id,
                                const std::function<bool(const PendingStanza&)>& fromAddressee) {
    if (id.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto mark = [&](PendingStanza& p) {
        if (!p.answered && p.id == id && isRequest(p) && fromAddressee(p)) p.answered = true;
    };
    for (PendingStanza& p : unacked_) mark(p);
    for (PendingStanza& p : renewal_) mark(p);
}

void StreamManagement::beginRenewal() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!renewing_) {
        renewal_.assign(unacked_.begin(), unacked_.end());
        renewing_ = true;
    }
    requested_ = enabled_ = resumable_ = false;
    id_.clear();
    unacked_.clear();
    unasked_ = 0;
    overflowed_ = false;
}

StreamManagement::Hold StreamManagement::holdForRenewal(PendingStanza stanza) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!renewing_) return NotRenewing;
    // The same limit as on a stream: past it nothing more is kept.
    if (renewal_.size() >= queueLimit_) return Full;
    renewal_.push_back(std::move(stanza));
    return Held;
}

bool StreamManagement::renewing() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return renewing_;
}

std::vector<PendingStanza> StreamManagement::finishRenewal() {
    std::lock_guard<std::mutex> lock(mutex_);
    resuming_ = renewing_ = false;
    std::vector<PendingStanza> out;
    out.swap(renewal_);
    dropAnswered(out);
    return out;
}

bool StreamManagement::holding() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resuming_ && !renewing_;
}

bool StreamManagement::dropAcknowledged(std::uint32_t h, std::string& problem, std::string& said) {
    // Unsigned arithmetic: the counts wrap at 2^32.
    const std::uint32_t n = h - acked_;
    if (n > unacked_.size() && acked_ - h < 0x80000000u) {
        said = "stream management: an acknowledgement (h=" + std::to_string(h) + ") behind the " +
               std::to_string(acked_) + " acknowledged already; ignored";
        return true;
    }
    if (n > unacked_.size()) {
        problem = "<handled-count-too-high xmlns='" + std::string(kNamespace) + "' h='" + std::to_string(h) +
                  "' send-count='" + std::to_string(acked_ + static_cast<std::uint32_t>(unacked_.size())) + "'/>";
        return false;
    }
    unacked_.erase(unacked_.begin(), unacked_.begin() + n);
    acked_ = h;
    if (n > 0) refusals_ = 0;  // the server takes what we send again
    if (unacked_.size() <= queueLimit_) overflowed_ = false;
    return true;
}

void StreamManagement::inboundStanza() {
    if (enabled_.load(std::memory_order_relaxed)) inbound_.fetch_add(1, std::memory_order_relaxed);
}

bool StreamManagement::keep(PendingStanza stanza) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!requested_) return true;
    unacked_.push_back(std::move(stanza));
    ++unasked_;
    if (unacked_.size() <= queueLimit_) return true;
    overflowed_ = true;
    wake_.notify_all();
    return false;
}

void StreamManagement::requestAckIfDue() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!onStream_ || resuming_ || unasked_ < (pacedStream_ ? 1u : kAckRequestEvery)) return;
    }
    requestAck();
}

bool StreamManagement::requestAck() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!onStream_) return false;
        unasked_ = 0;
        if (askedAt_ == Clock::time_point()) askedAt_ = Clock::now();
    }
    parent_->sendRaw(std::string("<r xmlns='") + kNamespace + "'/>");
    return true;
}

std::string StreamManagement::ackText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::string("<a xmlns='") + kNamespace + "' h='" + std::to_string(inbound_.load()) + "'/>";
}

void StreamManagement::connectionLost() {
    std::lock_guard<std::mutex> lock(mutex_);
    enableOutstanding_ = resumeOutstanding_ = onStream_ = resumedStream_ = false;
    askedAt_ = Clock::time_point();
}

StreamManagement::Clock::time_point StreamManagement::unansweredSince() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return askedAt_;
}

// ---- resumption -------------------------------------------------------------

bool StreamManagement::transientLoss(ConnectionError reason, bool authenticated, std::string& said) {
    const StreamErrorCondition condition = parent_->streamError();
    if (mendableLoss(reason, condition, authenticated)) return true;
    const bool waiting = !unacked_.empty() || !renewal_.empty();
    if (reason != StreamError || !parent_->streamErrorFromServer() || aboutTheSession(condition) || !waiting)
        return false;
    // A server that refuses every new session before taking anything would
    // have it made again and again: after a few, the session is over.
    if (++refusals_ > kMostRefusals) {
        said = "the server ended the stream over what was sent " + std::to_string(kMostRefusals) +
               " times in a row without taking anything; the session is over";
        return false;
    }
    // Refused over what we sent. On a paced stream that was not resumed, the
    // server was reading the first stanza it had not acknowledged (servers
    // answer each <r/> before they read on).
    std::string blamed;
    if (pacedStream_ && !resumedStream_ && !unacked_.empty() && !sessionsOwnRequest(unacked_.front()) &&
        !unacked_.front().answered) {
        refused_.push_back(std::move(unacked_.front()));
        unacked_.pop_front();
        blamed = "; it will not take one " + refused_.back().name + " (" +
                 std::to_string(refused_.back().text.size()) + " bytes), which is dropped";
    }
    const std::size_t left = unacked_.size() + renewal_.size();
    said = "the server ended the stream over what was sent (stream error " + std::to_string(condition) + ")" +
           blamed + "; a new session takes the " + std::to_string(left) +
           " stanza(s) still waiting, one acknowledgement at a time";
    pacing_ = true;
    // Made afresh rather than resumed: the resumed stream may be what the
    // server held against them. What waits moves to the new session.
    if (!renewing_) renewal_.assign(std::make_move_iterator(unacked_.begin()), std::make_move_iterator(unacked_.end()));
    unacked_.clear();
    renewing_ = true;
    id_.clear();
    return true;
}

bool StreamManagement::sessionsOwnRequest(const PendingStanza& p) {
    if (p.name != "iq" || !p.to.empty()) return false;
    if (p.text.find("urn:ietf:params:xml:ns:xmpp-session'") != std::string::npos) return true;
    const bool get = p.text.find("type='get'") != std::string::npos;
    return get && (p.text.find("<query xmlns='jabber:iq:roster'/>") != std::string::npos ||
                   p.text.find("<roster xmlns='roster:delimiter'/>") != std::string::npos);
}

std::vector<PendingStanza> StreamManagement::takeRefused() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<PendingStanza> out;
    out.swap(refused_);
    return out;
}

bool StreamManagement::beginResumption(ConnectionError reason, bool authenticated, Clock::time_point now) {
    std::string said, refusal;
    bool recover;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        recover = !endedByServer_ && (resuming_ || resumable_) && transientLoss(reason, authenticated, refusal);
        if (recover && resuming_) {
            nextAttempt_ = now + std::chrono::milliseconds(pauseMs_);
            said = "recovery attempt failed (" + std::to_string(reason) + "); next in " + std::to_string(pauseMs_) +
                   " ms";
            pauseMs_ = std::min(pauseMs_ * 2, kLongestPauseMs);
        } else if (recover && refusals_ > 1) {
            // Refused again right after a new session: the window of the
            // first refusal goes on, and so do its lengthening pauses.
            resuming_ = true;
            interrupted_ = false;
            nextAttempt_ = now + std::chrono::milliseconds(pauseMs_);
            said = "the new session was refused too; next attempt in " + std::to_string(pauseMs_) + " ms";
            pauseMs_ = std::min(pauseMs_ * 2, kLongestPauseMs);
        } else if (recover) {
            resuming_ = true;
            interrupted_ = false;
            lostReason_ = reason;
            // The server's max says how long it keeps the session; past it,
            // or after a restart, a new one is made within the same window.
            deadline_ = now + std::chrono::seconds(recoverySeconds_);
            nextAttempt_ = now;
            pauseMs_ = std::max(1, firstPauseMs_);
            said = std::string(reasonName(reason)) + " (" + std::to_string(reason) +
                   "); resuming the session, for at most " + std::to_string(recoverySeconds_) + " s";
        }
    }
    if (!refusal.empty()) parent_->logInstance().log(LogWarning, LogAreaClient, refusal);
    if (!recover) return false;
    parent_->logInstance().log(LogWarning, LogAreaClient, said);
    return true;
}

bool StreamManagement::resuming() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resuming_;
}

ConnectionError StreamManagement::lostReason() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lostReason_;
}

bool StreamManagement::protectedByTls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tls_;
}

void StreamManagement::sessionEndedByServer() {
    std::lock_guard<std::mutex> lock(mutex_);
    endedByServer_ = true;
}

void StreamManagement::sendResume() {
    std::string text;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        resumeOutstanding_ = true;
        text = std::string("<resume xmlns='") + kNamespace + "' h='" + std::to_string(inbound_.load()) + "' previd='" +
               escapeXml(id_) + "'/>";
    }
    parent_->sendRaw(text);
}

XmlTag* StreamManagement::resumeRequest() {
    std::lock_guard<std::mutex> lock(mutex_);
    resumeOutstanding_ = true;
    XmlTag* request = new XmlTag("resume");
    request->setAttribute("xmlns", kNamespace);
    request->setAttribute("h", std::to_string(inbound_.load()));
    request->setAttribute("previd", id_);
    return request;
}

StreamManagement::Next StreamManagement::waitForAttempt(long long timeoutUs) {
    const Clock::time_point start = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // Interrupted, or the session was ended (forget) while waiting.
        if (interrupted_ || !resuming_) {
            interrupted_ = false;
            return Interrupted;
        }
        const Clock::time_point now = Clock::now();
        if (overflowed_ || now >= deadline_) return GiveUp;
        if (now >= nextAttempt_) return Attempt;
        Clock::time_point until = std::min(nextAttempt_, deadline_);
        if (timeoutUs >= 0) {
            const Clock::time_point callerLimit = start + std::chrono::microseconds(timeoutUs);
            if (now >= callerLimit) return Wait;
            until = std::min(until, callerLimit);
        }
        wake_.wait_until(lock, until);
    }
}

void StreamManagement::interrupt() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!resuming_) return;
    interrupted_ = true;
    wake_.notify_all();
}

void StreamManagement::forget(std::vector<PendingStanza>* waiting) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting) {
        // An answered request did arrive: it is not among what never went.
        dropAnswered(renewal_);
        dropAnswered(unacked_);
        waiting->insert(waiting->end(), std::make_move_iterator(renewal_.begin()),
                        std::make_move_iterator(renewal_.end()));
        waiting->insert(waiting->end(), std::make_move_iterator(unacked_.begin()),
                        std::make_move_iterator(unacked_.end()));
    }
    requested_ = enabled_ = resumable_ = resuming_ = interrupted_ = overflowed_ = tls_ = endedByServer_ = false;
    enableOutstanding_ = resumeOutstanding_ = onStream_ = renewing_ = false;
    resumedStream_ = pacing_ = pacedStream_ = false;
    refusals_ = 0;
    refused_.clear();
    id_.clear();
    unacked_.clear();
    renewal_.clear();
    unasked_ = 0;
    lostReason_ = NoError;
    wake_.notify_all();
}

}  // namespace tern

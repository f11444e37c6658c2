#include "client/StreamManagement.h"

#include <algorithm>
#include <cstdlib>

#include "client/ClientBase.h"
#include "stanza/Constants.h"
#include "xml/XmlTag.h"

namespace tern {

namespace {

const char* const kNs = "urn:xmpp:sm:3";

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

}  // namespace

StreamManagement::StreamManagement(ClientBase* parent) : parent_(parent) {}

void StreamManagement::startCountsAt(std::uint32_t inbound, std::uint32_t outbound) {
    std::lock_guard<std::mutex> lock(mutex_);
    startInbound_ = inbound;
    startOutbound_ = outbound;
}

void StreamManagement::enable() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requested_ = true;
        enabled_ = false;
        resumable_ = false;
        id_.clear();
        inbound_ = startInbound_;
        acked_ = startOutbound_;
        unacked_.clear();
        unasked_ = 0;
    }
    parent_->sendRaw(std::string("<enable xmlns='") + kNs + "' resume='true'/>");
}

bool StreamManagement::counting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requested_;
}

StreamManagement::Outcome StreamManagement::handle(const XmlTag& element, std::vector<std::string>& toResend) {
    if (element.getAttribute("xmlns") != kNs) return NotMine;
    const std::string& name = element.name();
    LogExport& log = parent_->logInstance();
    if (name == "r") {
        parent_->sendRaw(ackText());
        return Consumed;
    }
    std::uint32_t h = 0;
    if (name == "a") {
        if (!parseCounter(element.getAttribute("h"), h)) {
            log.log(LogWarning, LogAreaClient, "stream management: an acknowledgement without a valid count");
            return Consumed;
        }
        std::string excess;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            excess = dropAcknowledged(h);
        }
        if (!excess.empty()) log.log(LogWarning, LogAreaClient, excess);
        return Consumed;
    }
    if (name == "enabled") {
        const std::string resume = element.getAttribute("resume");
        const int max = std::atoi(element.getAttribute("max").c_str());
        std::string said;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            enabled_ = true;
            id_ = element.getAttribute("id");
            resumable_ = (resume == "true" || resume == "1") && !id_.empty();
            maxSeconds_ = max > 0 ? max : kDefaultResumeSeconds;
            said = resumable_ ? "stream management enabled; the session can be resumed for " +
                                    std::to_string(maxSeconds_) + " s"
                              : "stream management enabled, without resumption";
        }
        log.log(LogDebug, LogAreaClient, said);
        return Consumed;
    }
    if (name == "failed") {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (resuming_) return ResumeRefused;
            requested_ = enabled_ = resumable_ = false;
            unacked_.clear();
        }
        log.log(LogWarning, LogAreaClient, "the server refused stream management; going on without it");
        return Consumed;
    }
    if (name == "resumed") {
        std::size_t resent;
        std::string excess;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!resuming_) return Consumed;
            if (parseCounter(element.getAttribute("h"), h)) excess = dropAcknowledged(h);
            toResend.assign(unacked_.begin(), unacked_.end());
            resent = toResend.size();
            resuming_ = false;
            unasked_ = 0;
        }
        if (!excess.empty()) log.log(LogWarning, LogAreaClient, excess);
        log.log(LogDebug, LogAreaClient,
                "stream resumed; " + std::to_string(resent) + " unacknowledged stanza(s) sent again");
        return Resumed;
    }
    return Consumed;
}

std::string StreamManagement::dropAcknowledged(std::uint32_t h) {
    // Unsigned arithmetic: the counts wrap at 2^32.
    std::uint32_t n = h - acked_;
    std::string excess;
    if (n > unacked_.size()) {
        excess = "stream management: the server acknowledged " + std::to_string(n) + " stanzas, more than the " +
                 std::to_string(unacked_.size()) + " unacknowledged";
        n = static_cast<std::uint32_t>(unacked_.size());
    }
    unacked_.erase(unacked_.begin(), unacked_.begin() + n);
    acked_ = h;
    if (unacked_.size() <= queueLimit_) overflowed_ = false;
    return excess;
}

void StreamManagement::inboundStanza() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (enabled_) ++inbound_;
}

bool StreamManagement::keep(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!requested_) return true;
    unacked_.push_back(text);
    ++unasked_;
    if (unacked_.size() <= queueLimit_) return true;
    overflowed_ = true;
    wake_.notify_all();
    return false;
}

void StreamManagement::requestAckIfDue() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!enabled_ || resuming_ || unasked_ < kAckRequestEvery) return;
    }
    requestAck();
}

bool StreamManagement::requestAck() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!enabled_) return false;
        unasked_ = 0;
    }
    parent_->sendRaw(std::string("<r xmlns='") + kNs + "'/>");
    return true;
}

std::string StreamManagement::ackText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::string("<a xmlns='") + kNs + "' h='" + std::to_string(inbound_) + "'/>";
}

// ---- resumption -------------------------------------------------------------

bool StreamManagement::beginResumption(ConnectionError reason, Clock::time_point now) {
    std::string said;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (resuming_) {
            nextAttempt_ = now + std::chrono::milliseconds(pauseMs_);
            said = "resumption attempt failed (" + std::to_string(reason) + "); next in " + std::to_string(pauseMs_) +
                   " ms";
            pauseMs_ = std::min(pauseMs_ * 2, kLongestPauseMs);
        } else {
            if (!resumable_ || (reason != IoError && reason != StreamClosed)) return false;
            resuming_ = true;
            interrupted_ = false;
            lostReason_ = reason;
            deadline_ = now + std::chrono::seconds(maxSeconds_);
            nextAttempt_ = now;
            pauseMs_ = std::max(1, firstPauseMs_);
            said = std::string(reasonName(reason)) + " (" + std::to_string(reason) +
                   "); resuming the session, for at most " + std::to_string(maxSeconds_) + " s";
        }
    }
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

void StreamManagement::sendResume() {
    std::string text;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        text = std::string("<resume xmlns='") + kNs + "' h='" + std::to_string(inbound_) + "' previd='" +
               escapeXml(id_) + "'/>";
    }
    parent_->sendRaw(text);
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

void StreamManagement::forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    requested_ = enabled_ = resumable_ = resuming_ = interrupted_ = overflowed_ = false;
    id_.clear();
    unacked_.clear();
    unasked_ = 0;
    lostReason_ = NoError;
    wake_.notify_all();
}

}  // namespace tern

#include "client/KeepAlive.h"

#include <algorithm>
#include <string>

#include "client/ClientBase.h"
#include "client/StreamManagement.h"
#include "services/ServiceDiscovery.h"
#include "stanza/Constants.h"
#include "stanza/Stanza.h"

namespace tern {

KeepAlive::KeepAlive(ClientBase* parent) : parent_(parent) {
    parent_->addIqHandler(this, XMPP_XMLNS_XMPP_PING);
    if (ServiceDiscovery* disco = parent_->disco()) disco->addFeature(XMPP_XMLNS_XMPP_PING);
}

KeepAlive::~KeepAlive() {
    parent_->removeIqHandler(XMPP_XMLNS_XMPP_PING);
    parent_->waitForDispatch();
}

void KeepAlive::setIntervals(int idleMs, int timeoutMs) {
    idleMs_ = idleMs < 0 ? 0 : idleMs;
    timeoutMs_ = timeoutMs < 0 ? 0 : timeoutMs;
}

void KeepAlive::start(Clock::time_point now) {
    lastReceived_ = now;
    probing_ = false;
    running_ = true;
}

bool KeepAlive::check(Clock::time_point now) {
    const int idle = idleMs_, timeout = timeoutMs_;
    if (!running_ || idle == 0 || timeout == 0) return false;
    const std::string server = parent_->jid().server();
    // With stream management the server answers <r/> at once: whatever else
    // arrives meanwhile (a half-open link can still deliver) proves nothing.
    const Clock::time_point asked = parent_->streamManagement()->unansweredSince();
    if (asked != Clock::time_point() && now - asked >= std::chrono::milliseconds(timeout)) {
        running_ = false;
        parent_->logInstance().log(LogError, LogAreaClientBase,
                                   "keepalive: the acknowledgement request to " + server + " went unanswered for " +
                                       std::to_string(ms(now - asked)) + " ms; the connection is dead");
        return true;
    }
    if (probing_) {
        if (now - probeSent_ < std::chrono::milliseconds(timeout)) return false;
        running_ = false;
        parent_->logInstance().log(LogError, LogAreaClientBase,
                                   "keepalive: the " + std::string(probeName_) + " to " + server +
                                       " went unanswered for " +
                                       std::to_string(ms(now - probeSent_)) + " ms (nothing received for " +
                                       std::to_string(ms(now - lastReceived_)) + " ms); the connection is dead");
        return true;
    }
    if (now - lastReceived_ < std::chrono::milliseconds(idle)) return false;
    probing_ = true;
    probeSent_ = now;
    parent_->logInstance().log(LogDebug, LogAreaClientBase,
                               "keepalive: nothing received for " + std::to_string(ms(now - lastReceived_)) +
                                   " ms, probing " + server);
    // With stream management an acknowledgement request is the probe.
    if (parent_->streamManagement()->requestAck()) {
        probeName_ = "acknowledgement request";
        return false;
    }
    probeName_ = "ping";
    XmlTag* iq = new XmlTag("iq");
    iq->setAttribute("type", "get");
    iq->setAttribute("id", parent_->newId());
    iq->setAttribute("to", server);
    new XmlTag(iq, "ping", "xmlns", XMPP_XMLNS_XMPP_PING);
    parent_->sendTag(iq);
    return false;
}

long long KeepAlive::untilDue(Clock::time_point now) const {
    const int idle = idleMs_, timeout = timeoutMs_;
    if (!running_ || idle == 0 || timeout == 0) return -1;
    Clock::time_point due =
        probing_ ? probeSent_ + std::chrono::milliseconds(timeout) : lastReceived_ + std::chrono::milliseconds(idle);
    const Clock::time_point asked = parent_->streamManagement()->unansweredSince();
    if (asked != Clock::time_point()) due = std::min(due, asked + std::chrono::milliseconds(timeout));
    const long long left = std::chrono::duration_cast<std::chrono::microseconds>(due - now).count();
    return left < 0 ? 0 : left;
}

bool KeepAlive::handleIqByNamespace(Stanza* stanza) {
    if (stanza->subtype() != IqGet || !stanza->hasChild("ping", "xmlns", XMPP_XMLNS_XMPP_PING)) return false;
    XmlTag* result = new XmlTag("iq");
    result->setAttribute("type", "result");
    result->setAttribute("id", stanza->id());
    if (!stanza->from().full().empty()) result->setAttribute("to", stanza->from().full());
    parent_->sendTag(result);
    return true;
}

}  // namespace tern

// Notices a dead connection: when nothing has arrived for the idle interval
// the server is probed (an XEP-0199 ping, or an XEP-0198 acknowledgement
// request when stream management is on); when nothing at all arrives within
// the timeout after that, the connection is dead. Also answers the pings of
// others. The engine asks when the next step is due and bounds its wait for
// data by it, so an idle session sleeps in the kernel between steps.
#ifndef PARLEY_CLIENT_KEEPALIVE_H
#define PARLEY_CLIENT_KEEPALIVE_H

#include <atomic>
#include <chrono>

#include "client/Handlers.h"

namespace tern {

class ClientBase;

class KeepAlive : public IqHandler {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kDefaultIdleMs = 60000;
    static constexpr int kDefaultTimeoutMs = 30000;

    // Registers for urn:xmpp:ping gets and lists the feature in discovery.
    explicit KeepAlive(ClientBase* parent);
    ~KeepAlive() override;
    KeepAlive(const KeepAlive&) = delete;
    KeepAlive& operator=(const KeepAlive&) = delete;

    // 0 turns the probe off (either value).
    void setIntervals(int idleMs, int timeoutMs);
    int idleMs() const { return idleMs_; }
    int timeoutMs() const { return timeoutMs_; }

    // The session is up (now) or over. Only the receiving thread starts it.
    void start(Clock::time_point now);
    void stop() { running_ = false; }
    // Data of any kind arrived.
    void onReceived(Clock::time_point now) {
        lastReceived_ = now;
        probing_ = false;
    }

    // Sends the probe when it is due. True (once) when the probe went
    // unanswered: the connection is dead, and the log has said why.
    bool check(Clock::time_point now);
    // Microseconds until check() has something to do; -1 for never.
    long long untilDue(Clock::time_point now) const;

    // IqHandler: answers urn:xmpp:ping gets with an empty result.
    bool handleIqByNamespace(Stanza* stanza) override;
    bool handleIqById(Stanza*, int) override { return false; }

private:
    static long long ms(Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

    ClientBase* parent_;
    std::atomic<int> idleMs_{kDefaultIdleMs};
    std::atomic<int> timeoutMs_{kDefaultTimeoutMs};
    std::atomic<bool> running_{false};
    bool probing_ = false;
    const char* probeName_ = "ping";
    Clock::time_point lastReceived_;
    Clock::time_point probeSent_;
};

}  // namespace tern

#endif

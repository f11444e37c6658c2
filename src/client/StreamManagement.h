// XEP-0198 stream management (urn:xmpp:sm:3): acknowledgements both ways,
// and resumption of the session when its connection is lost without either
// side meaning to end it. The engine counts stanzas through it, keeps the
// unacknowledged ones here, and asks it when to reconnect.
#ifndef TERN_CLIENT_STREAMMANAGEMENT_H
#define TERN_CLIENT_STREAMMANAGEMENT_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "../transport/ConnectionError.h"

namespace tern {

class ClientBase;
class XmlTag;

class StreamManagement {
public:
    using Clock = std::chrono::steady_clock;
    // Unacknowledged outbound stanzas kept at most; one more breaks the
    // connection rather than losing anything.
    static constexpr std::size_t kDefaultQueueLimit = 1000;
    // Outbound stanzas after which an acknowledgement is asked for.
    static constexpr std::uint32_t kAckRequestEvery = 5;
    // How long to keep trying when the server did not say (max).
    static constexpr int kDefaultResumeSeconds = 300;
    static constexpr int kFirstPauseMs = 500;
    static constexpr int kLongestPauseMs = 30000;

    explicit StreamManagement(ClientBase* parent);
    StreamManagement(const StreamManagement&) = delete;
    StreamManagement& operator=(const StreamManagement&) = delete;

    // On by default; off, the feature is never enabled.
    void setWanted(bool wanted) { wanted_ = wanted; }
    bool wanted() const { return wanted_; }
    void setQueueLimit(std::size_t limit) { queueLimit_ = limit; }
    // The pause before the second reconnection attempt (it doubles from there).
    void setFirstPause(int ms) { firstPauseMs_ = ms; }
    // Counts as if that many stanzas had already gone each way (tests of
    // the counters' wrap at 2^32).
    void startCountsAt(std::uint32_t inbound, std::uint32_t outbound);

    // ---- one stream
    // Sends <enable resume='true'/>; outbound stanzas count from here on.
    void enable();
    // True while outbound stanzas are counted.
    bool counting() const;
    enum Outcome { NotMine, Consumed, Resumed, ResumeRefused };
    // An element of urn:xmpp:sm:3 from the server (r, a, enabled, failed,
    // resumed). On Resumed the unacknowledged stanzas are in toResend.
    Outcome handle(const XmlTag& element, std::vector<std::string>& toResend);
    // Inbound stanzas count once the server has enabled the feature.
    void inboundStanza();
    // An outbound stanza, before it is written: kept until acknowledged.
    // False when that takes the queue over its limit (it is kept all the same).
    bool keep(const std::string& text);
    // Sends <r/> when the feature is on; false when it is not.
    bool requestAck();
    // Sends <r/> when enough stanzas have gone out since the last one.
    void requestAckIfDue();
    // The server asked for an acknowledgement: the answer's text.
    std::string ackText() const;

    // ---- resumption
    // True when a connection lost for this reason may be resumed (and from
    // now on is being resumed). While resuming, every lost connection is a
    // failed attempt: true, and the next is scheduled after a longer pause.
    bool beginResumption(ConnectionError reason, Clock::time_point now);
    bool resuming() const;
    ConnectionError lostReason() const;
    // Sends <resume h='…' previd='…'/> on the new stream.
    void sendResume();
    enum Next { Attempt, Wait, Interrupted, GiveUp };
    // Waits, at most timeoutUs (-1: no limit), for the next attempt's time.
    Next waitForAttempt(long long timeoutUs);
    // Ends a waitForAttempt at once (the session is being stopped).
    void interrupt();
    // Nothing survives: the session is over (reported, or never managed).
    void forget();

private:
    // Called with the lock held; what to log (outside it), if anything.
    std::string dropAcknowledged(std::uint32_t h);

    ClientBase* parent_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool wanted_ = true;
    std::size_t queueLimit_ = kDefaultQueueLimit;
    int firstPauseMs_ = kFirstPauseMs;

    bool requested_ = false;  // <enable/> sent: outbound stanzas count
    bool enabled_ = false;    // <enabled/> came: inbound stanzas count
    bool resumable_ = false;  // the server granted resumption
    std::string id_;
    int maxSeconds_ = kDefaultResumeSeconds;
    std::uint32_t startInbound_ = 0;
    std::uint32_t startOutbound_ = 0;
    std::uint32_t inbound_ = 0;  // stanzas received and handled
    std::uint32_t acked_ = 0;    // outbound stanzas the server has acknowledged
    std::deque<std::string> unacked_;
    std::uint32_t unasked_ = 0;  // kept since the last <r/>

    bool resuming_ = false;
    bool interrupted_ = false;
    bool overflowed_ = false;
    ConnectionError lostReason_ = NoError;
    Clock::time_point deadline_;
    Clock::time_point nextAttempt_;
    int pauseMs_ = 0;
};

}  // namespace tern

#endif

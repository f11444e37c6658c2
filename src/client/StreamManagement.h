// XEP-0198 stream management (urn:xmpp:sm:3): acknowledgements both ways,
// and resumption of the session when its connection is lost without either
// side meaning to end it. The engine counts stanzas through it, keeps the
// unacknowledged ones here, and asks it when to reconnect.
//
// Its elements count only in turn: <enabled/> or <failed/> only after
// <enable/> on this stream, <resumed/> or <failed/> only after <resume/>
// (and for the session the server gave), <r/> and <a/> only once it is on
// for this stream; anything else is the server breaking the protocol.
#ifndef TERN_CLIENT_STREAMMANAGEMENT_H
#define TERN_CLIENT_STREAMMANAGEMENT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "PendingStanza.h"
#include "../transport/ConnectionError.h"

namespace tern {

class ClientBase;
class XmlTag;

class StreamManagement {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr const char* kNamespace = "urn:xmpp:sm:3";
    // Unacknowledged outbound stanzas kept at most; one more breaks the
    // connection rather than losing anything.
    static constexpr std::size_t kDefaultQueueLimit = 1000;
    // Outbound stanzas after which an acknowledgement is asked for.
    static constexpr std::uint32_t kAckRequestEvery = 5;
    // How long the server keeps a session when it did not say (max).
    static constexpr int kDefaultResumeSeconds = 300;
    // How long a lost session is tried for, resumed or made afresh.
    static constexpr int kDefaultRecoverySeconds = 300;
    static constexpr int kFirstPauseMs = 500;
    // Refusals in a row, with nothing taken in between, after which the
    // session is over rather than made afresh once more.
    static constexpr int kMostRefusals = 3;
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
    // How long a lost session is tried for, from the loss; when it closes
    // the listeners hear of the first loss.
    void setRecoveryWindow(int seconds) { recoverySeconds_ = seconds > 0 ? seconds : kDefaultRecoverySeconds; }
    // Counts as if that many stanzas had already gone each way (tests of
    // the counters' wrap at 2^32).
    void startCountsAt(std::uint32_t inbound, std::uint32_t outbound);

    // ---- one stream
    // Sends <enable resume='true'/>; outbound stanzas count from here on.
    // inBind2: the request went inside SASL2's Bind2, and the session it
    // enables is bound now: only the counting starts.
    void enable(bool inBind2 = false);
    // True while outbound stanzas are counted.
    bool counting() const;
    enum Outcome {
        Consumed,
        Resumed,        // toResend holds what the server has not acknowledged
        ResumeRefused,  // <failed/> to <resume/>: the session is gone
        OutOfTurn,      // not expected now (problem says why, when it is more than that)
        Unknown,        // no element of the protocol
        CountTooHigh,   // the server acknowledged more than was sent (problem: the detail element)
    };
    Outcome handle(const XmlTag& element, std::string& problem);
    // After Resumed, under the engine's stanza order: what the server has
    // not acknowledged, to send again; sends count normally from here on.
    std::vector<PendingStanza> finishResumption();
    // The server no longer knows the session: a new one is being made on
    // this connection. What it had not acknowledged waits apart (renewal
    // attempts may fail and start again); counting starts afresh.
    void beginRenewal();
    bool renewing() const;
    // A stanza sent while the new session is not yet bound: it waits with
    // the rest (Held), up to the queue's limit (Full: it will not go).
    // NotRenewing: it goes out as usual.
    enum Hold { NotRenewing, Held, Full };
    Hold holdForRenewal(PendingStanza stanza);
    // The answer to the request with this id arrived, from whoever
    // fromAddressee accepts for it: that request is never sent again,
    // whatever the server's count says.
    void answered(const std::string& id, const std::function<bool(const PendingStanza&)>& fromAddressee);
    // The new session is up: the recovery is over; what waited is handed out.
    std::vector<PendingStanza> finishRenewal();
    // Inbound stanzas count once the server has enabled the feature.
    void inboundStanza();
    // An outbound stanza, before it is written: kept until acknowledged.
    // False when that takes the queue over its limit (it is kept all the same).
    bool keep(PendingStanza stanza);
    // Stanzas wait in the queue instead of going out: a lost session is
    // being resumed (not while a new one is being made).
    bool holding() const;
    // Sends <r/> when the feature is on for this stream; false when it is not.
    bool requestAck();
    // Sends <r/> when enough stanzas have gone out since the last one.
    void requestAckIfDue();
    // The server asked for an acknowledgement: the answer's text.
    std::string ackText() const;
    // When our oldest unanswered <r/> went out (the epoch when none is):
    // data that keeps coming does not prove the link while that waits.
    Clock::time_point unansweredSince() const;
    // The connection is gone: what belonged to its stream is over.
    void connectionLost();

    // ---- resumption
    // True when a connection lost for this reason may be recovered (and from
    // now on is being recovered: resumed, or made afresh when the server
    // no longer knows it). While recovering, every transient loss is a
    // failed attempt (true, and the next is scheduled after a longer
    // pause); a permanent one (authentication, certificates, most stream
    // errors, the server ending the session) is false: the session is over.
    // A stream error or a clean close counts as permanent only from a stream
    // that has authenticated: before that, anyone in the path could send it.
    //
    // A stream error the server sends over what we sent (a stanza too big,
    // a policy) while stanzas wait for its acknowledgement is a refusal: the
    // session is made afresh rather than resumed (a resumed stream may be
    // what the server holds against them), and what waits goes out on it
    // with a request for an acknowledgement after every stanza. Refused
    // again while that is so, on a stream not resumed, the first stanza not
    // acknowledged is the one the server will not take: it leaves the queue
    // (takeRefused) and the others go on. Refused kMostRefusals times in a
    // row with nothing acknowledged between, the session is over.
    bool beginResumption(ConnectionError reason, bool authenticated, Clock::time_point now);
    // The stanza the last refusal came over, to report; empty when none.
    std::vector<PendingStanza> takeRefused();
    // What every session asks the server for once it is up (its session,
    // its roster and the roster's delimiter): a new one asks again, and no
    // refusal is blamed on them.
    static bool sessionsOwnRequest(const PendingStanza& p);
    bool resuming() const;
    ConnectionError lostReason() const;
    // A session that TLS ever protected resumes only over TLS.
    bool protectedByTls() const;
    // The server closed the stream cleanly: the session is over for it.
    void sessionEndedByServer();
    // Sends <resume h='…' previd='…'/> on the new stream.
    void sendResume();
    // The same request for SASL2's <authenticate>, whose <success> carries
    // the answer (XEP-0198 inline).
    XmlTag* resumeRequest();
    enum Next { Attempt, Wait, Interrupted, GiveUp };
    // Waits, at most timeoutUs (-1: no limit), for the next attempt's time.
    Next waitForAttempt(long long timeoutUs);
    // Ends a waitForAttempt at once (the session is being stopped).
    void interrupt();
    // Nothing survives: the session is over (reported, or never managed).
    // What still waited for an acknowledgement goes to waiting, when given.
    void forget(std::vector<PendingStanza>* waiting = nullptr);

private:
    static bool isRequest(const PendingStanza& p);
    // With the lock held: drops what h acknowledges; false (problem set)
    // when h is more than was sent. An h behind what was acknowledged
    // already changes nothing (said tells).
    bool dropAcknowledged(std::uint32_t h, std::string& problem, std::string& said);
    // With the lock held: whether the loss is one another attempt may mend,
    // and what a refusal changes (said: the log line).
    bool transientLoss(ConnectionError reason, bool authenticated, std::string& said);

    ClientBase* parent_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool wanted_ = true;
    std::size_t queueLimit_ = kDefaultQueueLimit;
    int firstPauseMs_ = kFirstPauseMs;

    bool requested_ = false;  // <enable/> sent: outbound stanzas count
    std::atomic<bool> enabled_{false};  // <enabled/> came: inbound stanzas count
    bool resumable_ = false;  // the server granted resumption
    bool tls_ = false;        // TLS protected the stream it was enabled on
    std::string id_;
    int maxSeconds_ = kDefaultResumeSeconds;
    std::uint32_t startInbound_ = 0;
    std::uint32_t startOutbound_ = 0;
    // Stanzas received and handled; counted without the lock, once a stanza.
    std::atomic<std::uint32_t> inbound_{0};
    std::uint32_t acked_ = 0;    // outbound stanzas the server has acknowledged
    std::deque<PendingStanza> unacked_;
    std::vector<PendingStanza> renewal_;  // what the forgotten session had not had acknowledged
    std::uint32_t unasked_ = 0;  // kept since the last <r/>
    Clock::time_point askedAt_;  // the oldest unanswered <r/>

    // This stream's side.
    bool enableOutstanding_ = false;
    bool resumeOutstanding_ = false;
    bool onStream_ = false;  // on for this stream: <r/> and <a/> count
    bool resumedStream_ = false;  // this stream resumed the session

    // After a refusal: an acknowledgement is asked for after every stanza,
    // so that another refusal names the stanza it came over.
    bool pacing_ = false;
    bool pacedStream_ = false;  // this stream began paced
    int refusals_ = 0;          // in a row, with nothing acknowledged since
    std::vector<PendingStanza> refused_;

    bool resuming_ = false;  // recovering a lost session (resume or renew)
    bool renewing_ = false;  // the server forgot it: a new one is being made
    int recoverySeconds_ = kDefaultRecoverySeconds;
    bool endedByServer_ = false;
    bool interrupted_ = false;
    bool overflowed_ = false;
    ConnectionError lostReason_ = NoError;
    Clock::time_point deadline_;
    Clock::time_point nextAttempt_;
    int pauseMs_ = 0;
};

}  // namespace tern

#endif

// Keeps a room joined on real servers, and keeps what the room's handler
// hears to what really changed.
//
// A join that gets no answer is sent once more, then given up (we leave, in
// case the room lets us in late, and report remote-server-timeout). A join
// refused with item-not-found or service-unavailable (a room being torn
// down) is tried once more after a pause. Once joined, a room that has been
// quiet for a while is asked whether we are still in it (XEP-0410
// self-ping); only an answer that says we fell out leads to a silent
// rejoin, whose occupant list is reconciled with what the handler already
// knew: occupants still there raise nothing, newcomers are reported as
// arriving, and those missing from the list are given a grace period to
// come back (after a server restart they reconnect too, some after us):
// back within it with the same rank, they raise nothing; still missing at
// its end, they are reported gone, once. Whatever a room repeats because a join went
// out twice (its occupants, history and subject) is dropped. Deadlines stop
// while the connection is suspended and start afresh when it is resumed.
#ifndef TERN_SERVICES_ROOMLIVENESS_H
#define TERN_SERVICES_ROOMLIVENESS_H

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "client/Handlers.h"
#include "client/Timers.h"
#include "services/MUCRoom.h"
#include "services/RoomOccupants.h"

namespace tern {

class ClientBase;

class RoomLiveness : public TimerHandler, public IqHandler {
public:
    static constexpr int kJoinTimeoutMs = 15000;
    static constexpr int kQuietMs = 300000;  // before a self-ping
    static constexpr int kPingTimeoutMs = 30000;
    static constexpr int kRefusedRetryMs = 1000;
    // After a rejoin, how long an occupant missing from the room's list may
    // take to come back before it is reported gone. A restarted Prosody
    // took 1.3 s and ejabberd 2 to 3.5 s to take connections again, clients
    // came back up to a second after that, and one that reconnects with
    // pauses that double from 0.5 s may need one more pause than we did.
    static constexpr int kReturnGraceMs = 10000;

    // What an answer to the self-ping says (XEP-0410).
    enum class PingVerdict { Joined, Inconclusive, NotJoined };
    static PingVerdict selfPingVerdict(const Stanza& answer);

    RoomLiveness(ClientBase* parent, MUCRoom* room);
    ~RoomLiveness() override;
    RoomLiveness(const RoomLiveness&) = delete;
    RoomLiveness& operator=(const RoomLiveness&) = delete;

    void setIntervals(int joinTimeoutMs, int quietMs, int pingTimeoutMs, int refusedRetryMs = kRefusedRetryMs,
                      int returnGraceMs = kReturnGraceMs);
    // No deadline fires after this returns (the room is going).
    void detach();

    // The room's side. A join goes out now (before it is sent); silent for
    // a rejoin after falling out.
    void joinSent(bool silent);
    // Anything at all came from the room.
    void heard();
    // The room refused the join: true when it is tried once more.
    bool joinRefused(StanzaError error);
    // A join went out twice: the room may answer both, history included.
    bool expectsRepeats() const;
    // Our own presence came: true when it answers a join (once for each
    // join sent, and for each answer to one sent twice), which its history
    // and subject follow.
    bool answersJoin();
    // Out of the room through no decision of its own; with askAgain, if
    // nothing brings us back in meanwhile, asked again after the join's
    // timeout (else only a new session brings us back).
    void interrupted(bool askAgain);
    // The room session is over: nothing more to watch.
    void stop();
    // The occupants as the handler knows them, to report them gone.
    std::vector<OccupantInfo> known() const;
    // A presence from the room. False when the handler need not hear of it
    // (unchanged after a silent rejoin, back within the grace period with
    // the same rank, or repeated for a join sent twice). A departure that
    // does not name the real address gets the one known. An occupant that
    // was missing, now under its nickname but another real address, is
    // someone else: the missing one goes to gone, to be reported first.
    bool admit(OccupantInfo& info, PresenceShow show, bool self, std::vector<OccupantInfo>& gone);
    // False for the subject the room repeats after a rejoin or a second join.
    bool admitSubject(const std::string& nick, const std::string& subject);
    // The subject the room reported last, and who set it.
    std::pair<std::string, std::string> lastSubject() const;

    // TimerHandler
    long long untilDue(Clock::time_point now) override;
    void onTimer(Clock::time_point now) override;
    void onResumed(Clock::time_point now) override;
    void onSessionRenewing() override;
    void onSessionRenewed(Clock::time_point now, std::vector<PendingStanza>& pending) override;
    // IqHandler: the self-ping's answer.
    bool handleIqByNamespace(Stanza*) override { return false; }
    bool handleIqById(Stanza* stanza, int context) override;

private:
    void rejoin(const std::string& why);
    // In the room: when the self-ping goes out, or its answer is overdue.
    Clock::time_point inRoomDeadline() const;

    ClientBase* parent_;
    MUCRoom* room_;
    mutable std::mutex mutex_;
    int joinTimeoutMs_ = kJoinTimeoutMs;
    int quietMs_ = kQuietMs;
    int pingTimeoutMs_ = kPingTimeoutMs;
    int refusedRetryMs_ = kRefusedRetryMs;
    int returnGraceMs_ = kReturnGraceMs;

    int joinAttempts_ = 0;
    bool silent_ = false;       // the join under way is a silent rejoin
    bool refusedOnce_ = false;  // refused and tried again already
    bool retryPending_ = false;
    bool answerDue_ = false;  // a join went out and our own presence has not come back
    Clock::time_point retryAt_;
    Clock::time_point joinSentAt_;
    // Set by every stanza from the room, without the lock.
    std::atomic<Clock::rep> lastHeard_{0};
    Clock::time_point lastHeard() const { return Clock::time_point(Clock::duration(lastHeard_.load(std::memory_order_relaxed))); }
    void setLastHeard(Clock::time_point t) { lastHeard_.store(t.time_since_epoch().count(), std::memory_order_relaxed); }
    bool pinging_ = false;
    bool askAgain_ = false;  // interrupted: try again by ourselves
    Clock::time_point pingSentAt_;
    Clock::time_point duplicatesUntil_;  // a join went out twice: repeats are dropped until then

    // As the handler knows them; with those missing, never more than
    // RoomOccupants::kMaxOccupants (and our own), however often a room
    // drops us and lists others.
    RoomOccupants known_;
    RoomOccupants missing_;  // known, not in a rejoin's list: reported gone at missingUntil_
    Clock::time_point missingUntil_;
    bool reconciling_ = false;  // a silent rejoin's occupant list is coming
    bool subjectRepeat_ = false;
    std::string subjectNick_;
    std::string subject_;
};

}  // namespace tern

#endif

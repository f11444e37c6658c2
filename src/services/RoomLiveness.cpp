#include "services/RoomLiveness.h"

#include <algorithm>

#include "client/ClientBase.h"
#include "services/RoomCatchUp.h"
#include "stanza/Constants.h"
#include "stanza/Stanza.h"

namespace tern {

namespace {
using Ms = std::chrono::milliseconds;

long long microsUntil(TimerHandler::Clock::time_point due, TimerHandler::Clock::time_point now) {
    const long long left = std::chrono::duration_cast<std::chrono::microseconds>(due - now).count();
    return left < 0 ? 0 : left;
}

bool joining(RoomState s) { return s == RoomState::Joining || s == RoomState::Rejoining; }
}  // namespace

// XEP-0410: a result, or an error our own client gave (it was reached, so we
// are in), or item-not-found (we are in, under a nickname changed
// meanwhile), means joined; the room's server unreachable is inconclusive;
// not-acceptable and any other error mean we are no longer in.
RoomLiveness::PingVerdict RoomLiveness::selfPingVerdict(const Stanza& answer) {
    if (answer.subtype() != IqError) return PingVerdict::Joined;
    switch (answer.errorCondition()) {
        case StanzaErrorServiceUnavailable:
        case StanzaErrorFeatureNotImplemented:
        case StanzaErrorItemNotFound: return PingVerdict::Joined;
        case StanzaErrorRemoteServerNotFound:
        case StanzaErrorRemoteServerTimeout: return PingVerdict::Inconclusive;
        default: return PingVerdict::NotJoined;
    }
}

RoomLiveness::RoomLiveness(ClientBase* parent, MUCRoom* room) : parent_(parent), room_(room) {
    parent_->timers().add(this);
}

RoomLiveness::~RoomLiveness() {
    detach();
    parent_->removeIqIdHandler(this);
}

void RoomLiveness::detach() { parent_->timers().remove(this); }

void RoomLiveness::setIntervals(int joinTimeoutMs, int quietMs, int pingTimeoutMs, int refusedRetryMs,
                                int returnGraceMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    joinTimeoutMs_ = joinTimeoutMs;
    quietMs_ = quietMs;
    pingTimeoutMs_ = pingTimeoutMs;
    refusedRetryMs_ = refusedRetryMs;
    returnGraceMs_ = returnGraceMs;
}

void RoomLiveness::joinSent(bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    joinAttempts_ = 1;
    answerDue_ = true;
    silent_ = silent;
    refusedOnce_ = false;
    retryPending_ = false;
    pinging_ = false;
    joinSentAt_ = Clock::now();
    duplicatesUntil_ = Clock::time_point();
    reconciling_ = silent;
    subjectRepeat_ = silent;
    if (silent) {
        known_.unmarkAll();
    } else {
        // A join from scratch: the handler hears the room anew, so nobody
        // missing from before is reported gone after it.
        known_.clear();
        missing_.clear();
    }
}

void RoomLiveness::interrupted(bool askAgain) {
    std::lock_guard<std::mutex> lock(mutex_);
    pinging_ = false;
    askAgain_ = askAgain;
    joinSentAt_ = Clock::now();
}

void RoomLiveness::heard() { setLastHeard(Clock::now()); }

bool RoomLiveness::joinRefused(StanzaError error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (refusedOnce_ || (error != StanzaErrorItemNotFound && error != StanzaErrorServiceUnavailable)) return false;
        refusedOnce_ = true;
        retryPending_ = true;
        retryAt_ = Clock::now() + Ms(refusedRetryMs_);
    }
    parent_->logInstance().log(LogWarning, LogAreaClient,
                               "room " + room_->roomJid().bare() + " refused the join (error " +
                                   std::to_string(error) + "); trying once more");
    return true;
}

bool RoomLiveness::expectsRepeats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Clock::now() < duplicatesUntil_;
}

bool RoomLiveness::answersJoin() {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool answer = answerDue_ || Clock::now() < duplicatesUntil_;
    answerDue_ = false;
    return answer;
}

void RoomLiveness::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    pinging_ = false;
    retryPending_ = false;
    reconciling_ = false;
    known_.clear();
    missing_.clear();
}

std::vector<OccupantInfo> RoomLiveness::known() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<OccupantInfo> all = known_.all();
    std::vector<OccupantInfo> missing = missing_.all();
    all.insert(all.end(), std::make_move_iterator(missing.begin()), std::make_move_iterator(missing.end()));
    return all;
}

bool RoomLiveness::admit(OccupantInfo& info, PresenceShow show, bool self, std::vector<OccupantInfo>& gone) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string& nick = info.nick.resource();
    std::optional<OccupantInfo> wasMissing = missing_.size() ? missing_.take(nick) : std::nullopt;
    if (show == PresenceShowUnavailable) {
        std::optional<JID> known = known_.erase(nick);
        if (!known && wasMissing) known = wasMissing->jid;
        if (!info.jid) info.jid = std::move(known);
        return true;
    }
    // Newcomers fit beside the missing; one that was missing has its place.
    const RoomOccupants::Change before = known_.update(info, show, reconciling_, wasMissing ? 0 : missing_.size());
    const bool repeated = before.samePresence && Clock::now() < duplicatesUntil_;
    bool unchanged = (reconciling_ && before.sameRank) || repeated;
    if (wasMissing) {
        // Back within the grace period: as if it had never been away; but
        // another account under the nickname is somebody else.
        const bool sameAccount = !wasMissing->jid || !info.jid || wasMissing->jid->sameBareAs(*info.jid);
        unchanged = sameAccount && wasMissing->role == info.role && wasMissing->affiliation == info.affiliation;
        if (!sameAccount) gone.push_back(std::move(*wasMissing));
    }
    if (self && reconciling_) {
        // The own presence closes the occupant list: whoever was not in it
        // went while we were out, or is on the way back as we were.
        reconciling_ = false;
        const std::vector<OccupantInfo> absent = known_.dropUnmarked();
        for (const OccupantInfo& o : absent) missing_.update(o, PresenceShowUnavailable, false);
        if (!absent.empty()) missingUntil_ = Clock::now() + Ms(returnGraceMs_);
    }
    return !unchanged;
}

bool RoomLiveness::admitSubject(const std::string& nick, const std::string& subject) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool expected = subjectRepeat_ || Clock::now() < duplicatesUntil_;
    const bool repeat = expected && nick == subjectNick_ && subject == subject_;
    subjectRepeat_ = false;
    subjectNick_ = nick;
    subject_ = subject;
    return !repeat;
}

std::pair<std::string, std::string> RoomLiveness::lastSubject() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {subjectNick_, subject_};
}

long long RoomLiveness::untilDue(Clock::time_point now) {
    const RoomState state = room_->state();
    std::lock_guard<std::mutex> lock(mutex_);
    if (missing_.size() && (state == RoomState::Joined || state == RoomState::NickChangePending))
        return std::min(microsUntil(missingUntil_, now), microsUntil(inRoomDeadline(), now));
    if (state == RoomState::Interrupted) return askAgain_ ? microsUntil(joinSentAt_ + Ms(joinTimeoutMs_), now) : -1;
    if (joining(state))
        return microsUntil(retryPending_ ? retryAt_ : joinSentAt_ + Ms(joinTimeoutMs_), now);
    if (state != RoomState::Joined && state != RoomState::NickChangePending) return -1;
    return microsUntil(inRoomDeadline(), now);
}

RoomLiveness::Clock::time_point RoomLiveness::inRoomDeadline() const {
    return pinging_ ? pingSentAt_ + Ms(pingTimeoutMs_) : lastHeard() + Ms(quietMs_);
}

void RoomLiveness::onTimer(Clock::time_point now) {
    enum { Nothing, Resend, Retry, GiveUp, Ping, Unanswered, AskAgain } action = Nothing;
    std::vector<OccupantInfo> gone;
    const RoomState state = room_->state();
    bool inRoomDue = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool in = state == RoomState::Joined || state == RoomState::NickChangePending;
        if (in && missing_.size() && now >= missingUntil_) {
            gone = missing_.all();
            missing_.clear();
        }
        inRoomDue = !in || now >= inRoomDeadline();
    }
    // Not back in time: gone, once.
    if (!gone.empty()) room_->reportGone(gone);
    if (!inRoomDue) return;  // only the grace period was due
    gone.clear();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state == RoomState::Interrupted) {
            // Nothing brought us back (an answer lost with a connection).
            if (!askAgain_ || now < joinSentAt_ + Ms(joinTimeoutMs_)) return;
            joinSentAt_ = now;
            action = AskAgain;
        } else if (joining(state) && retryPending_) {
            if (now < retryAt_) return;
            retryPending_ = false;
            joinSentAt_ = now;
            action = Retry;
        } else if (joining(state)) {
            if (now < joinSentAt_ + Ms(joinTimeoutMs_)) return;
            if (joinAttempts_ < 2) {
                ++joinAttempts_;
                joinSentAt_ = now;
                // Both joins may be answered: the second answer repeats the first.
                duplicatesUntil_ = now + Ms(2 * joinTimeoutMs_);
                action = Resend;
            } else {
                if (silent_) gone = known_.all();
                action = GiveUp;
            }
        } else if (state == RoomState::NickChangePending) {
            // No self-ping while the nickname is changing: it would ask after
            // a name that is on its way out.
            pinging_ = false;
            setLastHeard(now);
        } else if (state == RoomState::Joined && pinging_) {
            pinging_ = false;
            setLastHeard(now);
            action = Unanswered;
        } else if (state == RoomState::Joined) {
            if (now < lastHeard() + Ms(quietMs_)) return;
            pinging_ = true;
            pingSentAt_ = now;
            action = Ping;
        }
    }
    LogExport& log = parent_->logInstance();
    const JID room = room_->roomJid();
    switch (action) {
        case Nothing: break;
        case Resend:
            log.log(LogWarning, LogAreaClient, "room " + room.bare() + ": no answer to the join; sending it once more");
            room_->resendJoinPresence();
            break;
        case Retry: room_->resendJoinPresence(); break;
        case AskAgain: room_->catchUp_->interrupted(nullptr); break;
        case GiveUp:
            log.log(LogError, LogAreaClient, "room " + room.bare() + ": no answer to the join, twice; giving up");
            room_->joinGivenUp(StanzaErrorRemoteServerTimeout, gone);
            break;
        case Unanswered:
            // The service may be unreachable for now; asked again after the
            // next quiet interval.
            log.log(LogWarning, LogAreaClient, "room " + room.bare() + ": the self-ping went unanswered");
            break;
        case Ping: {
            XmlTag* iq = new XmlTag("iq");
            iq->setAttribute("type", "get");
            iq->setAttribute("id", parent_->newId());
            iq->setAttribute("to", room.full());
            new XmlTag(iq, "ping", "xmlns", XMPP_XMLNS_XMPP_PING);
            parent_->sendIq(iq, this, 0);
            break;
        }
    }
}

void RoomLiveness::onResumed(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    // What was due while the connection was away counts from now: the
    // stream was resumed, so nothing sent before was lost.
    joinSentAt_ = now;
    setLastHeard(now);
    if (pinging_) pingSentAt_ = now;
    if (retryPending_) retryAt_ = std::max(retryAt_, now);
}

bool RoomLiveness::handleIqById(Stanza* stanza, int) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!pinging_) return true;
        pinging_ = false;
        setLastHeard(Clock::now());
    }
    const std::string room = room_->roomJid().bare();
    switch (selfPingVerdict(*stanza)) {
        case PingVerdict::Joined: break;
        case PingVerdict::Inconclusive:
            parent_->logInstance().log(LogWarning, LogAreaClient, "room " + room + " is unreachable for now");
            break;
        case PingVerdict::NotJoined:
            // Only while still joined: a nickname change or an end decided
            // meanwhile holds.
            if (room_->state() == RoomState::Joined)
                rejoin("the room no longer counts us in (error " + std::to_string(stanza->errorCondition()) + ")");
            break;
    }
    return true;
}

void RoomLiveness::rejoin(const std::string& why) {
    room_->state_ = RoomState::Rejoining;
    joinSent(true);
    parent_->logInstance().log(LogWarning, LogAreaClient,
                               "room " + room_->roomJid().bare() + ": " + why + "; joining again");
    room_->sendJoinPresence(new XmlTag(nullptr, "history", "maxstanzas", "0"));
}

void RoomLiveness::onSessionRenewing() { room_->interruptForNewSession(); }

void RoomLiveness::onSessionRenewed(Clock::time_point, std::vector<PendingStanza>& pending) {
    room_->afterNewSession(pending);
}

}  // namespace tern

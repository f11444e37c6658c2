#include "services/RoomLiveness.h"

#include "client/ClientBase.h"
#include "stanza/Constants.h"
#include "stanza/Stanza.h"

namespace tern {

namespace {
using Ms = std::chrono::milliseconds;

long long microsUntil(TimerHandler::Clock::time_point due, TimerHandler::Clock::time_point now) {
    const long long left = std::chrono::duration_cast<std::chrono::microseconds>(due - now).count();
    return left < 0 ? 0 : left;
}
}  // namespace

RoomLiveness::RoomLiveness(ClientBase* parent, MUCRoom* room) : parent_(parent), room_(room) {
    parent_->timers().add(this);
}

RoomLiveness::~RoomLiveness() {
    detach();
    parent_->removeIqIdHandler(this);
}

void RoomLiveness::detach() { parent_->timers().remove(this); }

void RoomLiveness::setIntervals(int joinTimeoutMs, int quietMs, int pingTimeoutMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    joinTimeoutMs_ = joinTimeoutMs;
    quietMs_ = quietMs;
    pingTimeoutMs_ = pingTimeoutMs;
}

void RoomLiveness::joinSent() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = Joining;
    joinAttempts_ = 1;
    silent_ = false;
    joinSentAt_ = Clock::now();
    known_.clear();
}

void RoomLiveness::heard() {
    std::lock_guard<std::mutex> lock(mutex_);
    lastHeard_ = Clock::now();
}

void RoomLiveness::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = Idle;
    pinging_ = false;
    reconciling_ = false;
    known_.clear();
}

bool RoomLiveness::admit(const OccupantInfo& info, PresenceShow show, bool self, std::vector<OccupantInfo>& vanished) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string nick = info.nick.resource();
    if (show == PresenceShowUnavailable) {
        known_.erase(nick);
        return true;
    }
    const auto before = known_.find(nick);
    const bool unchanged = reconciling_ && before != known_.end() && before->second.role == info.role &&
                           before->second.affiliation == info.affiliation;
    known_[nick] = info;
    if (reconciling_) seen_.insert(nick);
    if (self) {
        if (state_ == Joining) {
            state_ = Joined;
            lastHeard_ = Clock::now();
        }
        if (reconciling_) {
            // The own presence closes the occupant list: whoever was not in
            // it has gone while we were out.
            reconciling_ = false;
            for (auto it = known_.begin(); it != known_.end();) {
                if (seen_.count(it->first)) {
                    ++it;
                    continue;
                }
                OccupantInfo gone = it->second;
                gone.flags = 0;
                gone.newNick.clear();
                vanished.push_back(gone);
                it = known_.erase(it);
            }
            seen_.clear();
        }
    }
    return !unchanged;
}

bool RoomLiveness::admitSubject(const std::string& nick, const std::string& subject) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool repeat = subjectRepeat_ && nick == subjectNick_ && subject == subject_;
    subjectRepeat_ = false;
    subjectNick_ = nick;
    subject_ = subject;
    return !repeat;
}

long long RoomLiveness::untilDue(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (state_) {
        case Idle: return -1;
        case Joining: return microsUntil(joinSentAt_ + Ms(joinTimeoutMs_), now);
        case Joined:
            return pinging_ ? microsUntil(pingSentAt_ + Ms(pingTimeoutMs_), now)
                            : microsUntil(lastHeard_ + Ms(quietMs_), now);
    }
    return -1;
}

void RoomLiveness::onTimer(Clock::time_point now) {
    enum { Nothing, Resend, TimedOut, Ping } action = Nothing;
    bool limitHistory = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ == Joining) {
            if (joinAttempts_ < 2) {
                ++joinAttempts_;
                joinSentAt_ = now;
                limitHistory = silent_;
                action = Resend;
            } else {
                state_ = Idle;
                action = TimedOut;
            }
        } else if (state_ == Joined && pinging_) {
            // Unanswered: the service may be unreachable for now; ask again
            // after the next quiet interval.
            pinging_ = false;
            lastHeard_ = now;
        } else if (state_ == Joined) {
            pinging_ = true;
            pingSentAt_ = now;
            action = Ping;
        }
    }
    LogExport& log = parent_->logInstance();
    const std::string room = room_->roomJid().bare();
    switch (action) {
        case Nothing: break;
        case Resend:
            log.log(LogWarning, LogAreaClient, "room " + room + ": no answer to the join; sending it once more");
            room_->sendJoinPresence(limitHistory);
            break;
        case TimedOut:
            log.log(LogError, LogAreaClient, "room " + room + ": no answer to the join, twice; giving up");
            room_->joinTimedOut();
            break;
        case Ping: {
            XmlTag* iq = new XmlTag("iq");
            iq->setAttribute("type", "get");
            iq->setAttribute("id", parent_->newId());
            iq->setAttribute("to", room_->roomJid().full());
            new XmlTag(iq, "ping", "xmlns", XMPP_XMLNS_XMPP_PING);
            parent_->sendIq(iq, this, 0);
            break;
        }
    }
}

bool RoomLiveness::handleIqById(Stanza* stanza, int) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!pinging_) return true;
        pinging_ = false;
        lastHeard_ = Clock::now();
    }
    if (stanza->subtype() != IqError) return true;
    // XEP-0410: these errors come from our own client, so we are in.
    const StanzaError error = stanza->errorCondition();
    switch (error) {
        case StanzaErrorServiceUnavailable:
        case StanzaErrorFeatureNotImplemented: return true;
        case StanzaErrorRemoteServerNotFound:
        case StanzaErrorRemoteServerTimeout:
            parent_->logInstance().log(LogWarning, LogAreaClient,
                                       "room " + room_->roomJid().bare() + " is unreachable for now");
            return true;
        default: break;
    }
    rejoin("the room no longer counts us in (error " + std::to_string(error) + ")");
    return true;
}

void RoomLiveness::rejoin(const std::string& why) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = Joining;
        joinAttempts_ = 1;
        silent_ = true;
        joinSentAt_ = Clock::now();
        reconciling_ = true;
        seen_.clear();
        subjectRepeat_ = true;
    }
    parent_->logInstance().log(LogWarning, LogAreaClient,
                               "room " + room_->roomJid().bare() + ": " + why + "; joining again");
    room_->sendJoinPresence(true);
}

}  // namespace tern

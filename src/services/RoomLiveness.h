// Keeps a room joined on real servers. A join that gets no answer is sent
// once more, then reported as remote-server-timeout. Once joined, a room
// that has been quiet for a while is asked whether we are still in it
// (XEP-0410 self-ping); when the answer says no (a restarted service, a
// kick that never reached us) the room is joined again without old
// messages, and what the room's handler hears is reconciled with what it
// had heard: occupants still there raise nothing, those gone are reported
// as gone, newcomers as arriving.
#ifndef TERN_SERVICES_ROOMLIVENESS_H
#define TERN_SERVICES_ROOMLIVENESS_H

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "client/Handlers.h"
#include "client/Timers.h"
#include "services/MUCRoom.h"

namespace tern {

class ClientBase;

class RoomLiveness : public TimerHandler, public IqHandler {
public:
    static constexpr int kJoinTimeoutMs = 15000;
    static constexpr int kQuietMs = 300000;  // before a self-ping
    static constexpr int kPingTimeoutMs = 30000;

    RoomLiveness(ClientBase* parent, MUCRoom* room);
    ~RoomLiveness() override;
    RoomLiveness(const RoomLiveness&) = delete;
    RoomLiveness& operator=(const RoomLiveness&) = delete;

    void setIntervals(int joinTimeoutMs, int quietMs, int pingTimeoutMs);
    // No deadline fires after this returns (the room is going).
    void detach();

    // The room's side. A join goes out now (before it is sent).
    void joinSent();
    // Anything at all came from the room.
    void heard();
    // The join was refused, or the room was left: nothing more to watch.
    void stop();
    // A presence from the room. False when the handler need not hear of it
    // (unchanged after a silent rejoin); vanished gets the occupants to
    // report as gone once the rejoin is complete.
    bool admit(const OccupantInfo& info, PresenceShow show, bool self, std::vector<OccupantInfo>& vanished);
    // False for the subject the room repeats after a silent rejoin.
    bool admitSubject(const std::string& nick, const std::string& subject);

    // TimerHandler
    long long untilDue(Clock::time_point now) override;
    void onTimer(Clock::time_point now) override;
    // IqHandler: the self-ping's answer.
    bool handleIqByNamespace(Stanza*) override { return false; }
    bool handleIqById(Stanza* stanza, int context) override;

private:
    enum State { Idle, Joining, Joined };
    void rejoin(const std::string& why);

    ClientBase* parent_;
    MUCRoom* room_;
    std::mutex mutex_;
    int joinTimeoutMs_ = kJoinTimeoutMs;
    int quietMs_ = kQuietMs;
    int pingTimeoutMs_ = kPingTimeoutMs;

    State state_ = Idle;
    int joinAttempts_ = 0;
    bool silent_ = false;  // the join under way is a silent rejoin
    Clock::time_point joinSentAt_;
    Clock::time_point lastHeard_;
    bool pinging_ = false;
    Clock::time_point pingSentAt_;

    std::map<std::string, OccupantInfo> known_;  // by nickname, as the handler knows them
    bool reconciling_ = false;
    std::set<std::string> seen_;  // present in the rejoin's occupant list
    bool subjectRepeat_ = false;
    std::string subjectNick_;
    std::string subject_;
};

}  // namespace tern

#endif

// What a room said while we were out of it, and what we had said that it
// never had. When a room session is interrupted through no decision of the
// room's (the server restarted and forgot our session, or the room dropped
// us over a connection problem, status 333), the room is joined again and
// asked for what was said since the last message the handler heard: from
// the room's archive (XEP-0313) when its discovery information lists one,
// else as its history since that time. What the handler already had is
// dropped, by the room's stanza-id (XEP-0359) where there is one. Without
// one, the history is held until it ends (the room's subject) and laid
// against the order of what the handler heard before: only its opening run
// that repeats, message for message, the last ones heard (by sender and
// text) is dropped; nothing from a room made anew (status 201), nothing
// after the first message that differs, and nothing the history dates
// after we went out. Our own messages that the room never got go out
// again, and those it did get (recognised by their origin-id) do not. A
// subject change goes out fresh or not at all: one the old session left
// unacknowledged is reported as not sent (unless the room reported it as
// ours), as it could replace a newer subject.
#ifndef TERN_SERVICES_ROOMCATCHUP_H
#define TERN_SERVICES_ROOMCATCHUP_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/Handlers.h"
#include "client/PendingStanza.h"
#include "client/Timers.h"
#include "services/ServiceDiscovery.h"

namespace tern {

class ClientBase;
class MUCRoom;

class RoomCatchUp : public IqHandler, public ServiceDiscoveryHandler, public TimerHandler {
public:
    static constexpr int kPageSize = 50;
    static constexpr int kMaxPages = 20;      // a room that pages on without end is cut off there
    static constexpr std::size_t kRemembered = 256;  // ids and texts of messages delivered, per room
    static constexpr int kClockSlackSeconds = 60;    // 'since' reaches back this far for clock skew
    // A room that does not say whether it keeps an archive, or does not
    // finish its answer or history, within this is done without.
    static constexpr int kStepSeconds = 30;
    static constexpr std::size_t kOutboxLimit = 100;  // messages waiting while out; more are dropped
    // A join's history held until it ends; past this the run of repeats
    // has ended for sure (it is no longer than what is remembered) and
    // what is held goes out.
    static constexpr std::size_t kHeldLimit = 2 * kRemembered;
    static constexpr std::size_t kHeldBytes = 4 << 20;  // nor more text than this

    RoomCatchUp(ClientBase* parent, MUCRoom* room);
    ~RoomCatchUp() override;
    RoomCatchUp(const RoomCatchUp&) = delete;
    RoomCatchUp& operator=(const RoomCatchUp&) = delete;

    // A groupchat message from the room with its body (and, from a join's
    // history, its delay stamp). Deliver: remembered, for the handler now;
    // Drop: the handler had it already; Held: part of a join's history (or
    // behind one), delivered in order (or dropped) once it ends.
    enum Verdict { Deliver, Drop, Held };
    Verdict admit(const Stanza& message, const std::string& body, bool history, const std::string& stamp);
    // An archive result (consumed: true) while a query is out; what it
    // carries reaches the room's handler through deliver.
    bool archived(const Stanza& message);

    // The session came back without the room: take our messages to it from
    // what the old session had not had acknowledged, and ask whether the
    // room keeps an archive; the room rejoins when that is known.
    void interrupted(std::vector<PendingStanza>* pending);
    // We are out of the room (for now): what is sent to it waits.
    void markOut();
    // Out, or back in but not yet caught up.
    bool holding() const;
    // Takes the message when we are out, or not yet caught up: it goes out
    // once we are back. False: send it now.
    bool hold(std::unique_ptr<XmlTag>& message);
    // The history element a rejoin asks with (null: none at all).
    XmlTag* historyForRejoin() const;
    // Our own presence came back (created: the room was made anew by this
    // join, status 201): ask the archive, or wait for the history.
    void rejoined(bool created = false);
    // The room's subject ends the history a join brings: what was held of
    // it goes to the handler, less what it had already.
    void historyEnded();
    // The room session ended: nothing waits any more.
    void reset();

    // IqHandler: the archive's answers.
    bool handleIqByNamespace(Stanza*) override { return false; }
    bool handleIqById(Stanza* stanza, int context) override;
    // ServiceDiscoveryHandler: the room's features.
    void onDiscoInfoResult(Stanza* stanza, int context) override;
    void onDiscoItemsResult(Stanza*, int) override {}
    void onDiscoError(Stanza* stanza, int context) override;
    // TimerHandler: the deadline of the step under way.
    long long untilDue(Clock::time_point now) override;
    void onTimer(Clock::time_point now) override;

private:
    enum Phase { Idle, Probing, Rejoining, Querying, AwaitingHistory };
    // The last kRemembered keys added, oldest first overwritten. Looked up
    // only for history and resends, so a scan does; the ring costs nothing
    // until the first key, and no more than its keys after.
    class RecentKeys {
    public:
        bool contains(std::uint64_t key) const;
        void add(std::uint64_t key);

    private:
        std::vector<std::uint64_t> ring_;
        std::size_t next_ = 0;
    };
    // SipHash under a key nobody else knows, so that nobody can choose
    // texts or nicknames whose keys collide; where one part ends counts
    // (a sender and text are keyed in one pass, sipHash13Pair).
    std::uint64_t fold(std::uint64_t key, std::string_view part) const;
    std::uint64_t keyOf(std::string_view part) const { return fold(0, part); }
    // A message as the handler will get it, held until the history ends.
    struct HeldMessage {
        std::string nick, body, stamp, stanzaId;
        std::uint64_t said = 0, saidAt = 0;  // sender and text; and its stamp
        std::optional<long long> when;       // the stamp, in seconds
        bool history = true;
    };
    // Under mutex_: what of the held history the handler did not have, in
    // order; each is remembered.
    std::vector<HeldMessage> settle();
    void remember(const HeldMessage& m);  // under mutex_
    void deliver(const std::vector<HeldMessage>& messages);
    bool holdingHistoryUp() const;  // a catch-up waits for the history's end
    void query(const std::string& after);
    void finish();
    // Probing is over (answered or not): rejoin, with the archive or not.
    void probed(bool archive);
    void startStep(Phase phase);  // under mutex_
    std::string ownMessageId(const Stanza& message) const;
    // A request about the room itself (roles, affiliations, its
    // configuration or destruction).
    static bool administrative(const PendingStanza& request);
    PendingStanza pending(const XmlTag& message) const;

    ClientBase* parent_;
    MUCRoom* room_;
    const std::string roomAddress_;  // bare: a nickname change leaves it
    mutable std::mutex mutex_;
    Phase phase_ = Idle;
    Clock::time_point stepDeadline_;  // of Probing, Querying and AwaitingHistory
    bool archive_ = false;             // the room lists urn:xmpp:mam:2
    std::string queryId_;
    int pages_ = 0;
    int caughtUp_ = 0;
    bool renewed_ = false;  // the session was made afresh (not just the room)
    bool out_ = false;      // out of the room, until caught up
    std::vector<PendingStanza> resend_;            // ours, from the forgotten session
    std::vector<std::unique_ptr<XmlTag>> outbox_;  // sent while out

    std::string lastStanzaId_;  // the room's id of the last message delivered
    std::chrono::system_clock::time_point lastHeard_;
    std::chrono::system_clock::time_point heardBeforeOut_;  // while out: history said later is new
    RecentKeys recentIds_;
    RecentKeys historyTexts_;  // sender, body and stamp of history delivered: a join answered twice repeats it
    RecentKeys ownEchoes_;     // the ids of our own messages the room sent back
    std::deque<std::uint64_t> heard_;  // sender and body of the last kRemembered delivered, oldest first
    std::vector<HeldMessage> held_;    // a join's history (and what came with it), in the room's order
    Clock::time_point heldUntil_;      // a history whose subject does not come goes as it stands
    std::size_t heldBytes_ = 0;
    bool madeAnew_ = false;            // the rejoin created the room: its history is all new
    bool runEnded_ = false;            // the held history was settled: what follows is new
};

}  // namespace tern

#endif

// What the session's events mean for the viewer: lines for the chat box and
// the log, the connection's state, and who is in the room. One table maps
// event codes to their handling; codes it does not know are ignored.
#ifndef PARLEY_MPV_ROOMVIEW_H
#define PARLEY_MPV_ROOMVIEW_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "EventText.h"
#include "Utf16.h"

namespace mpvchat {

class RoomView {
public:
    struct Occupant {
        std::string display, identifier;
        std::uint64_t since = 0;  // arrival order: who showed an identifier first
    };
    // What the library's member list says of an identifier (IsOwner,
    // IsModerator, IsWriteBlock); never a nickname's tag, which its holder
    // may type.
    struct Rights {
        bool owner = false, moderator = false, muted = false;
    };
    using RightsOf = std::function<Rights(const std::string& identifier)>;
    struct Outcome {
        std::string line;     // for the chat box and the log; empty: none
        std::string log;      // for the log alone
        bool chat = false;    // a message, not a notice
        bool warning = false;  // a notice about something wrong in the room
        std::string status;   // the connection's new state; empty: unchanged
        bool sticky = false;  // the state stays on screen (something is wrong)
        std::string control;  // a control message's body, for watching together
        bool live = false;    // the room's history is over: what comes now is new
        bool ended = false;   // the session is over
    };

    RoomView(std::string ownIdentifier, std::string room, std::size_t maxChars, RightsOf rights = nullptr);

    // arg4 as the callback gave it (why we left, what was not sent, ...).
    Outcome onEvent(int code, const HostString* text, int arg4 = 0);

    bool inRoom() const { return inRoom_; }
    // The room replays its history after our presence and ends it with its
    // subject; control messages before that are stale.
    bool live() const { return live_; }
    // Whether to ask the room for a moderation: the library says we are a
    // moderator, or cannot say (another occupant shows our identifier) and
    // the room decides.
    bool mayModerate() const;
    // Our own name in the room, as the room last told it.
    std::string ownName() const;
    const std::string& room() const { return room_; }
    // Occupants whose display name, else whose identifier, is name.
    std::vector<Occupant> find(std::string_view name) const;
    // How many occupants show the identifier, when two or more (the library
    // then names none of them by it); else 0.
    int sharedBy(const std::string& identifier) const;
    // "3 in room 4711:" and a line for each occupant, with its rights as the
    // library knows them.
    std::vector<std::string> who() const;

    // Handlers of the event table.
    void connected(int, int, const HostString*, Outcome&);
    void disconnected(int, int, const HostString*, Outcome&);
    void present(int, int, const HostString*, Outcome&);
    void listed(int, int, const HostString*, Outcome&);
    void roleChanged(int, int, const HostString*, Outcome&);
    void departed(int, int, const HostString*, Outcome&);
    void renamed(int, int, const HostString*, Outcome&);
    void chat(int, int, const HostString*, Outcome&);
    void subject(int, int, const HostString*, Outcome&);
    void control(int, int, const HostString*, Outcome&);
    void roomError(int, int, const HostString*, Outcome&);
    void notSent(int, int, const HostString*, Outcome&);
    void interrupted(int, int, const HostString*, Outcome&);
    void restored(int, int, const HostString*, Outcome&);
    void notice(int, int, const HostString*, Outcome&);
    void shared(int, int, const HostString*, Outcome&);

private:
    std::string name(const std::string& display, const std::string& identifier) const;
    bool isOwn(const std::string& key) const { return !ownNick_.empty() && key == ownNick_; }
    // Where the occupant an event names is kept.
    std::string keyFor(const Nickname& n) const;
    // The occupant under key, made known if new, with the name the event
    // gave; nullptr for an empty key.
    Occupant* note(const std::string& key, const Nickname& nickname);

    std::string ownIdentifier_, room_;
    std::size_t maxChars_;
    RightsOf rights_;
    // Ours is told by the whole nickname, as the room spelled it: the
    // identifier in it is anyone's to show.
    std::string ownNick_;
    bool connected_ = false, inRoom_ = false, live_ = false;
    std::uint64_t arrivals_ = 0;
    std::map<std::string, Occupant> occupants_;  // by nickname, tag as ":us"
    std::map<std::string, int> shared_;           // identifiers two or more show
};

}  // namespace mpvchat

#endif

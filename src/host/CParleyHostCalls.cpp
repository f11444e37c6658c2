// The host's calls on its room. Each only queues a command for the
// session's thread (see HostCommands) and returns: the thread sends it when
// the room can take it, and what can never go is reported to the host as
// PARLEY_EVENT_NOT_SENT. The member list answers at once.
#include "host/CParley.h"

#include "client/StreamManagement.h"

namespace tern {

using Kind = HostCommands::Kind;
using Moderation = HostCommands::Moderation;

namespace {
// Text the log-out still sends of what the host queued, in UTF-16 units.
constexpr std::size_t kLogoutFlushUnits = 64 * 1024;
}  // namespace

bool CParley::queue(HostCommands::Command command) {
    // A registration has no room; a room session that is over takes nothing.
    if (!client_ || !room_ || room_->state() == RoomState::Ended || !commands_.push(std::move(command))) return false;
    client_->wakeReceive();
    return true;
}

bool CParley::sendChat(const char16_t* text) { return text && queue({Kind::Message, Moderation::None, text, {}}); }

bool CParley::changeNickname(const char16_t* nickname) {
    return nickname && queue({Kind::Nickname, Moderation::None, nickname, {}});
}

bool CParley::changeSubject(const char16_t* subject) {
    return subject && queue({Kind::Subject, Moderation::None, subject, {}});
}

bool CParley::moderate(const char16_t* identifier, Moderation what) {
    if (!identifier || !room_) return false;
    std::optional<std::u16string> nick = members_.nicknameOf(identifier);
    if (!nick) {
        // Not in the room, or shown by several: nobody to act on.
        const int holders = members_.holders(identifier);
        if (holders > 1)
            logWarning("not sent: the moderation names " + util_.toUtf8String(identifier) + ", which " +
                       std::to_string(holders) + " occupants carry");
        return false;
    }
    return queue({Kind::Moderation, what, identifier, std::move(*nick)});
}

bool CParley::destroyRoom() { return queue({Kind::Destruction, Moderation::None, {}, {}}); }

// Joined and caught up, on a stream that is up: what the room is sent now
// reaches it, in order, behind whatever it still had to get from before.
bool CParley::roomTakesCommands() const {
    return client_->step() == StreamStep::Established && client_->writable() &&
           !client_->streamManagement()->resuming() && room_->takesMessages();
}

void CParley::sendQueuedCommands(bool loggingOut) {
    if (commands_.empty() || !room_) return;
    if (room_->state() == RoomState::Ended) {
        // After 11025 and the room's own word on it (a refusal that came
        // first waits for 11025 too).
        if (roomEvents_.isOpen()) reportNotSent(commands_.takeAll(false));
        return;
    }
    // A session being stopped sends nothing more on its own thread; the
    // log-out sends a bounded part of a backlog (the server had stopped
    // reading): more would hold up the host.
    std::size_t budget = loggingOut ? kLogoutFlushUnits : SIZE_MAX;
    const auto ready = [&](const HostCommands::Command& next) {
        return (loggingOut || !stop_) && next.text.size() <= budget && roomTakesCommands();
    };
    HostCommands::Command c;
    while (commands_.takeIf(ready, c)) {
        budget -= c.text.size();
        run(c);
    }
}

void CParley::run(const HostCommands::Command& c) {
    const std::string text = util_.toUtf8String(c.text.c_str());
    switch (c.kind) {
        case Kind::Message: room_->sendMessage(text); break;
        case Kind::Subject: room_->changeSubject(text); break;
        case Kind::Nickname: room_->changeNickname(text); break;
        case Kind::Destruction: room_->destroy("", nullptr, ""); break;
        case Kind::Moderation: {
            const std::string target = util_.toUtf8String(c.target.c_str());
            switch (c.action) {
                case Moderation::Kick: room_->setRole(target, RoleNone, ""); break;
                case Moderation::BlockWriting: room_->setRole(target, RoleVisitor, ""); break;
                case Moderation::CancelRole: room_->setRole(target, RoleParticipant, ""); break;
                case Moderation::MakeModerator: room_->setRole(target, RoleModerator, ""); break;
                case Moderation::Ban: room_->setAffiliation(target, AffiliationOutcast, ""); break;
                case Moderation::None: break;
            }
            break;
        }
    }
}

void CParley::raiseNotSent(Kind kind, const std::u16string& text) {
    raise(PARLEY_EVENT_NOT_SENT, roomNumber_, static_cast<std::int32_t>(kind),
          kind == Kind::Destruction ? nullptr : &text);
}

void CParley::reportNotSent(const std::vector<HostCommands::Command>& commands) {
    for (const HostCommands::Command& c : commands) raiseNotSent(c.kind, c.text);
}

void CParley::handleNotSent(const PendingStanza& stanza, NotSentReason) {
    Kind kind;
    std::u16string text;
    if (room_ && HostCommands::fromStanza(stanza, roomJid_.bare(), kind, text)) raiseNotSent(kind, text);
}

bool CParley::isOwner(const char16_t* identifier) const {
    return identifier && members_.affiliationOf(identifier) == AffiliationOwner;
}

bool CParley::isModerator(const char16_t* identifier) const {
    return identifier && members_.roleOf(identifier) == RoleModerator;
}

bool CParley::isWriteBlocked(const char16_t* identifier) const {
    return identifier && members_.roleOf(identifier) == RoleVisitor;
}

bool CParley::isNicknameTaken(const char16_t* identifier) const { return identifier && members_.contains(identifier); }

int CParley::memberCount() const { return room_ ? members_.count() : 0; }

}  // namespace tern

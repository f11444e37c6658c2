// The room's occupants and what they say, as the host hears of them: the
// classification of presences and messages, the member list they keep,
// and the configuration of a room our own join creates.
#include "host/CParley.h"

#include "host/EventTexts.h"
#include "host/RoomCreation.h"
#include "host/TextCodec.h"

namespace tern {

namespace {
constexpr std::size_t kOwnTail = 39;  // code units of a nickname that tell our echo

std::u16string lastUnits(const std::u16string& s, std::size_t n) {
    return s.size() <= n ? s : s.substr(s.size() - n);
}
}  // namespace

void CParley::logWarning(const std::string& line) const {
    if (client_) client_->logInstance().log(LogWarning, LogAreaClient, line);
}

void CParley::raiseShared(const std::u16string& identifier, int holders) {
    raise(PARLEY_EVENT_IDENTIFIER_SHARED, currentRoomNumber(), holders, &identifier);
}

void CParley::onOccupantPresence(MUCRoom*, OccupantInfo occupant, PresenceShow show) {
    const std::string& nickname = occupant.nick.resource();
    if (nickname.empty()) return;
    // Ours by the room's word (110) or under our nickname as the room
    // confirmed it; never by the identifier, which anyone may show.
    const bool own = (occupant.flags & UserSelf) || (room_ && room_->hasNickname(nickname));
    const std::int32_t number = currentRoomNumber();
    raise(PARLEY_EVENT_PRESENCE, number, occupant.tc);

    // A room that hides real addresses still shows its occupants: with an
    // empty user part, except ours, which we know.
    std::string user;
    if (occupant.jid)
        user = occupant.jid->username();
    else if (own && client_)
        user = client_->jid().username();
    const std::u16string text = presenceText(user, nickname, occupant.newNick, occupant.role == RoleModerator);
    const std::u16string nick = utf8ToUtf16(nickname);
    const std::u16string id = cutNickname(nick).identifier;

    if (show == PresenceShowAvailable) {
        std::int32_t code = PARLEY_EVENT_OCCUPANT_PRESENT;
        int sharedNow = 0;
        if (const std::optional<int> before = members_.roleOfMember(nick)) {
            switch (occupant.role) {
                case RoleNone: code = PARLEY_EVENT_ROLE_NONE; break;
                case RoleVisitor: code = PARLEY_EVENT_ROLE_VISITOR; break;
                case RoleModerator: code = PARLEY_EVENT_ROLE_MODERATOR; break;
                case RoleParticipant:
                    code = *before == RoleVisitor     ? PARLEY_EVENT_VOICE_GRANTED
                           : *before == RoleModerator ? PARLEY_EVENT_MODERATOR_REVOKED
                                                      : PARLEY_EVENT_OCCUPANT_PRESENT;
                    break;
                default: break;
            }
            members_.setRank(nick, occupant.affiliation, occupant.role);
        } else if (const int holders = members_.addMember(std::u16string(), nick, id, occupant.affiliation,
                                                            occupant.role, own)) {
            if (holders > 1) sharedNow = holders;
        } else {
            // Past the limit: not listed, so not reported either.
            if (!listFullReported_)
                logWarning("room " + roomJid_.bare() + ": " + std::to_string(members_.count()) +
                           " occupants listed, the most a session keeps; newcomers are not listed");
            listFullReported_ = true;
            return;
        }
        if (own) {
            ownListed_ = true;
            messageText_.setOwnTail(lastUnits(nick, kOwnTail));
        } else if (!ownListed_) {
            code = PARLEY_EVENT_OCCUPANT_LISTED;  // the room's list before our own presence
        }
        raise(code, number, 0, &text, own);
        if (sharedNow) raiseShared(id, sharedNow);
    } else if (show == PresenceShowUnavailable) {
        // Out of the room for good: nobody is in it for us any more. The
        // room has ended only on our own presence (whatever nickname the
        // room gave us), never on another's that shows our identifier.
        const bool ended = (occupant.flags & UserSelf) && room_ && room_->state() == RoomState::Ended;
        int sharedBefore = 0;
        if (ended) {
            members_.clear();
            ownListed_ = false;
            listFullReported_ = false;
        } else {
            sharedBefore = members_.removeNickname(nick);
            // Never listed (past the limit, or with a show): the host never
            // heard it come, so it does not hear it go.
            if (!sharedBefore && !own) return;
            if (own && !(occupant.flags & UserNickChanged)) ownListed_ = false;
        }
        std::int32_t code;
        switch (occupant.flags) {
            case UserSelf: code = PARLEY_EVENT_OCCUPANT_LEFT; break;
            case UserNickChanged: code = PARLEY_EVENT_NICK_CHANGED; break;
            case UserKicked: code = PARLEY_EVENT_KICKED; break;
            case UserBanned: code = PARLEY_EVENT_BANNED; break;
            case UserAffiliationChanged: code = PARLEY_EVENT_AFFILIATION_CHANGED; break;
            case UserRoomDestroyed: code = PARLEY_EVENT_ROOM_DESTROYED; break;
            default: code = occupant.newNick.empty() ? PARLEY_EVENT_OCCUPANT_LEFT : PARLEY_EVENT_NICK_CHANGED;
        }
        // Our own end comes with 110 and so as a departure: arg4 says that
        // it is ours, and why.
        const std::int32_t why = !ended                                       ? 0
                                 : occupant.flags & UserKicked               ? PARLEY_DEPARTURE_KICKED
                                 : occupant.flags & UserBanned               ? PARLEY_DEPARTURE_BANNED
                                 : occupant.flags & UserAffiliationChanged   ? PARLEY_DEPARTURE_AFFILIATION
                                 : occupant.flags & UserRoomDestroyed        ? PARLEY_DEPARTURE_DESTROYED
                                                                             : PARLEY_DEPARTURE_REMOVED;
        raise(code, number, why, &text, own || ended);
        if (sharedBefore > 1) raiseShared(id, sharedBefore - 1);
    }
}

void CParley::onRoomMessage(MUCRoom*, const std::string& nick, const std::string& body, bool, const std::string&,
                            bool) {
    if (nick.empty()) {
        // From the room's own address: its notices, never an occupant's words.
        const std::u16string text = utf8ToUtf16(body);
        raise(PARLEY_EVENT_ROOM_NOTICE, roomNumber_, 0, &text);
        return;
    }
    messageText_.deliver(nick, body, [this](std::int32_t code, const std::u16string& text) {
        raise(code, roomNumber_, 0, &text);
    });
}

// ---- a room our join created ----------------------------------------------

bool CParley::onRoomCreated(MUCRoom* room) {
    if (!room) return true;
    room->requestRoomConfig();
    return false;  // configured rather than taken as it is
}

void CParley::onConfigForm(MUCRoom* room, const XmlDataForm& form) {
    if (!room || !room->created()) return;
    const std::unique_ptr<XmlDataForm> submit = formShowingAddresses(form);
    if (submit)
        room->submitRoomConfig(*submit);
    else
        room->acknowledgeInstantRoom();
}

void CParley::onAdminResult(MUCRoom* room, bool success, int context) {
    if (success || !room || (context != ConfigFormContext && context != SubmitConfigContext)) return;
    // The room must not stay locked for want of a configuration.
    logWarning("room " + roomJid_.bare() + ": the service refused our configuration; taken as an instant room");
    room->acknowledgeInstantRoom();
}

}  // namespace tern

// One multi-user chat room (XEP-0045) as one occupant sees it: joining and
// leaving, the own nickname, group-chat messages and subject changes, the
// room's presences as occupant events, and the administrative side (roles,
// affiliations, destruction, the instant-room acknowledgement, room
// information and items).
//
// Any thread may call the operations; events reach the handlers on the
// thread that dispatches the stream, and no lock of the room is held while
// a handler runs.
#ifndef TERN_SERVICES_MUCROOM_H
#define TERN_SERVICES_MUCROOM_H

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "../client/Handlers.h"
#include "ServiceDiscovery.h"
#include "../stanza/XmlDataForm.h"

namespace tern {

class ClientBase;
class MUCMessageSession;
class MUCRoom;
class RoomCatchUp;
class RoomLiveness;
struct PendingStanza;

enum MUCRoomRole { RoleNone = 0, RoleVisitor = 1, RoleParticipant = 2, RoleModerator = 3 };
enum MUCRoomAffiliation {
    AffiliationNone = 0,
    AffiliationOutcast = 1,
    AffiliationMember = 2,
    AffiliationOwner = 3,
    AffiliationAdmin = 4,
};

// Flags of an occupant presence.
enum MUCUserFlag {
    UserSelf = 0x1,               // status 110: the own occupant
    UserNickChanged = 0x2,        // 303
    UserKicked = 0x4,             // 307
    UserBanned = 0x8,             // 301
    UserAffiliationChanged = 0x10,  // 321
    UserRoomDestroyed = 0x20,     // a destroy element
};

// Room features, from room information and status codes.
enum MUCRoomFlag {
    FlagPasswordProtected = 0x1,
    FlagLogging = 0x2,
    FlagHidden = 0x4,
    FlagMembersOnly = 0x8,
    FlagModerated = 0x10,
    FlagNonAnonymous = 0x20,
    FlagOpen = 0x40,
    FlagPersistent = 0x80,
    FlagPublic = 0x100,
    FlagSemiAnonymous = 0x200,
    FlagTemporary = 0x400,
    FlagUnmoderated = 0x800,
    FlagUnsecured = 0x1000,
    FlagFullyAnonymous = 0x2000,
};

// Where one occupant's room session stands. Each answer from the room is
// handled by the state it arrives in: a presence for a room session that has
// ended changes nothing, and only a loss the protocol calls recoverable (a
// self-ping that says we fell out) leads back in.
enum class RoomState {
    Idle,               // never joined
    Joining,            // the join is out
    Joined,             // our own presence came
    NickChangePending,  // joined, a new nickname asked for
    Rejoining,          // joined again, silently, after falling out
    Interrupted,        // out through no decision of the room's (a restarted server, status 333 or 332):
                        // joined again, caught up, as soon as the session allows
    Ended,              // left, kicked, banned, refused, destroyed, given up
};

// Contexts of the administrative requests, as their answers come back.
enum MUCOperation {
    InstantRoomContext = 1,
    SubmitConfigContext = 2,
    ConfigFormContext = 3,  // the form asked for
    DestroyContext = 4,
    RoomInfoContext = 5,
    RoomItemsContext = 6,
    SetRoleNoneContext = 7,      // + role
    SetAffiliationNoneContext = 11,
};

struct OccupantInfo {
    JID nick;  // the room's bare address with the occupant's nickname as resource
    int affiliation = AffiliationNone;
    int role = RoleNone;
    std::optional<JID> jid;  // the occupant's real address, when the room tells
    int flags = 0;
    int tc = 0;              // the item's integer "tc" attribute
    std::string reason;
    std::optional<JID> actor;
    std::string newNick;
    std::string status;
    std::optional<JID> alternate;  // a destroyed room's suggested successor
};

// One entry of a role or affiliation list.
struct MUCListItem {
    std::string nick;
    JID jid;
    int role = RoleNone;
    int affiliation = AffiliationNone;
    std::string reason;
};
using MUCListItemList = std::vector<MUCListItem>;

class MUCRoomHandler {
public:
    virtual ~MUCRoomHandler() = default;
    virtual void onOccupantPresence(MUCRoom* room, OccupantInfo occupant, PresenceShow show) = 0;
    virtual void onRoomMessage(MUCRoom* room, const std::string& nick, const std::string& body, bool history,
                               const std::string& stamp, bool privateMessage) = 0;
    // True accepts a room this join created with its default configuration.
    virtual bool onRoomCreated(MUCRoom* room) = 0;
    virtual void onRoomSubject(MUCRoom* room, const std::string& nick, const std::string& subject) = 0;
    virtual void onInviteDeclined(MUCRoom* room, const JID& invitee, const std::string& reason) = 0;
    virtual void onRoomError(MUCRoom* room, StanzaError error) = 0;
    // The form (null when there was none, or the request failed) is the receiver's.
    virtual void onRoomInfo(MUCRoom* room, int features, const std::string& name,
                            std::unique_ptr<XmlDataForm> form) = 0;
    virtual void onRoomItems(MUCRoom* room, const DiscoItemList& items) = 0;
};

class MUCRoomConfigHandler {
public:
    virtual ~MUCRoomConfigHandler() = default;
    virtual void onItemList(MUCRoom* room, const MUCListItemList& items, int context) = 0;
    virtual void onConfigForm(MUCRoom* room, const XmlDataForm& form) = 0;
    virtual void onAdminResult(MUCRoom* room, bool success, int context) = 0;
    virtual void onRoomRequestForm(MUCRoom* room, const XmlDataForm& form) = 0;
};

class MUCRoom : public ServiceDiscoveryHandler,
                public PresenceHandler,
                public IqHandler,
                public MessageHandler,
                public ServiceDiscoveryNodeHandler {
public:
    // The room's full address carries the wanted nickname. Nothing is sent.
    MUCRoom(ClientBase* parent, const JID& room, MUCRoomHandler* handler, MUCRoomConfigHandler* configHandler);
    ~MUCRoom() override;
    MUCRoom(const MUCRoom&) = delete;
    MUCRoom& operator=(const MUCRoom&) = delete;

    virtual void joinRoom();
    virtual bool acceptsInstantRoom() { return false; }
    // unlessWriting: not behind a write that holds the stream (perhaps stuck
    // on a full socket); the room session then ends with the connection.
    void leaveRoom(const std::string& status = std::string(), bool unlessWriting = false);
    void sendMessage(const std::string& text);
    void changeSubject(const std::string& subject);
    void changeNickname(const std::string& nickname);

    // Administration by nickname (reason may be empty).
    void setRole(const std::string& nick, int role, const std::string& reason = std::string());
    void setAffiliation(const std::string& nick, int affiliation, const std::string& reason = std::string());
    void kick(const std::string& nick, const std::string& reason = std::string()) { setRole(nick, RoleNone, reason); }
    void grantVoice(const std::string& nick, const std::string& reason = std::string()) {
        setRole(nick, RoleParticipant, reason);
    }
    void revokeVoice(const std::string& nick, const std::string& reason = std::string()) {
        setRole(nick, RoleVisitor, reason);
    }
    void ban(const std::string& nick, const std::string& reason = std::string()) {
        setAffiliation(nick, AffiliationOutcast, reason);
    }
    void destroy(const std::string& reason = std::string(), const JID* alternate = nullptr,
                 const std::string& password = std::string());
    void acknowledgeInstantRoom();
    // The owner's configuration form (onConfigForm answers; a refusal is
    // onAdminResult false with ConfigFormContext), and a filled-in form
    // submitted (onAdminResult with SubmitConfigContext).
    void requestRoomConfig();
    void submitRoomConfig(const XmlDataForm& form);
    // Service discovery of the room: onRoomInfo and onRoomItems answer.
    void requestRoomInfo();
    void requestRoomItems();

    // State, safe to read from any thread.
    JID roomJid() const;
    std::string nickname() const;
    bool hasNickname(const std::string& nick) const;  // without a copy, for every message
    std::string pendingNickname() const;
    // Joining, joined or on the way back in: messages may be sent.
    bool joined() const;
    // In the room and caught up: what is sent now goes out at once, in
    // order, rather than waiting for the way back in.
    bool takesMessages() const;
    RoomState state() const { return state_; }
    bool created() const { return created_; }
    int flags() const { return flags_; }
    int ownRole() const { return ownRole_; }
    int ownAffiliation() const { return ownAffiliation_; }

    // PresenceHandler, MessageHandler, IqHandler
    void handlePresenceStanza(Stanza* stanza) override;
    void handleMessageStanza(Stanza* stanza, MessageSessionBase* session) override;
    bool handleIqByNamespace(Stanza*) override { return false; }
    bool handleIqById(Stanza* stanza, int context) override;
    // ServiceDiscoveryHandler
    void onDiscoInfoResult(Stanza* stanza, int context) override;
    void onDiscoItemsResult(Stanza* stanza, int context) override;
    void onDiscoError(Stanza* stanza, int context) override;
    // ServiceDiscoveryNodeHandler: nothing to announce for the room.
    StringList nodeFeatures(const std::string&) override { return {}; }
    IdentityMap nodeIdentities(const std::string&, std::string&) override { return {}; }
    DiscoItemList nodeItems(const std::string&) override { return {}; }

    static int roleFromText(const std::string& text);
    static int affiliationFromText(const std::string& text);
    static const char* roleText(int role);
    static const char* affiliationText(int affiliation);

    // The join's timing and the self-ping (see RoomLiveness); null without a client.
    RoomLiveness* liveness() const { return liveness_.get(); }

private:
    friend class RoomLiveness;
    friend class RoomCatchUp;
    // The join presence, with this history element (owned; null: none).
    // A join sent once more repeats the last one.
    void sendJoinPresence(XmlTag* history);
    void resendJoinPresence();
    void sendOrHold(XmlTag* message);
    // A message out of the room's archive, as history.
    void deliverArchived(const Stanza& message, const std::string& stamp);
    void deliverMessage(const Stanza& message, bool history, const std::string& stamp);
    // A message the catch-up held until it knew the handler did not have it.
    void deliverHeld(const std::string& nick, const std::string& body, bool history, const std::string& stamp);
    // The session is being made afresh: the room holds what is sent to it.
    void interruptForNewSession();
    // The new session is up: back in, taking our messages it never had.
    void afterNewSession(std::vector<PendingStanza>& pending);
    void rejoinAfterInterruption();
    // The liveness gave up on a join (or a silent rejoin): we leave, in
    // case the room does let us in late, and say why.
    void joinGivenUp(StanzaError why, const std::vector<OccupantInfo>& gone);
    // Occupants that did not come back after a rejoin: the handler hears
    // that they are gone.
    void reportGone(const std::vector<OccupantInfo>& gone);
    // Our own unavailable presence, or a refusal: the room session is over.
    void end();
    void goOut(bool askAgain);
    bool ownUnavailable(const Stanza& presence, const OccupantInfo& info) const;
    void handleErrorPresence(Stanza* stanza);
    void setFlag(int flag);
    void sendAdmin(const std::string& attribute, const std::string& value, const std::string& nick,
                   const std::string& reason, int context);
    void dropSession();
    void sendOwnerQuery(XmlTag* payload, int context);

    ClientBase* parent_;
    MUCRoomHandler* handler_;
    MUCRoomConfigHandler* configHandler_;
    mutable std::mutex mutex_;
    JID room_;
    MUCMessageSession* session_ = nullptr;  // owned by the client
    std::string pending_;
    std::string nickAfterRejoin_;  // asked for while a rejoin was out
    std::atomic<RoomState> state_{RoomState::Idle};
    std::atomic<bool> created_{false};
    std::atomic<bool> badAddress_{false};  // refused once, reported once
    std::atomic<int> flags_{0};
    std::atomic<bool> historyOpen_{false};  // a join's answer came, its subject not yet
    std::atomic<int> ownRole_{RoleNone};
    std::atomic<int> ownAffiliation_{AffiliationNone};
    std::unique_ptr<XmlTag> joinHistory_;
    std::unique_ptr<RoomLiveness> liveness_;
    std::unique_ptr<RoomCatchUp> catchUp_;
};

}  // namespace tern

#endif

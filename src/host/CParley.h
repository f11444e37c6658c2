// The object behind every session pointer: builds a Client and a MUCRoom
// for a login (or a Client and a Registration for an account registration),
// runs the session's thread, keeps the room member list, and turns every
// event into one call of the host callback with the codes and texts of the
// host interface.
#ifndef TERN_HOST_CPARLEY_H
#define TERN_HOST_CPARLEY_H

#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "client/Client.h"
#include "host/CXMPPMemberListManager.h"
#include "host/CXMPPUtil.h"
#include "host/EventGate.h"
#include "host/HostCommands.h"
#include "host/RoomMessageText.h"
#include "parley.h"
#include "services/MUCRoom.h"
#include "services/Registration.h"

namespace tern {

// The nickname layout hosts share: display name, 36-character occupant
// identifier, 3-character tag (":us" for users).
struct NicknameParts {
    std::u16string displayName;
    std::u16string identifier;
    std::u16string tag;
};
NicknameParts cutNickname(const std::u16string& nickname);
// The room number: the text read as an integer the way wcstol reads it.
std::int32_t roomNumber(const std::string& text);

class CParley : public NetworkListener,
                public LogExportHandler,
                public MUCRoomHandler,
                public MUCRoomConfigHandler,
                public RegistrationHandler {
public:
    CParley(void* context, HostCallback callback);
    ~CParley() override;
    CParley(const CParley&) = delete;
    CParley& operator=(const CParley&) = delete;

    void login(const std::u16string& user, const std::u16string& password, const std::u16string& room,
               const std::u16string& nickname, const std::u16string& server, const std::u16string& resource);
    // Runs the registration on a thread of its own, which releases this
    // session when it ends. Returns the thread's handle, or null.
    void* startRegistration(const std::u16string& server, const std::u16string& user,
                            const std::u16string& password);

    // The room's commands queue for the session's thread and return at
    // once: true when taken, false when not (no text, no room or no such
    // occupant, the room session over, the queue full).
    bool sendChat(const char16_t* text);
    bool changeNickname(const char16_t* nickname);
    bool changeSubject(const char16_t* subject);
    bool kick(const char16_t* identifier) { return moderate(identifier, HostCommands::Moderation::Kick); }
    bool ban(const char16_t* identifier) { return moderate(identifier, HostCommands::Moderation::Ban); }
    bool makeModerator(const char16_t* identifier) {
        return moderate(identifier, HostCommands::Moderation::MakeModerator);
    }
    bool cancelRole(const char16_t* identifier) { return moderate(identifier, HostCommands::Moderation::CancelRole); }
    bool blockWriting(const char16_t* identifier) {
        return moderate(identifier, HostCommands::Moderation::BlockWriting);
    }
    bool isOwner(const char16_t* identifier) const;
    bool isModerator(const char16_t* identifier) const;
    bool isWriteBlocked(const char16_t* identifier) const;
    bool isNicknameTaken(const char16_t* identifier) const;
    int memberCount() const;
    bool destroyRoom();
    // Leaves, stops the session's thread and disconnects (21041 on this
    // thread). True when the caller may release the session now; false when
    // called from the session's own thread, which then releases it itself.
    bool logout();
    // For LibDelete: stops the session's thread without logging out. False
    // when called from that thread (which then releases the session).
    bool stopForRelease();

    Client* client() const { return client_.get(); }

    // NetworkListener
    void handleConnected() override;
    void handleSessionStarting() override;
    void handleDisconnected(ConnectionError e) override;
    void handleNotSent(const PendingStanza& stanza, NotSentReason reason) override;
    void handleConnectionInterrupted(ConnectionError reason) override;
    void handleConnectionRestored() override;
    bool handleTlsConnected(const CertificateInfo& info) override;
    // LogExportHandler: nothing (the host's log goes through SetLogCallback).
    void handleLogMessage(int, int, const std::string&) override {}
    // MUCRoomHandler
    void onOccupantPresence(MUCRoom* room, OccupantInfo occupant, PresenceShow show) override;
    void onRoomMessage(MUCRoom* room, const std::string& nick, const std::string& body, bool history,
                       const std::string& stamp, bool privateMessage) override;
    // A room our join created is configured to show occupants' real
    // addresses (see RoomCreation.h); as an instant room when that fails.
    bool onRoomCreated(MUCRoom* room) override;
    void onRoomSubject(MUCRoom* room, const std::string& nick, const std::string& subject) override;
    void onInviteDeclined(MUCRoom*, const JID&, const std::string&) override {}
    void onRoomError(MUCRoom* room, StanzaError error) override;
    void onRoomInfo(MUCRoom* room, int features, const std::string& name, std::unique_ptr<XmlDataForm> form) override;
    void onRoomItems(MUCRoom*, const DiscoItemList&) override {}
    // MUCRoomConfigHandler: the configuration of a room we created;
    // refused moderation requests are not reported.
    void onItemList(MUCRoom*, const MUCListItemList&, int) override {}
    void onConfigForm(MUCRoom* room, const XmlDataForm& form) override;
    void onAdminResult(MUCRoom* room, bool success, int context) override;
    void onRoomRequestForm(MUCRoom*, const XmlDataForm&) override {}
    // RegistrationHandler
    void onRegistrationFields(const JID& from, int fields, std::string instructions) override;
    void onAlreadyRegistered(const JID&) override {}
    void onRegistrationResult(const JID& from, RegistrationResult result) override;
    void onRegistrationForm(const JID&, const XmlDataForm&) override {}
    void onRegistrationOob(const JID&, const OOB&) override {}

private:
    bool moderate(const char16_t* identifier, HostCommands::Moderation what);
    void logWarning(const std::string& line) const;
    // The identifier is carried by this many occupants now (after one came or went).
    void raiseShared(const std::u16string& identifier, int holders);
    bool queue(HostCommands::Command command);
    bool roomTakesCommands() const;
    // What the room can take now goes out: on the session's thread, or once
    // more as the log-out's last word.
    void sendQueuedCommands(bool loggingOut = false);
    void run(const HostCommands::Command& command);
    void reportNotSent(const std::vector<HostCommands::Command>& commands);
    void raiseNotSent(HostCommands::Kind kind, const std::u16string& text);
    // ours: about our own presence or the room's subject (what the host
    // cannot do without, kept before 11025 whatever else came).
    void raise(std::int32_t code, std::int32_t arg3 = 0, std::int32_t arg4 = 0,
               const std::u16string* text = nullptr, bool ours = false);
    void receiveLoop();
    void stopReceiveThread();
    void registrationLoop();
    bool onOwnThread() const;
    void applySecuritySettings(Client& client);
    std::int32_t currentRoomNumber() const;

    void* context_;
    HostCallback callback_;
    CXMPPUtil util_;
    CXMPPMemberListManager members_;
    std::unique_ptr<Client> client_;  // the login client
    std::unique_ptr<MUCRoom> room_;
    std::unique_ptr<Client> registrationClient_;
    std::unique_ptr<Registration> registration_;
    std::string registrationUser_;
    std::string registrationPassword_;
    JID roomJid_;  // with the own nickname as resource, as given at login
    RoomMessageText messageText_;  // knows our own echo by the nickname's last 39 code units
    // Our own occupant is listed (its presence came, with status 110 or
    // under our nickname): until then others are the room's initial list.
    // The session's thread only.
    bool ownListed_ = false;
    bool listFullReported_ = false;
    std::int32_t roomNumber_ = 0;  // the room's name read as a number, as events carry it
    std::thread receiveThread_;
    std::mutex doneMutex_;
    std::condition_variable doneCv_;
    bool receiveDone_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<bool> silenced_{false};       // after logout: no callback any more
    std::atomic<bool> releaseOnExit_{false};  // the session's thread releases the session
    bool acceptAnyCertificate_ = false;       // fixed when the session starts
    EventGate roomEvents_;                    // until 11025 has been raised
    HostCommands commands_;                   // the host's, for the session's thread
};

}  // namespace tern

#endif

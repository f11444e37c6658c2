#include "host/CParley.h"

#include <algorithm>
#include <chrono>

#include "host/DetachedThreads.h"
#include "host/EventTexts.h"
#include "host/HostLog.h"
#include "host/KeepAliveSettings.h"
#include "host/RegistrationThread.h"
#include "host/TextCodec.h"
#include "host/TrustSettings.h"
#include "services/ServiceDiscovery.h"
#include "stanza/Constants.h"
#include "stanza/Numbers.h"
#include "transport/TLSDefault.h"

namespace tern {

namespace {

// Room error codes by stanza error condition; 0 where no event is raised.
std::int32_t roomErrorCode(StanzaError e) {
    switch (e) {
        case StanzaErrorUndefined: return 11057;
        case StanzaErrorBadRequest: return 11058;
        case StanzaErrorConflict: return 11048;
        case StanzaErrorFeatureNotImplemented: return 11059;
        case StanzaErrorForbidden: return 11053;
        case StanzaErrorGone: return 11060;
        case StanzaErrorInternalServerError: return 11061;
        case StanzaErrorItemNotFound: return 11062;
        case StanzaErrorJidMalformed: return 11063;
        case StanzaErrorNotAcceptable: return 11064;
        case StanzaErrorNotAllowed: return 11065;
        case StanzaErrorNotAuthorized: return 11051;
        case StanzaErrorRecipientUnavailable: return 11067;
        case StanzaErrorRedirect: return 11068;
        case StanzaErrorRegistrationRequired: return 11069;
        case StanzaErrorRemoteServerNotFound: return 11070;
        case StanzaErrorRemoteServerTimeout: return 11071;
        case StanzaErrorResourceConstraint: return 11072;
        case StanzaErrorServiceUnavailable: return 11073;
        case StanzaErrorSubscriptionRequired: return 11074;
        case StanzaErrorUndefinedCondition: return 11075;
        case StanzaErrorUnexpectedRequest: return 11076;
    }
    return 0;
}

std::u16string right(const std::u16string& s, std::size_t n) { return s.size() <= n ? s : s.substr(s.size() - n); }

}  // namespace

NicknameParts cutNickname(const std::u16string& nickname) {
    // Plain left/middle/right cuts; a short nickname gives what exists.
    const std::size_t n = nickname.size();
    const std::size_t start = n >= 39 ? n - 39 : 0;
    NicknameParts parts;
    parts.displayName = nickname.substr(0, n >= 39 ? n - 39 : 0);
    parts.identifier = nickname.substr(start, 36);
    parts.tag = right(nickname, 3);
    return parts;
}

std::int32_t roomNumber(const std::string& text) { return parseDecimal(text, INT32_MIN, INT32_MAX); }

CParley::CParley(void* context, HostCallback callback) : context_(context), callback_(callback) {}

CParley::~CParley() {
    if (receiveThread_.joinable()) stopReceiveThread();
    members_.clear();
    room_.reset();
    if (client_) HostLog::instance().detach(client_->logInstance());
    client_.reset();
    // Only when the registration thread never started: it lets go of both.
    registration_.reset();
    if (registrationClient_) HostLog::instance().detach(registrationClient_->logInstance());
    registrationClient_.reset();
}

bool CParley::onOwnThread() const { return std::this_thread::get_id() == receiveThread_.get_id(); }

void CParley::raise(std::int32_t code, std::int32_t arg3, std::int32_t arg4, const std::u16string* text,
                    bool ours) {
    if (!callback_ || silenced_ || roomEvents_.hold(code, arg3, arg4, text, ours)) return;
    if (!text) {
        callback_(context_, code, arg3, arg4, nullptr);
        return;
    }
    // The buffer lives for the call; the host copies what it keeps.
    const TextBuffer buffer{static_cast<std::int32_t>(text->size()), reinterpret_cast<const ParleyChar*>(text->data())};
    callback_(context_, code, arg3, arg4, &buffer);
}

std::int32_t CParley::currentRoomNumber() const { return roomNumber_; }

// ---- logging in -----------------------------------------------------------

void CParley::login(const std::u16string& user, const std::u16string& password, const std::u16string& room,
                    const std::u16string& nickname, const std::u16string& server, const std::u16string& resource) {
    // Built from the parts, never parsed from their concatenation: a user
    // name such as "a@evil.example/" must not move the login elsewhere. The
    // client refuses what an address may not carry before connecting.
    auto utf8 = [this](const std::u16string& s) { return util_.toUtf8String(s.c_str()); };
    const std::string domain = utf8(server);
    roomJid_ = JID(utf8(room), "conference." + domain, utf8(nickname));
    roomNumber_ = roomNumber(roomJid_.username());
    messageText_.setOwnTail(right(util_.toWideString(roomJid_.resource()), 39));
    client_ = std::make_unique<Client>(JID(utf8(user), domain, utf8(resource)), utf8(password), -1);
    HostLog::instance().attach(client_->logInstance());
    client_->addNetworkListener(this);
    client_->setPresence(PresenceShowAvailable, -1, "");
    client_->disco()->setVersion("ZaroVezid", XMPP_VERSION, "Windows");
    client_->disco()->setIdentity("client", "bot");
    client_->setCompression(false);
    applySecuritySettings(*client_);
    applyKeepAliveSettings(*client_);
    room_ = std::make_unique<MUCRoom>(client_.get(), roomJid_, this, this);
    applyRoomLivenessSettings(*client_, *room_);
    roomEvents_.close(&client_->logInstance());
    stop_ = false;
    receiveThread_ = std::thread([this] { receiveLoop(); });
}

void CParley::applySecuritySettings(Client& client) {
    const TrustSettings& settings = TrustSettings::instance();
    client.setCACerts(settings.caCerts());
    client.setEncryptionPolicy(settings.encryptionPolicy());
    acceptAnyCertificate_ = settings.acceptAnyCertificate();
}

void CParley::receiveLoop() {
    if (!stop_ && client_->connect(false)) {
        // Waits without polling; logout and LibDelete wake it at once, and
        // so does the host's next command.
        while (!stop_ && client_->receive(-1) == NoError) sendQueuedCommands();
    }
    {
        std::lock_guard<std::mutex> lock(doneMutex_);
        receiveDone_ = true;
    }
    doneCv_.notify_all();
    if (releaseOnExit_) {
        DetachedThreads& threads = DetachedThreads::instance();
        threads.started();
        receiveThread_.detach();
        delete this;
        TLSDefault::releaseThreadState();
        threads.finished();
    }
}

void CParley::stopReceiveThread() {
    stop_ = true;
    // A wake-up that comes just before the thread starts connecting would be
    // lost: repeat it until the thread has ended.
    std::unique_lock<std::mutex> lock(doneMutex_);
    while (!receiveDone_ && receiveThread_.joinable()) {
        lock.unlock();
        client_->interruptReceive();
        lock.lock();
        doneCv_.wait_for(lock, std::chrono::milliseconds(10), [this] { return receiveDone_; });
    }
    lock.unlock();
    if (receiveThread_.joinable()) receiveThread_.join();
}

bool CParley::logout() {
    if (!client_) return true;
    members_.clear();
    const bool own = onOwnThread();
    if (own) {
        stop_ = true;
        client_->interruptReceive();
    } else {
        stopReceiveThread();
    }
    // The session's thread is out of the way, and no write waits on a
    // connection that is ending: what the host queued and the room can take
    // goes out now, then the leave; the rest is reported, before 21041.
    sendQueuedCommands(true);
    reportNotSent(commands_.takeAll(true));
    room_->leaveRoom("", true);
    client_->disconnect(UserDisconnected);  // 21041, on this thread
    silenced_ = true;
    if (own) releaseOnExit_ = true;
    return !own;
}

bool CParley::stopForRelease() {
    if (!client_) return true;
    if (onOwnThread()) {
        stop_ = true;
        client_->interruptReceive();
        silenced_ = true;
        releaseOnExit_ = true;
        return false;
    }
    stopReceiveThread();
    return true;
}

// ---- registering ----------------------------------------------------------

void* CParley::startRegistration(const std::u16string& server, const std::u16string& user,
                                 const std::u16string& password) {
    registrationUser_ = util_.toUtf8String(user.c_str());
    registrationPassword_ = util_.toUtf8String(password.c_str());
    registrationClient_ = std::make_unique<Client>(util_.toUtf8String(server.c_str()));
    HostLog::instance().attach(registrationClient_->logInstance());
    registrationClient_->disableRoster();
    applySecuritySettings(*registrationClient_);
    registrationClient_->addNetworkListener(this);
    registration_ = std::make_unique<Registration>(registrationClient_.get());
    registration_->setRegistrationHandler(this);
    // From here on the thread owns this session and may end it at any time.
    return startRegistrationThread([this] { registrationLoop(); });
}

void CParley::registrationLoop() {
    registrationClient_->connect(true);  // returns when the connection has ended
    registration_.reset();
    HostLog::instance().detach(registrationClient_->logInstance());
    registrationClient_.reset();
    // Nobody joins this thread: let go of its TLS state before the host
    // learns that it has ended.
    TLSDefault::releaseThreadState();
    // Nobody else holds this session: it ends with its thread.
    delete this;
}

void CParley::onRegistrationFields(const JID&, int fields, std::string) {
    RegistrationFields values;
    values.username = registrationUser_;
    values.password = registrationPassword_;
    registration_->registerAccount(fields, values);
}

void CParley::onRegistrationResult(const JID&, RegistrationResult result) {
    if (result == RegistrationSuccess)
        raise(PARLEY_EVENT_REGISTERED);
    else if (result == RegistrationConflict)
        raise(PARLEY_EVENT_REGISTRATION_CONFLICT);
    registrationClient_->disconnect();
}

// ---- the connection -------------------------------------------------------

void CParley::handleConnected() {
    if (registration_) {
        registration_->requestFields();
        return;
    }
    raise(PARLEY_EVENT_CONNECTED);
    for (const EventGate::Event& e : roomEvents_.open()) raise(e.code, e.arg3, e.arg4, e.hasText ? &e.text : nullptr);
    // When the session did not start with it; a join that was refused or
    // ended meanwhile stays so (its error was raised once).
    if (client_ && room_ && room_->state() == RoomState::Idle) room_->joinRoom();
}

void CParley::handleSessionStarting() {
    if (client_ && room_ && !registration_ && room_->state() == RoomState::Idle) room_->joinRoom();
}

void CParley::handleDisconnected(ConnectionError e) {
    if (e < 0 || e > NotConnected) return;
    if (e == UserDisconnected && registration_) return;
    // The session is over: what still waited never goes, and nothing more is taken.
    reportNotSent(commands_.takeAll(true));
    raise(PARLEY_EVENT_DISCONNECTED + e);
}

// Only for a session the host has heard of (after 11025).
void CParley::handleConnectionInterrupted(ConnectionError reason) {
    if (roomEvents_.isOpen()) raise(PARLEY_EVENT_CONNECTION_INTERRUPTED, 0, reason);
}

void CParley::handleConnectionRestored() {
    if (roomEvents_.isOpen()) raise(PARLEY_EVENT_CONNECTION_RESTORED);
}

bool CParley::handleTlsConnected(const CertificateInfo& info) {
    Client* client = registrationClient_ ? registrationClient_.get() : client_.get();
    if (info.chainValid) return true;
    const std::string what = "the server's certificate (subject \"" + info.subject + "\", issuer \"" +
                             info.issuer + "\") does not verify for " + client->server();
    if (acceptAnyCertificate_) {
        client->logInstance().log(LogWarning, LogAreaClient, what + "; accepted, as verification is off");
        return true;
    }
    // Anyone in the path could otherwise read the password.
    client->logInstance().log(LogError, LogAreaClient, what);
    return false;
}

// ---- the room -------------------------------------------------------------

void CParley::onRoomSubject(MUCRoom*, const std::string& nick, const std::string& subject) {
    const std::u16string text = subjectText(nick, subject);
    raise(PARLEY_EVENT_SUBJECT, currentRoomNumber(), 0, &text, true);
}

void CParley::onRoomError(MUCRoom*, StanzaError error) {
    const std::int32_t code = roomErrorCode(error);
    if (code) raise(code, currentRoomNumber());
}

void CParley::onRoomInfo(MUCRoom*, int, const std::string& name, std::unique_ptr<XmlDataForm> form) {
    std::unique_ptr<XmlTag> xml(form ? form->toXml() : nullptr);
    const std::u16string text = util_.toWideString(xml ? xml->serialize() : std::string());
    raise(PARLEY_EVENT_ROOM_INFO, roomNumber(name), 0, &text);
}

}  // namespace tern

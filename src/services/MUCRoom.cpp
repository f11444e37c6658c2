#include "services/MUCRoom.h"

#include "client/ClientBase.h"
#include "services/MessageSession.h"
#include "services/RoomCatchUp.h"
#include "services/RoomLiveness.h"
#include "stanza/Constants.h"
#include "stanza/Numbers.h"

namespace tern {

namespace {
const char* const kRoles[] = {"none", "visitor", "participant", "moderator"};
const char* const kAffiliations[] = {"none", "outcast", "member", "owner", "admin"};
constexpr int kAnonymityFlags = FlagNonAnonymous | FlagSemiAnonymous | FlagFullyAnonymous;
// Looked up in every message: built once, not for each lookup.
const std::string kX = "x";
const std::string kXmlns = "xmlns";
const std::string kSubject = "subject";
const std::string kBody = "body";
const std::string kThread = "thread";

// A nickname as the wire carries it (U+FFFD for what XML cannot): the room
// answers under that.
std::string asSent(const std::string& nick) { return unescapeXml(escapeXml(nick)); }

// The stamp the room put on a message of its history (XEP-0045 has it
// stamp them; XEP-0203's from names who delayed a message): not one that
// names someone else. Servers that leave from out stamp as the room.
bool roomStamp(const Stanza& message, const JID& room, std::string& stamp) {
    bool found = false;
    for (const XmlTag* c : message.children()) {
        const bool current = c->name() == "delay" && c->hasAttribute(kXmlns, XMPP_XMLNS_DELAY);
        if (!current && !(c->name() == kX && c->hasAttribute(kXmlns, XMPP_XMLNS_X_DELAY))) continue;
        const JID by(c->getAttribute("from"));
        if (!by.empty() && !(by.resource().empty() && by.sameBareAs(room))) continue;
        if (found && !current) continue;  // the current form outweighs the legacy one
        stamp = c->getAttribute("stamp");
        found = true;
    }
    return found;
}
}  // namespace

int MUCRoom::roleFromText(const std::string& text) {
    for (int r = RoleVisitor; r <= RoleModerator; ++r)
        if (text == kRoles[r]) return r;
    return RoleNone;
}

int MUCRoom::affiliationFromText(const std::string& text) {
    for (int a = AffiliationOutcast; a <= AffiliationAdmin; ++a)
        if (text == kAffiliations[a]) return a;
    return AffiliationNone;
}

const char* MUCRoom::roleText(int role) { return role >= 0 && role <= RoleModerator ? kRoles[role] : ""; }

const char* MUCRoom::affiliationText(int affiliation) {
    return affiliation >= 0 && affiliation <= AffiliationAdmin ? kAffiliations[affiliation] : "";
}

MUCRoom::MUCRoom(ClientBase* parent, const JID& room, MUCRoomHandler* handler, MUCRoomConfigHandler* configHandler)
    : parent_(parent), handler_(handler), configHandler_(configHandler), room_(room) {
    if (parent_) {
        liveness_ = std::make_unique<RoomLiveness>(parent_, this);
        catchUp_ = std::make_unique<RoomCatchUp>(parent_, this);
    }
}

MUCRoom::~MUCRoom() {
    // No deadline fires from here on; the handlers go next, and with them
    // the dispatches that use the liveness.
    if (liveness_) liveness_->detach();
    if (joined()) leaveRoom();
    if (parent_) {
        parent_->removeIqIdHandler(this);
        parent_->removePresenceHandler(JID(roomJid().bare()), this);
        if (ServiceDiscovery* d = parent_->disco()) d->removeQueries(this);
    }
    liveness_.reset();
    catchUp_.reset();
}

bool MUCRoom::joined() const {
    const RoomState s = state_;
    return s == RoomState::Joining || s == RoomState::Joined || s == RoomState::NickChangePending ||
           s == RoomState::Rejoining || s == RoomState::Interrupted;
}

bool MUCRoom::takesMessages() const {
    const RoomState s = state_;
    return (s == RoomState::Joined || s == RoomState::NickChangePending) && !(catchUp_ && catchUp_->holding());
}

JID MUCRoom::roomJid() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return room_;
}

std::string MUCRoom::nickname() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return room_.resource();
}

bool MUCRoom::hasNickname(const std::string& nick) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return room_.resource() == nick;
}

std::string MUCRoom::pendingNickname() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_;
}

void MUCRoom::setFlag(int flag) {
    int current = flags_.load();
    int next;
    do {
        next = (flag & kAnonymityFlags) ? (current & ~kAnonymityFlags) | flag : current | flag;
    } while (!flags_.compare_exchange_weak(current, next));
}

// ---- joining, leaving, talking -------------------------------------------

void MUCRoom::joinRoom() {
    if (!parent_ || joined() || badAddress_) return;
    JID room;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        room = room_;
    }
    // A room name with "@" or "/" would send the join somewhere else.
    const std::string problem = room.addressProblem();
    if (!problem.empty()) {
        parent_->logInstance().log(LogError, LogAreaClient, "not joining the room: " + problem);
        badAddress_ = true;
        if (handler_) handler_->onRoomError(this, StanzaErrorJidMalformed);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        room_.setResource(asSent(room_.resource()));
        parent_->addPresenceHandler(JID(room.bare()), this);
        session_ = new MUCMessageSession(parent_, JID(room.bare()));
        session_->setMessageHandler(this);
        pending_.clear();
    }
    state_ = RoomState::Joining;
    if (liveness_) liveness_->joinSent(false);
    sendJoinPresence(nullptr);
}

void MUCRoom::sendJoinPresence(XmlTag* history) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        joinHistory_.reset(history);
    }
    resendJoinPresence();
}

void MUCRoom::resendJoinPresence() {
    Stanza* p = Stanza::buildPresence(roomJid(), "", PresenceShowAvailable);
    XmlTag* x = new XmlTag(p, "x", "xmlns", XMPP_XMLNS_MUC);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (joinHistory_) x->appendChild(joinHistory_->clone());
    }
    parent_->sendTag(p);
}

// ---- an interrupted room session -------------------------------------------

void MUCRoom::interruptForNewSession() {
    if (!joined()) return;
    goOut(false);
}

// Out through no decision of the room's: what is sent waits, and whether a
// deadline asks to come back again depends on what brought us out.
void MUCRoom::goOut(bool askAgain) {
    {
        // A new nickname the room never confirmed: back in under the one it
        // knows, the change is asked for again (and refused as usual if
        // someone holds it now).
        std::lock_guard<std::mutex> lock(mutex_);
        if (!pending_.empty() && nickAfterRejoin_.empty()) nickAfterRejoin_ = pending_;
        pending_.clear();
    }
    state_ = RoomState::Interrupted;
    if (catchUp_) catchUp_->markOut();
    if (liveness_) liveness_->interrupted(askAgain);
}

void MUCRoom::afterNewSession(std::vector<PendingStanza>& pending) {
    if (state_ != RoomState::Interrupted || !catchUp_) return;
    if (liveness_) liveness_->interrupted(true);
    catchUp_->interrupted(&pending);
}

void MUCRoom::rejoinAfterInterruption() {
    RoomState interrupted = RoomState::Interrupted;
    if (!state_.compare_exchange_strong(interrupted, RoomState::Rejoining)) return;
    if (liveness_) liveness_->joinSent(true);
    parent_->logInstance().log(LogWarning, LogAreaClient, "room " + roomJid().bare() + ": joining again");
    sendJoinPresence(catchUp_->historyForRejoin());
}

void MUCRoom::joinGivenUp(StanzaError why, const std::vector<OccupantInfo>& gone) {
    if (!joined()) return;
    leaveRoom();
    if (!handler_) return;
    for (const OccupantInfo& o : gone) handler_->onOccupantPresence(this, o, PresenceShowUnavailable);
    handler_->onRoomError(this, why);
}

void MUCRoom::reportGone(const std::vector<OccupantInfo>& gone) {
    if (!handler_ || !joined()) return;
    for (const OccupantInfo& o : gone) handler_->onOccupantPresence(this, o, PresenceShowUnavailable);
}

void MUCRoom::end() {
    MUCMessageSession* session;
    JID room;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        session = session_;
        session_ = nullptr;
        room = room_;
        pending_.clear();
    }
    state_ = RoomState::Ended;
    if (liveness_) liveness_->stop();
    if (catchUp_) catchUp_->reset();
    parent_->removePresenceHandler(JID(room.bare()), this);
    parent_->disposeMessageSession(session);
}

void MUCRoom::leaveRoom(const std::string& status, bool unlessWriting) {
    if (!parent_ || !joined()) return;
    std::unique_ptr<Stanza> p(Stanza::buildPresence(roomJid(), status, PresenceShowUnavailable));
    new XmlTag(p.get(), "x", "xmlns", XMPP_XMLNS_MUC);
    if (!unlessWriting) {
        parent_->sendTag(p.release());
    } else {
        // Let go before end(): it waits for a dispatch whose handler may be
        // sending from a callback.
        const auto writer = parent_->idleWriter();
        if (!writer.owns_lock()) return;
        parent_->sendTag(p.release());
    }
    end();
}

// Built under the room's lock, sent without it: a send that finds the
// connection broken may lead to handlers that use the room.
void MUCRoom::sendMessage(const std::string& text) {
    XmlTag* m = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (session_ && joined()) m = session_->groupMessage(text);
    }
    sendOrHold(m);
}

void MUCRoom::changeSubject(const std::string& subject) {
    XmlTag* m = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (session_ && joined()) m = session_->subjectMessage(subject);
    }
    sendOrHold(m);
}

// Out of the room through no decision of its own, it would refuse what we
// send: that waits until we are back in and caught up.
void MUCRoom::sendOrHold(XmlTag* message) {
    std::unique_ptr<XmlTag> owned(message);
    if (!owned || (catchUp_ && catchUp_->hold(owned))) return;
    parent_->sendTag(owned.release());
}

void MUCRoom::changeNickname(const std::string& wanted) {
    const std::string nickname = asSent(wanted);
    JID target;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Out of the room, the rejoin takes the new name; with a rejoin out,
        // the change follows it. Sent now, either would be a join of its own.
        const RoomState s = state_;
        if (!parent_ || !joined() || s == RoomState::Interrupted) {
            room_.setResource(nickname);
            nickAfterRejoin_.clear();  // the latest wish holds
            return;
        }
        if (s == RoomState::Rejoining) {
            nickAfterRejoin_ = nickname;
            return;
        }
        pending_ = nickname;
        target.assign(room_.bare() + "/" + nickname);
    }
    RoomState joinedNow = RoomState::Joined;
    state_.compare_exchange_strong(joinedNow, RoomState::NickChangePending);
    XmlTag* p = new XmlTag("presence");
    p->setAttribute("to", target.full());
    parent_->sendTag(p);
}

// ---- what the room says ----------------------------------------------------

void MUCRoom::handleErrorPresence(Stanza* stanza) {
    const StanzaError error = stanza->errorCondition();
    bool nickRefused;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The room may answer under its own spelling of the new nickname:
        // any address but ours refuses the change.
        const std::string& from = stanza->from().resource();
        nickRefused = !pending_.empty() && (from == pending_ || (state_ == RoomState::NickChangePending &&
                                                                 from != room_.resource()));
        if (nickRefused) pending_.clear();
    }
    if (nickRefused) {
        // The new nickname was refused; we are still in under the old one.
        RoomState pendingNow = RoomState::NickChangePending;
        state_.compare_exchange_strong(pendingNow, RoomState::Joined);
        handler_->onRoomError(this, error);
        return;
    }
    switch (state_.load()) {
        case RoomState::Joining:
        case RoomState::Rejoining: {
            // A room being torn down refuses joins for a moment: once more.
            if (liveness_ && liveness_->joinRefused(error)) return;
            const std::vector<OccupantInfo> gone = liveness_ ? liveness_->known() : std::vector<OccupantInfo>();
            end();
            for (const OccupantInfo& o : gone) handler_->onOccupantPresence(this, o, PresenceShowUnavailable);
            break;
        }
        case RoomState::Joined:
        case RoomState::NickChangePending:
            end();  // our presence refused: we are out
            break;
        case RoomState::Idle:
        case RoomState::Interrupted:
        case RoomState::Ended: return;
    }
    handler_->onRoomError(this, error);
}

// Our occupant going away, other than for a new nickname: by the room's
// 110, or from our address without it (some servers leave it out when
// they destroy a room).
bool MUCRoom::ownUnavailable(const Stanza& presence, const OccupantInfo& info) const {
    return presence.show() == PresenceShowUnavailable && !(info.flags & UserNickChanged) &&
           ((info.flags & UserSelf) || presence.from().resource() == nickname());
}

void MUCRoom::handlePresenceStanza(Stanza* stanza) {
    const JID room = roomJid();
    if (stanza->from().bare() != room.bare() || !handler_ || !joined()) return;
    if (liveness_) liveness_->heard();

    if (stanza->subtype() == PresenceError) {
        handleErrorPresence(stanza);
        return;
    }

    // The room appends its own element: one before it is the occupant's,
    // passed on by some rooms (jabberd2's mu-conference), and says nothing.
    const XmlTag* x = nullptr;
    for (const XmlTag* c : stanza->children())
        if (c->name() == kX && c->hasAttribute(kXmlns, XMPP_XMLNS_MUC_USER)) x = c;
    if (!x) return;

    OccupantInfo info;
    info.nick = stanza->from();
    const XmlTag* item = nullptr;
    bool self = false;
    bool createdNow = false;
    bool dropped = false, shutDown = false, membersOnly = false;
    for (const XmlTag* c : x->children()) {
        const std::string& name = c->name();
        if (name == "item") {
            item = c;
            info.affiliation = affiliationFromText(c->getAttribute("affiliation"));
            info.role = roleFromText(c->getAttribute("role"));
            info.tc = parseDecimal(c->getAttribute("tc"), INT32_MIN, INT32_MAX);
            if (c->hasAttribute("jid")) info.jid = JID(c->getAttribute("jid"));
            info.newNick = c->getAttribute("nick");
            if (const XmlTag* actor = c->firstChild("actor"))
                if (actor->hasAttribute("jid")) info.actor = JID(actor->getAttribute("jid"));
            if (const XmlTag* reason = c->firstChild("reason")) info.reason = reason->text();
        } else if (name == "status") {
            const std::string code = c->getAttribute("code");
            if (code == "110") {
                info.flags |= UserSelf;
                self = true;
            } else if (code == "303") {
                info.flags |= UserNickChanged;
            } else if (code == "307") {
                info.flags |= UserKicked;
            } else if (code == "301") {
                info.flags |= UserBanned;
            } else if (code == "321") {
                info.flags |= UserAffiliationChanged;
            } else if (code == "100") {
                setFlag(FlagNonAnonymous);
            } else if (code == "201") {
                createdNow = true;
            } else if (code == "333") {
                dropped = true;  // removed over a connection problem
            } else if (code == "332") {
                shutDown = true;  // the service is shutting down
            } else if (code == "322") {
                membersOnly = true;  // removed: the room is members-only now
            }
        } else if (name == "destroy") {
            info.flags |= UserRoomDestroyed;
            if (c->hasAttribute("jid")) info.alternate = JID(c->getAttribute("jid"));
            if (const XmlTag* reason = c->firstChild("reason")) info.reason = reason->text();
        }
    }
    // 110 (and with it 201) is ours only on the answer to our join, which
    // may come under a nickname the room assigned (210) or spelled its own
    // way, and later from our address; never on another occupant's.
    const std::string& from = stanza->from().resource();
    const bool available = stanza->show() != PresenceShowUnavailable;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const RoomState s = state_;
        const bool answersJoin = s == RoomState::Joining || s == RoomState::Rejoining;
        if (self && !answersJoin && from != room_.resource()) {
            self = createdNow = false;
            info.flags &= ~UserSelf;
        }
        if (self && available) room_.setResource(from);
    }
    if (self && item) {
        ownRole_ = info.role;
        ownAffiliation_ = info.affiliation;
    }
    info.status = stanza->status("default");
    const bool endsUs = ownUnavailable(*stanza, info);
    // Ours however the room words it: some servers leave out the 110, or
    // the real address, when they destroy a room.
    if (endsUs) {
        info.flags |= UserSelf;
        if (!info.jid) info.jid = parent_->jid();
    }

    {
        std::lock_guard<std::mutex> lock(mutex_);
        if ((info.flags & UserNickChanged) && !info.newNick.empty() &&
            stanza->from().resource() == room_.resource() && info.newNick == pending_)
            info.flags |= UserSelf;
        if ((info.flags & UserNickChanged) && (info.flags & UserSelf) && !info.newNick.empty()) {
            // The room's spelling of the new nickname is ours.
            room_.setResource(info.newNick);
            pending_.clear();
            RoomState pendingNow = RoomState::NickChangePending;
            state_.compare_exchange_strong(pendingNow, RoomState::Joined);
        }
    }

    // The room's own decisions outweigh a shutdown or a drop given with them.
    const bool decided =
        membersOnly || (info.flags & (UserKicked | UserBanned | UserAffiliationChanged | UserRoomDestroyed));
    if (endsUs && dropped && !decided && catchUp_) {
        // Not the room's decision: back in, caught up, as soon as the session
        // allows, and the handler hears only what changed meanwhile.
        goOut(true);
        parent_->logInstance().log(LogWarning, LogAreaClient,
                                   "room " + room.bare() + " dropped us over a connection problem; joining again");
        catchUp_->interrupted(nullptr);
        return;
    }
    const bool backIn = self && available;
    if (backIn) {
        RoomState s = state_;
        // The answer to a join: its history follows, up to the subject.
        if (liveness_ ? liveness_->answersJoin() : s == RoomState::Joining || s == RoomState::Rejoining)
            historyOpen_ = true;
        if (s == RoomState::Joining || s == RoomState::Rejoining) state_ = RoomState::Joined;
    }
    if (createdNow) {
        created_ = true;
        if (acceptsInstantRoom() || handler_->onRoomCreated(this)) acknowledgeInstantRoom();
    }
    // Kicked, banned, removed, destroyed or left: no deadline runs any more
    // and nothing brings us back by itself; the handler hears of it with
    // the room session over. A service shutting down is rejoined when a new
    // session follows (the server restarted), or after the join's deadline
    // when the session goes on (only the service did).
    const bool outForNow = endsUs && shutDown && !decided && catchUp_;
    if (endsUs && !outForNow) end();
    std::vector<OccupantInfo> gone;
    const bool admitted = !liveness_ || liveness_->admit(info, stanza->show(), self, gone);
    for (const OccupantInfo& o : gone) handler_->onOccupantPresence(this, o, PresenceShowUnavailable);
    if (admitted) handler_->onOccupantPresence(this, info, stanza->show());
    if (backIn && catchUp_) catchUp_->rejoined(createdNow);
    if (backIn) {
        std::string nick;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            nick.swap(nickAfterRejoin_);
        }
        if (!nick.empty()) changeNickname(nick);
    }
    if (outForNow) goOut(true);
}

void MUCRoom::handleMessageStanza(Stanza* stanza, MessageSessionBase*) {
    if (!handler_) return;
    if (liveness_) liveness_->heard();
    if (stanza->subtype() == MessageError) {
        // A bounced message is an error, not something an occupant said.
        handler_->onRoomError(this, stanza->errorCondition());
        return;
    }
    // The room's own address, not an occupant's: only the room speaks for
    // its configuration, and only it forwards a decline or a request form.
    const bool fromRoom = stanza->from().resource().empty();
    const bool groupchat = stanza->subtype() == MessageGroupchat;
    if (const XmlTag* x = stanza->firstChild(kX, kXmlns, XMPP_XMLNS_MUC_USER)) {
        for (const XmlTag* c : x->children()) {
            if (c->name() == "decline" && fromRoom) {
                const XmlTag* reason = c->firstChild("reason");
                handler_->onInviteDeclined(this, JID(c->getAttribute("from")), reason ? reason->text() : std::string());
            } else if (c->name() == "status" && fromRoom) {
                const std::string code = c->getAttribute("code");
                if (code == "100" || code == "172")
                    setFlag(FlagNonAnonymous);
                else if (code == "173")
                    setFlag(FlagSemiAnonymous);
                else if (code == "174")
                    setFlag(FlagFullyAnonymous);
                else if (code == "170")
                    setFlag(FlagLogging);
                else if (code == "171")
                    flags_ &= ~FlagLogging;
            }
        }
    } else if (configHandler_ && fromRoom) {
        if (const XmlTag* formElement = stanza->firstChild(kX, kXmlns, XMPP_XMLNS_X_DATA)) {
            XmlDataForm form(formElement);
            configHandler_->onRoomRequestForm(this, form);
            return;
        }
    }
    if (catchUp_ && catchUp_->archived(*stanza)) return;
    const std::string& nick = stanza->from().resource();
    // The room's subject: a groupchat message with a subject and neither a
    // body (even an empty one) nor a thread, as the room sends it or relays
    // it from an occupant. Beside those, or in a private message, it is the
    // sender's own: rooms relay such from occupants who may not set one.
    if (groupchat && stanza->firstChild(kSubject) && !stanza->firstChild(kBody) && !stanza->firstChild(kThread)) {
        const std::string subject = stanza->subject("default");
        historyOpen_ = false;
        if (catchUp_) catchUp_->historyEnded();  // what it held comes first
        if (!liveness_ || liveness_->admitSubject(nick, subject)) handler_->onRoomSubject(this, nick, subject);
        return;
    }
    // History only between a join's answer and its end: the subject, or
    // the first thing an occupant says live (a room that has no subject
    // sends none), so that nothing said live waits behind it. An
    // occupant's own <delay/> makes nothing history.
    std::string stamp;
    bool history = false;
    if (historyOpen_ && groupchat) {
        history = roomStamp(*stanza, roomJid(), stamp);
        if (!history && !nick.empty()) {
            historyOpen_ = false;
            if (catchUp_) catchUp_->historyEnded();
        }
    }
    deliverMessage(*stanza, history, stamp);
}

void MUCRoom::deliverHeld(const std::string& nick, const std::string& body, bool history, const std::string& stamp) {
    if (handler_) handler_->onRoomMessage(this, nick, body, history, stamp, false);
}

void MUCRoom::deliverArchived(const Stanza& message, const std::string& stamp) { deliverMessage(message, true, stamp); }

// What the handler had already (the room's history once more, after a join
// sent twice or a rejoin that caught up) is not delivered again.
void MUCRoom::deliverMessage(const Stanza& message, bool history, const std::string& stamp) {
    const std::string& body = message.bodyText();
    if (body.empty() || !handler_) return;
    const bool privateMessage = message.subtype() == MessageChat || message.subtype() == MessageNormal;
    if (!privateMessage && catchUp_ && catchUp_->admit(message, body, history, stamp) != RoomCatchUp::Deliver) return;
    handler_->onRoomMessage(this, message.from().resource(), body, history, stamp, privateMessage);
}

}  // namespace tern

#include "RoomView.h"

#include "ChatOverlay.h"
#include "EventText.h"

namespace mpvchat {

namespace {

using Handler = void (RoomView::*)(int, int, const HostString*, RoomView::Outcome&);

struct EventRule {
    int first, last;
    Handler handler;
};

// A new event code is one line here.
const EventRule kEvents[] = {
    {PARLEY_EVENT_CONNECTED, PARLEY_EVENT_CONNECTED, &RoomView::connected},
    {PARLEY_EVENT_DISCONNECTED, PARLEY_EVENT_DISCONNECTED + 18, &RoomView::disconnected},
    {PARLEY_EVENT_OCCUPANT_PRESENT, PARLEY_EVENT_OCCUPANT_PRESENT, &RoomView::present},
    {PARLEY_EVENT_OCCUPANT_LISTED, PARLEY_EVENT_OCCUPANT_LISTED, &RoomView::listed},
    {PARLEY_EVENT_ROLE_NONE, PARLEY_EVENT_ROLE_NONE, &RoomView::roleChanged},
    {PARLEY_EVENT_ROLE_VISITOR, PARLEY_EVENT_ROLE_VISITOR, &RoomView::roleChanged},
    {PARLEY_EVENT_ROLE_MODERATOR, PARLEY_EVENT_VOICE_GRANTED, &RoomView::roleChanged},
    {PARLEY_EVENT_OCCUPANT_LEFT, PARLEY_EVENT_OCCUPANT_LEFT, &RoomView::departed},
    {PARLEY_EVENT_NICK_CHANGED, PARLEY_EVENT_NICK_CHANGED, &RoomView::renamed},
    {PARLEY_EVENT_KICKED, PARLEY_EVENT_AFFILIATION_CHANGED, &RoomView::departed},
    {PARLEY_EVENT_CHAT_MESSAGE, PARLEY_EVENT_CHAT_MESSAGE, &RoomView::chat},
    {PARLEY_EVENT_SUBJECT, PARLEY_EVENT_SUBJECT, &RoomView::subject},
    {PARLEY_EVENT_CONTROL_MESSAGE, PARLEY_EVENT_CONTROL_MESSAGE, &RoomView::control},
    {PARLEY_EVENT_ROOM_ERROR_FIRST, PARLEY_EVENT_ROOM_ERROR_LAST, &RoomView::roomError},
    {PARLEY_EVENT_NOT_SENT, PARLEY_EVENT_NOT_SENT, &RoomView::notSent},
    {PARLEY_EVENT_CONNECTION_INTERRUPTED, PARLEY_EVENT_CONNECTION_INTERRUPTED, &RoomView::interrupted},
    {PARLEY_EVENT_CONNECTION_RESTORED, PARLEY_EVENT_CONNECTION_RESTORED, &RoomView::restored},
    {PARLEY_EVENT_ROOM_NOTICE, PARLEY_EVENT_ROOM_NOTICE, &RoomView::notice},
    {PARLEY_EVENT_IDENTIFIER_SHARED, PARLEY_EVENT_IDENTIFIER_SHARED, &RoomView::shared},
};

struct Words {
    int code;
    const char* text;
};

// "%s" is the occupant's name.
const Words kPresenceWords[] = {
    {PARLEY_EVENT_ROLE_NONE, "%s has no role in the room now"},
    {PARLEY_EVENT_ROLE_VISITOR, "%s may no longer speak"},
    {PARLEY_EVENT_ROLE_MODERATOR, "%s is now a moderator"},
    {PARLEY_EVENT_MODERATOR_REVOKED, "%s is no longer a moderator"},
    {PARLEY_EVENT_VOICE_GRANTED, "%s may speak again"},
    {PARLEY_EVENT_OCCUPANT_LEFT, "%s left"},
    {PARLEY_EVENT_KICKED, "%s was kicked"},
    {PARLEY_EVENT_BANNED, "%s was banned"},
    {PARLEY_EVENT_ROOM_DESTROYED, "the room was closed"},
    {PARLEY_EVENT_AFFILIATION_CHANGED, "%s left: their affiliation changed"},
};

// The same about ourselves.
const Words kOwnRoleWords[] = {
    {PARLEY_EVENT_ROLE_NONE, "you have no role in the room now"},
    {PARLEY_EVENT_ROLE_VISITOR, "you may no longer speak"},
    {PARLEY_EVENT_ROLE_MODERATOR, "you are now a moderator"},
    {PARLEY_EVENT_MODERATOR_REVOKED, "you are no longer a moderator"},
    {PARLEY_EVENT_VOICE_GRANTED, "you may speak again"},
};

const Words kDisconnectWords[] = {
    {PARLEY_REASON_NONE, "disconnected"},
    {PARLEY_REASON_STREAM_ERROR, "the server ended the session"},
    {PARLEY_REASON_STREAM_VERSION, "the server does not speak this XMPP version"},
    {PARLEY_REASON_STREAM_CLOSED, "the server closed the connection"},
    {PARLEY_REASON_IO_ERROR, "the connection broke"},
    {PARLEY_REASON_XML_PARSE_ERROR, "the server sent something unreadable"},
    {PARLEY_REASON_CONNECTION_REFUSED, "cannot reach the server"},
    {PARLEY_REASON_DNS_ERROR, "cannot find the server (DNS)"},
    {PARLEY_REASON_NO_SUPPORTED_AUTH,
     "no safe way to log in: the server offers no encryption (parley-plaintext=yes allows it)"},
    {PARLEY_REASON_TLS_FAILED, "the server's certificate was refused (see parley-ca-file)"},
    {PARLEY_REASON_TLS_NOT_AVAILABLE, "the server offers no encryption"},
    {PARLEY_REASON_COMPRESSION_FAILED, "compression failed"},
    {PARLEY_REASON_AUTHENTICATION_FAILED, "wrong user name or password"},
    {PARLEY_REASON_NOT_CONNECTED, "not connected"},
};

// The room error's condition, and what it means for a viewer.
const Words kRoomErrorWords[] = {
    {11048, "conflict: that nickname is taken in the room"},
    {11051, "not-authorized: the room needs a password"},
    {11053, "forbidden: not allowed"},
    {11057, "the room reported an error"},
    {11058, "bad-request"},
    {11059, "feature-not-implemented"},
    {11060, "gone: the room has moved or is gone"},
    {11061, "internal-server-error"},
    {11062, "item-not-found: there is no such room"},
    {11063, "jid-malformed: that nickname cannot be used"},
    {11064, "not-acceptable"},
    {11065, "not-allowed: not allowed"},
    {11067, "recipient-unavailable"},
    {11068, "redirect"},
    {11069, "registration-required: the room is for members only"},
    {11070, "remote-server-not-found"},
    {11071, "remote-server-timeout: the room does not answer"},
    {11072, "resource-constraint: the room is full"},
    {11073, "service-unavailable: the room is full or unavailable"},
    {11074, "subscription-required"},
    {11075, "undefined-condition"},
    {11076, "unexpected-request"},
};

template <std::size_t N>
const char* wordsFor(const Words (&table)[N], int code) {
    for (const Words& w : table)
        if (w.code == code) return w.text;
    return nullptr;
}

std::string fill(const char* pattern, const std::string& name) {
    std::string out = pattern;
    const std::size_t at = out.find("%s");
    if (at != std::string::npos) out.replace(at, 2, name);
    return out;
}

HostString textOf(const HostString* text) { return text ? *text : HostString(); }

// An occupant's key: its whole nickname. Texts about moderators read ":ad"
// for every ":us" in them; here both read ":us".
// Texts write a moderator's tag as ":ad"; an occupant is kept under ":us".
std::string keyOf(const Nickname& n) {
    std::string key = n.full;
    if (n.tag == ":ad") key.replace(key.size() - 3, 3, ":us");
    return key;
}

}  // namespace

RoomView::RoomView(std::string ownIdentifier, std::string room, std::size_t maxChars, RightsOf rights)
    : ownIdentifier_(std::move(ownIdentifier)),
      room_(std::move(room)),
      maxChars_(maxChars),
      rights_(rights ? std::move(rights) : [](const std::string&) { return Rights(); }) {}

RoomView::Outcome RoomView::onEvent(int code, const HostString* text, int arg4) {
    Outcome out;
    for (const EventRule& rule : kEvents) {
        if (code < rule.first || code > rule.last) continue;
        (this->*rule.handler)(code, arg4, text, out);
        break;
    }
    return out;
}

std::string RoomView::name(const std::string& display, const std::string& identifier) const {
    return cleanLine(display.empty() ? identifier : display, 40);
}

std::string RoomView::keyFor(const Nickname& n) const {
    // Anyone may type ":ad": while another shows our identifier (as the
    // events so far tell, in order), that form of our nickname is not ours.
    const std::string key = keyOf(n);
    if (n.tag == ":ad" && isOwn(key) && sharedBy(ownIdentifier_) != 0) return n.full;
    return key;
}

bool RoomView::mayModerate() const { return sharedBy(ownIdentifier_) != 0 || rights_(ownIdentifier_).moderator; }

std::string RoomView::ownName() const {
    const auto it = inRoom_ ? occupants_.find(ownNick_) : occupants_.end();
    return it == occupants_.end() ? std::string("you") : name(it->second.display, it->second.identifier);
}

void RoomView::connected(int, int, const HostString*, Outcome& out) {
    connected_ = true;
    out.status = "connected, joining room " + room_ + "...";
    out.sticky = true;
}

void RoomView::disconnected(int code, int, const HostString*, Outcome& out) {
    const int reason = code - PARLEY_EVENT_DISCONNECTED;
    out.ended = true;
    inRoom_ = live_ = false;
    occupants_.clear();
    shared_.clear();
    if (reason == PARLEY_REASON_USER_DISCONNECTED) return;  // we logged out
    const char* words = wordsFor(kDisconnectWords, reason);
    out.status = std::string(connected_ ? "connection lost: " : "cannot log in: ") +
                 (words ? words : "disconnected (" + std::to_string(reason) + ")");
    out.sticky = true;
    out.line = out.status;
}

void RoomView::present(int, int, const HostString* text, Outcome& out) {
    const PresenceText p = parsePresence(textOf(text));
    const std::string key = keyFor(p.nickname);
    if (key.empty()) return;
    const bool known = occupants_.count(key) != 0;
    Occupant& o = occupants_[key];
    o.display = p.nickname.display;
    o.identifier = p.nickname.identifier;
    if (!known) o.since = ++arrivals_;
    // Our first arrival (before it, others are only listed) is known by our
    // identifier: the room may have prepared the nickname we asked for, and
    // its spelling is ours from then on.
    if (ownNick_.empty() ? (!inRoom_ && p.nickname.identifier == ownIdentifier_) : isOwn(key)) {
        if (inRoom_) return;
        inRoom_ = true;
        ownNick_ = key;
        out.status = "in room " + room_ + " as " + name(o.display, o.identifier);
        const std::size_t others = occupants_.size() - 1;
        out.line = others == 0 ? "nobody else is here yet"
                               : std::to_string(others) + (others == 1 ? " other viewer" : " other viewers") +
                                     " here (script-message parley-who lists them)";
        return;
    }
    if (!known) out.line = name(o.display, o.identifier) + " joined";
}

RoomView::Occupant* RoomView::note(const std::string& key, const Nickname& nickname) {
    if (key.empty()) return nullptr;
    Occupant& o = occupants_[key];
    if (o.since == 0) o.since = ++arrivals_;
    o.display = nickname.display;
    o.identifier = nickname.identifier;
    return &o;
}

void RoomView::listed(int, int, const HostString* text, Outcome&) {
    // The room's occupants as we enter: quietly.
    const PresenceText p = parsePresence(textOf(text));
    note(keyFor(p.nickname), p.nickname);
}

void RoomView::roleChanged(int code, int, const HostString* text, Outcome& out) {
    // The room's word on a role is the event's code; who() asks the
    // library, which keeps the roles.
    const PresenceText p = parsePresence(textOf(text));
    const std::string key = keyFor(p.nickname);
    const Occupant* noted = note(key, p.nickname);
    if (!noted) return;
    const Occupant& o = *noted;
    const bool self = isOwn(key);
    const char* words = self ? wordsFor(kOwnRoleWords, code) : wordsFor(kPresenceWords, code);
    if (words) out.line = fill(words, name(o.display, o.identifier));
}

void RoomView::departed(int code, int why, const HostString* text, Outcome& out) {
    const PresenceText p = parsePresence(textOf(text));
    const std::string key = keyFor(p.nickname);
    const std::string who = name(p.nickname.display, p.nickname.identifier);
    occupants_.erase(key);
    if (why != 0) {
        // Our own end (only arg4 tells: another occupant may show our
        // identifier), with the reason the room gave.
        if (!inRoom_) return;
        inRoom_ = live_ = false;
        occupants_.clear();
        shared_.clear();
        const char* how = why == PARLEY_DEPARTURE_KICKED        ? "you were kicked from room "
                          : why == PARLEY_DEPARTURE_BANNED      ? "you were banned from room "
                          : why == PARLEY_DEPARTURE_AFFILIATION ? "your membership was taken away: out of room "
                          : why == PARLEY_DEPARTURE_DESTROYED   ? "the room was closed: out of room "
                                                                : "you were removed from room ";
        out.status = how + room_;
        out.sticky = true;
        out.line = out.status;
        return;
    }
    if (isOwn(key)) {
        // Out for now (the room's service went away): the library joins
        // again by itself, and our arrival says when we are back.
        if (!inRoom_) return;
        inRoom_ = live_ = false;
        out.status = "out of room " + room_ + " for now, joining again...";
        out.sticky = true;
        return;
    }
    if (!key.empty()) out.line = fill(wordsFor(kPresenceWords, code), who);
}

void RoomView::renamed(int, int, const HostString* text, Outcome& out) {
    const PresenceText p = parsePresence(textOf(text));
    const std::string key = keyFor(p.nickname), newKey = keyFor(p.newNickname);
    if (key.empty() || newKey.empty()) return;
    const auto it = occupants_.find(key);
    Occupant o = it != occupants_.end() ? it->second : Occupant{};
    if (it != occupants_.end()) occupants_.erase(it);
    if (o.since == 0) o.since = ++arrivals_;
    o.display = p.newNickname.display;
    o.identifier = p.newNickname.identifier;
    occupants_[newKey] = o;
    // The new nickname as the room spelled it.
    const bool self = isOwn(key);
    if (self) {
        ownNick_ = newKey;
        ownIdentifier_ = o.identifier;
    }
    out.line = (self ? std::string("you are") : name(p.nickname.display, p.nickname.identifier) + " is") +
               " now " + name(o.display, o.identifier);
}

void RoomView::chat(int, int, const HostString* text, Outcome& out) {
    const ChatText c = parseChat(textOf(text));
    out.chat = true;
    out.line = name(c.sender.display, c.sender.identifier) + ": " + cleanLine(c.body, maxChars_);
}

void RoomView::subject(int, int, const HostString* text, Outcome& out) {
    if (inRoom_ && !live_) live_ = out.live = true;
    const SubjectText s = parseSubject(textOf(text));
    if (s.subject.empty() && s.changer.identifier.empty()) return;  // the empty subject of a new room
    const std::string subject = s.subject.empty() ? "(none)" : cleanLine(s.subject, maxChars_);
    out.line = s.changer.identifier.empty() ? "subject: " + subject
                                            : name(s.changer.display, s.changer.identifier) + " set the subject: " + subject;
}

void RoomView::control(int, int, const HostString* text, Outcome& out) {
    if (live_) out.control = toUtf8(textOf(text));
    else out.log = "watch: skipped a control message from the room's history";
}

void RoomView::roomError(int code, int, const HostString*, Outcome& out) {
    const char* words = wordsFor(kRoomErrorWords, code);
    const std::string what = words ? words : "error " + std::to_string(code);
    if (!inRoom_ && connected_) {
        out.status = "cannot enter room " + room_ + ": " + what;
        out.sticky = true;
    }
    out.line = "the room said " + what;
}

void RoomView::notSent(int, int what, const HostString* text, Outcome& out) {
    const std::string said = cleanLine(toUtf8(textOf(text)), maxChars_);
    // Our own watching-together commands are nobody's business on screen.
    if (what == PARLEY_NOT_SENT_MESSAGE && said.rfind("ca:", 0) == 0) {
        out.log = "watch: not sent: " + said;
        return;
    }
    switch (what) {
        case PARLEY_NOT_SENT_MESSAGE: out.line = "not sent: " + said; break;
        case PARLEY_NOT_SENT_SUBJECT: out.line = "subject not changed: " + said; break;
        case PARLEY_NOT_SENT_NICKNAME: out.line = "nickname not changed"; break;
        case PARLEY_NOT_SENT_MODERATION: out.line = "the room was not asked (moderation)"; break;
        default: out.line = "a request did not reach the room"; break;
    }
}

void RoomView::interrupted(int, int, const HostString*, Outcome& out) {
    // The library reconnects by itself; what is said meanwhile waits.
    out.status = "healing: the connection broke, reconnecting...";
    out.sticky = true;
}

void RoomView::restored(int, int, const HostString*, Outcome& out) {
    out.status = inRoom_ ? "in room " + room_ + " as " + ownName() : "reconnected, joining room " + room_ + "...";
}

void RoomView::notice(int, int, const HostString* text, Outcome& out) {
    // The room's own words (a server's notice, or an invitation's text),
    // though an occupant may have caused them: shown as literally as chat.
    out.line = "room: " + cleanLine(toUtf8(textOf(text)), maxChars_);
}

void RoomView::shared(int, int holders, const HostString* text, Outcome& out) {
    const std::string identifier = toUtf8(textOf(text));
    // Named after the one who showed it first.
    const Occupant* first = nullptr;
    for (const auto& o : occupants_)
        if (o.second.identifier == identifier && (!first || o.second.since < first->since)) first = &o.second;
    const std::string whose = identifier == ownIdentifier_ ? "your identifier"
                              : first ? "the identifier of " + name(first->display, identifier)
                                      : "the identifier " + cleanLine(identifier, 40);
    if (holders < 2) {
        if (shared_.erase(identifier)) out.line = whose + " is no longer shared";
        return;
    }
    shared_[identifier] = holders;
    out.warning = true;
    out.line = std::to_string(holders) + " viewers show " + whose + ": moderation by it does nothing";
}

int RoomView::sharedBy(const std::string& identifier) const {
    const auto it = shared_.find(identifier);
    return it == shared_.end() ? 0 : it->second;
}

std::vector<RoomView::Occupant> RoomView::find(std::string_view who) const {
    std::vector<Occupant> found;
    for (const auto& o : occupants_)
        if (o.second.display == who) found.push_back(o.second);
    if (found.empty())
        for (const auto& o : occupants_)
            if (o.second.identifier == who) found.push_back(o.second);
    return found;
}

std::vector<std::string> RoomView::who() const {
    std::vector<std::string> lines{std::to_string(occupants_.size()) + " in room " + room_ + ":"};
    std::map<std::string, int> named;
    for (const auto& o : occupants_) ++named[o.second.display];
    for (const auto& o : occupants_) {
        const Occupant& p = o.second;
        std::vector<std::string> notes;
        if (isOwn(o.first)) notes.push_back("you");
        // Two of one name: the identifier tells them apart for moderation.
        if (!p.display.empty() && named[p.display] > 1) notes.push_back(cleanLine(p.identifier, 40));
        if (shared_.count(p.identifier)) {
            notes.push_back("identifier shared");  // the library names nobody by it
        } else {
            const Rights r = rights_(p.identifier);
            if (r.owner) notes.push_back("owner");
            if (r.moderator) notes.push_back("moderator");
            if (r.muted) notes.push_back("muted");
        }
        std::string line = "  " + name(p.display, p.identifier);
        for (std::size_t i = 0; i < notes.size(); ++i) line += (i == 0 ? " (" : ", ") + notes[i];
        lines.push_back(notes.empty() ? line : line + ")");
    }
    return lines;
}

}  // namespace mpvchat

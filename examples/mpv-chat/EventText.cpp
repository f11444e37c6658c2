#include "EventText.h"

namespace mpvchat {

namespace {

const HostString kSeparator = {u'_', u't', u'o', u'k', u'_'};

// Takes the field up to the first separator off the front of rest; the
// whole rest when none is left.
HostString takeField(HostString& rest) {
    const std::size_t at = rest.find(kSeparator);
    HostString field = rest.substr(0, at);
    rest = at == HostString::npos ? HostString() : rest.substr(at + kSeparator.size());
    return field;
}

// The value after "KEY=", or the field as it is when the key is missing.
HostString valueOf(const HostString& field, const char* key) {
    std::size_t i = 0;
    for (; key[i]; ++i)
        if (i >= field.size() || field[i] != static_cast<ParleyChar>(key[i])) return field;
    return field.substr(i);
}

std::string utf8(const HostString& s) { return toUtf8(s); }

}  // namespace

Nickname splitNickname(const HostString& nick) {
    // The identifier is cut as the library cuts it, so that the moderation
    // functions find it in their member list also for nicknames that do not
    // follow the layout (other clients'), which are shown whole.
    const std::size_t n = nick.size();
    const std::size_t idStart = n > 39 ? n - 39 : 0;
    const bool layout = n >= 39 && nick[n - 3] == u':';
    return {utf8(layout ? nick.substr(0, idStart) : nick), utf8(nick.substr(idStart, 36)),
            utf8(layout ? nick.substr(n - 3) : HostString()), utf8(nick)};
}

ChatText parseChat(const HostString& text) {
    HostString rest = text;
    const HostString sender = valueOf(takeField(rest), "NICKNAME=");
    return {splitNickname(sender), utf8(rest)};
}

PresenceText parsePresence(const HostString& text) {
    HostString rest = text;
    const HostString user = valueOf(takeField(rest), "ID=");
    const HostString nick = valueOf(takeField(rest), "NICKNAME=");
    const HostString newNick = valueOf(rest, "NEWNICKNAME=");
    return {utf8(user), splitNickname(nick), newNick.empty() ? Nickname{} : splitNickname(newNick)};
}

SubjectText parseSubject(const HostString& text) {
    HostString rest = text;
    const HostString changer = valueOf(takeField(rest), "NICKNAME=");
    return {changer.empty() ? Nickname{} : splitNickname(changer), utf8(valueOf(rest, "SUBJECT="))};
}

}  // namespace mpvchat

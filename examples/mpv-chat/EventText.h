// The fields of the host events' texts, and the parts of a room nickname.
//
// Texts are "KEY=value" fields joined by "_tok_". No field before the last
// can hold the separator, so a text is split at the first one and the last
// field runs to the end of the text (a message body may contain anything).
#ifndef PARLEY_MPV_EVENTTEXT_H
#define PARLEY_MPV_EVENTTEXT_H

#include <string>

#include "Utf16.h"

namespace mpvchat {

// Nicknames end in a 36-character occupant identifier and a 3-character tag
// (":us", or ":ad" in texts about moderators); the display name is what
// comes before. A nickname without that suffix is its own display name and
// has no tag. full is the whole nickname, which the room keeps unique.
struct Nickname {
    std::string display, identifier, tag, full;
};
Nickname splitNickname(const HostString& nickname);

// 11029: "NICKNAME=" sender "_tok_" body.
struct ChatText {
    Nickname sender;
    std::string body;
};
ChatText parseChat(const HostString& text);

// Presence events: "ID=" user "_tok_NICKNAME=" nickname "_tok_NEWNICKNAME=" new.
struct PresenceText {
    std::string user;
    Nickname nickname, newNickname;
};
PresenceText parsePresence(const HostString& text);

// 11047: "NICKNAME=" changer "_tok_SUBJECT=" subject.
struct SubjectText {
    Nickname changer;
    std::string subject;
};
SubjectText parseSubject(const HostString& text);

}  // namespace mpvchat

#endif

// Readable host events for the examples: the code's name and the decoded text.
#ifndef PARLEY_EXAMPLES_HOSTEVENTS_H
#define PARLEY_EXAMPLES_HOSTEVENTS_H

#include <string>

#include "HostText.h"
#include "parley.h"

inline const char* eventName(int code) {
    switch (code) {
        case PARLEY_EVENT_CONNECTED: return "CONNECTED";
        case PARLEY_EVENT_REGISTERED: return "REGISTERED";
        case PARLEY_EVENT_REGISTRATION_CONFLICT: return "REGISTRATION_CONFLICT";
        case PARLEY_EVENT_PRESENCE: return "PRESENCE";
        case PARLEY_EVENT_OCCUPANT_PRESENT: return "OCCUPANT_PRESENT";
        case PARLEY_EVENT_ROLE_NONE: return "ROLE_NONE";
        case PARLEY_EVENT_ROLE_VISITOR: return "ROLE_VISITOR";
        case PARLEY_EVENT_ROLE_MODERATOR: return "ROLE_MODERATOR";
        case PARLEY_EVENT_MODERATOR_REVOKED: return "MODERATOR_REVOKED";
        case PARLEY_EVENT_VOICE_GRANTED: return "VOICE_GRANTED";
        case PARLEY_EVENT_OCCUPANT_LISTED: return "OCCUPANT_LISTED";
        case PARLEY_EVENT_OCCUPANT_LEFT: return "OCCUPANT_LEFT";
        case PARLEY_EVENT_NICK_CHANGED: return "NICK_CHANGED";
        case PARLEY_EVENT_KICKED: return "KICKED";
        case PARLEY_EVENT_BANNED: return "BANNED";
        case PARLEY_EVENT_ROOM_DESTROYED: return "ROOM_DESTROYED";
        case PARLEY_EVENT_AFFILIATION_CHANGED: return "AFFILIATION_CHANGED";
        case PARLEY_EVENT_CHAT_MESSAGE: return "CHAT_MESSAGE";
        case PARLEY_EVENT_TAGGED_MESSAGE: return "TAGGED_MESSAGE";
        case PARLEY_EVENT_CONTROL_MESSAGE: return "CONTROL_MESSAGE";
        case PARLEY_EVENT_SUBJECT: return "SUBJECT";
        case PARLEY_EVENT_ROOM_INFO: return "ROOM_INFO";
        case PARLEY_EVENT_NOT_SENT: return "NOT_SENT";
        case PARLEY_EVENT_CONNECTION_INTERRUPTED: return "CONNECTION_INTERRUPTED";
        case PARLEY_EVENT_CONNECTION_RESTORED: return "CONNECTION_RESTORED";
        case PARLEY_EVENT_ROOM_NOTICE: return "ROOM_NOTICE";
        case PARLEY_EVENT_IDENTIFIER_SHARED: return "IDENTIFIER_SHARED";
    }
    if (code >= PARLEY_EVENT_ROOM_ERROR_FIRST && code <= PARLEY_EVENT_ROOM_ERROR_LAST) return "ROOM_ERROR";
    if (code >= PARLEY_EVENT_DISCONNECTED && code <= PARLEY_EVENT_DISCONNECTED + 18) return "DISCONNECTED";
    return "?";
}

// UTF-16 to UTF-8 for printing, and back for the host functions.
inline std::string toUtf8(const ParleyChar* s, int length) {
    return hosttext::toUtf8(s, length > 0 ? static_cast<std::size_t>(length) : 0);
}
inline std::basic_string<ParleyChar> toHost(const std::string& s) { return hosttext::toHost(s); }

inline std::string describe(int code, int arg3, int arg4, const TextBuffer* text) {
    std::string line = std::to_string(code) + " " + eventName(code);
    if (arg3) line += " room=" + std::to_string(arg3);
    // arg4 means something else for each event that uses it.
    const char* what = code == PARLEY_EVENT_PRESENCE             ? " tc="
                       : code == PARLEY_EVENT_OCCUPANT_LEFT      ? " why="
                       : code == PARLEY_EVENT_NOT_SENT           ? " kind="
                       : code == PARLEY_EVENT_IDENTIFIER_SHARED  ? " holders="
                       : code == PARLEY_EVENT_CONNECTION_INTERRUPTED ? " reason="
                                                                 : " arg4=";
    if (arg4) line += what + std::to_string(arg4);
    if (text) line += " \"" + toUtf8(text->text, text->length) + "\"";
    return line;
}

#endif

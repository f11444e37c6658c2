// Readable host events for the examples: the code's name and the decoded text.
#ifndef PARLEY_EXAMPLES_HOSTEVENTS_H
#define PARLEY_EXAMPLES_HOSTEVENTS_H

#include <string>

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
    }
    if (code >= PARLEY_EVENT_ROOM_ERROR_FIRST && code <= PARLEY_EVENT_ROOM_ERROR_LAST) return "ROOM_ERROR";
    if (code >= PARLEY_EVENT_DISCONNECTED && code <= PARLEY_EVENT_DISCONNECTED + 18) return "DISCONNECTED";
    return "?";
}

// UTF-16 (well-formed) to UTF-8 for printing.
inline std::string toUtf8(const ParleyChar* s, int length) {
    std::string out;
    for (int i = 0; i < length; ++i) {
        char32_t c = static_cast<char32_t>(s[i]);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < length) c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// UTF-8 to UTF-16 for the host functions.
inline std::basic_string<ParleyChar> toHost(const std::string& s) {
    std::basic_string<ParleyChar> out;
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t cp;
        int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
        for (int k = 1; k < n && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        i += static_cast<std::size_t>(n);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<ParleyChar>(0xD800 + (cp >> 10));
            out += static_cast<ParleyChar>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<ParleyChar>(cp);
        }
    }
    return out;
}

inline std::string describe(int code, int arg3, int arg4, const TextBuffer* text) {
    std::string line = std::to_string(code) + " " + eventName(code);
    if (arg3) line += " room=" + std::to_string(arg3);
    if (arg4) line += " tc=" + std::to_string(arg4);
    if (text) line += " \"" + toUtf8(text->text, text->length) + "\"";
    return line;
}

#endif

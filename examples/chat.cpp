// A small interactive client on the C interface, to try the library against
// any server.
//   parley-chat SERVER USER PASSWORD ROOM NICKNAME [--register]
// Lines typed are sent to the room and shown as sent; /help lists the
// commands. PARLEY_LOG=debug shows the protocol on standard error.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <string>

#include "HostEvents.h"
#include "parley.h"

namespace {

const char* const kHelp =
    "  TEXT            send TEXT to the room\n"
    "  /who            the occupants, by display name and role\n"
    "  /nick NAME      change your nickname\n"
    "  /subject TEXT   change the room's subject\n"
    "  /kick ID, /ban ID, /mod ID, /voice ID, /mute ID\n"
    "                  moderate the occupant with identifier ID (see /who)\n"
    "  /destroy        destroy the room (owners only)\n"
    "  /help           this list\n"
    "  /quit           log out and leave\n";

// Nicknames end in a 36-character occupant identifier and a 3-character tag
// (":us", or ":ad" in texts about moderators); what comes before is the
// display name.
struct Nickname {
    std::string display, identifier;
};
Nickname splitNickname(const std::string& nick) {
    if (nick.size() < 39) return {nick, nick};
    return {nick.substr(0, nick.size() - 39), nick.substr(nick.size() - 39, 36)};
}

// The value of KEY= in an event text, up to the next "_tok_".
std::string field(const std::string& text, const std::string& key) {
    std::size_t at = text.rfind(key + "=", 0) == 0 ? 0 : text.find("_tok_" + key + "=");
    if (at == std::string::npos) return {};
    at = text.find('=', at) + 1;
    const std::size_t end = text.find("_tok_", at);
    return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// The room as the events tell it; the callback runs on the session's thread.
class Occupants {
public:
    void onPresence(int code, const std::string& text) {
        const std::string nick = field(text, "NICKNAME");
        if (nick.empty()) return;
        const Nickname parts = splitNickname(nick);
        std::lock_guard<std::mutex> lock(mutex_);
        const char* role = nullptr;
        switch (code) {
            case PARLEY_EVENT_OCCUPANT_PRESENT:
            case PARLEY_EVENT_OCCUPANT_LISTED:
                role = nick.size() >= 3 && nick.compare(nick.size() - 3, 3, ":ad") == 0 ? "moderator" : "participant";
                break;
            case PARLEY_EVENT_ROLE_MODERATOR: role = "moderator"; break;
            case PARLEY_EVENT_ROLE_VISITOR: role = "visitor"; break;
            case PARLEY_EVENT_ROLE_NONE: role = "none"; break;
            case PARLEY_EVENT_MODERATOR_REVOKED:
            case PARLEY_EVENT_VOICE_GRANTED: role = "participant"; break;
            default: occupants_.erase(parts.identifier); return;  // left, renamed, kicked, banned
        }
        occupants_[parts.identifier] = {parts.display, role};
    }
    void print() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::printf("* %zu in the room\n", occupants_.size());
        for (const auto& o : occupants_)
            std::printf("  %-20s %-12s %s\n", o.second.display.c_str(), o.second.role.c_str(), o.first.c_str());
    }

private:
    struct Occupant {
        std::string display, role;
    };
    std::mutex mutex_;
    std::map<std::string, Occupant> occupants_;
};

Occupants occupants;
std::mutex output;

bool isPresence(int code) {
    return code == PARLEY_EVENT_OCCUPANT_PRESENT || code == PARLEY_EVENT_OCCUPANT_LISTED ||
           (code >= PARLEY_EVENT_ROLE_NONE && code <= PARLEY_EVENT_AFFILIATION_CHANGED) ||
           code == PARLEY_EVENT_OCCUPANT_LEFT;
}

int32_t onEvent(void*, int32_t code, int32_t arg3, int32_t arg4, const TextBuffer* text) {
    const std::string body = text ? toUtf8(text->text, text->length) : std::string();
    if (isPresence(code)) occupants.onPresence(code, body);
    std::lock_guard<std::mutex> lock(output);
    if (code == PARLEY_EVENT_CHAT_MESSAGE) {
        // "NICKNAME=" sender "_tok_" body
        const std::size_t sep = body.find("_tok_");
        const std::string sender = sep == std::string::npos ? std::string() : body.substr(9, sep - 9);
        std::printf("<%s> %s\n", splitNickname(sender).display.c_str(),
                    sep == std::string::npos ? body.c_str() : body.c_str() + sep + 5);
    } else {
        std::printf("* %s\n", describe(code, arg3, arg4, text).c_str());
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s SERVER USER PASSWORD ROOM NICKNAME [--register]\n", argv[0]);
        return 2;
    }
    const auto server = toHost(argv[1]), user = toHost(argv[2]), password = toHost(argv[3]), room = toHost(argv[4]);
    std::string nickname = argv[5];
    if (argc > 6 && std::strcmp(argv[6], "--register") == 0) {
        void* handle = SetRegistration(server.c_str(), user.c_str(), password.c_str(), nullptr, onEvent);
        if (handle) WaitRegistration(handle, -1);
    }
    void* session = SetLogin(user.c_str(), password.c_str(), room.c_str(), toHost(nickname).c_str(), server.c_str(),
                             toHost("chat").c_str(), nullptr, onEvent);
    if (!session) return 1;
    std::printf("* type /help for the commands\n");
    std::string line;
    while (std::getline(std::cin, line)) {
        auto arg = [&](std::size_t skip) { return toHost(line.size() > skip ? line.substr(skip) : std::string()); };
        if (line == "/quit") break;
        if (line == "/help") {
            std::lock_guard<std::mutex> lock(output);
            std::fputs(kHelp, stdout);
        } else if (line == "/who") {
            std::lock_guard<std::mutex> lock(output);
            occupants.print();
        } else if (line == "/destroy") {
            GetRoominfo(session);
        } else if (line.rfind("/nick ", 0) == 0) {
            nickname = line.substr(6);
            SetNickName(session, arg(6).c_str());
        } else if (line.rfind("/subject ", 0) == 0) {
            SetSubject(session, arg(9).c_str());
        } else if (line.rfind("/kick ", 0) == 0) {
            SetKick(session, arg(6).c_str());
        } else if (line.rfind("/ban ", 0) == 0) {
            SetBan(session, arg(5).c_str());
        } else if (line.rfind("/mod ", 0) == 0) {
            SetModerator(session, arg(5).c_str());
        } else if (line.rfind("/voice ", 0) == 0) {
            SetCancel(session, arg(7).c_str());
        } else if (line.rfind("/mute ", 0) == 0) {
            SetWriteBlock(session, arg(6).c_str());
        } else if (line[0] == '/') {
            std::printf("* unknown command; /help lists them\n");
        } else if (!line.empty()) {
            // The room does not report the own messages back; show them as sent.
            SetChatMessage(session, toHost(line).c_str());
            std::lock_guard<std::mutex> lock(output);
            std::printf("<%s> %s\n", splitNickname(nickname).display.c_str(), line.c_str());
        }
    }
    GetLogOut(session);
    return 0;
}

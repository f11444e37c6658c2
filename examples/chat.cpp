// A small interactive client on the C interface, to try the library against
// any server:
//   parley-chat [OPTIONS] SERVER USER ROOM NICKNAME
// The password comes from a prompt, or from a file (--password-file); see
// usage() and the man page (debian/parley-chat.1). Lines typed go to the
// room; /help lists the commands. What the room reports is shown in words.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include <iostream>
#else
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

#include "HostEvents.h"
#include "parley.h"

namespace {

using HostString = std::basic_string<ParleyChar>;

const char* const kUsage =
    "usage: parley-chat [OPTIONS] SERVER USER ROOM NICKNAME\n"
    "Logs in as USER@SERVER and joins ROOM@conference.SERVER as NICKNAME.\n"
    "  --password-file=FILE  the password is the first line of FILE; without it\n"
    "                        the password is asked for (not shown), or, when\n"
    "                        standard input is not a terminal, is its first line\n"
    "  --register            register the account first\n"
    "  --encryption=POLICY   what may travel without TLS:\n"
    "      required   nothing: no login and no registration without TLS\n"
    "      password   (default) all but the password: without TLS only logins\n"
    "                 that never send it (SCRAM) work; PLAIN and --register\n"
    "                 need TLS\n"
    "      plaintext  everything, the password too: anyone on the way can read\n"
    "                 it (for test servers only)\n"
    "  --resource=NAME       the resource (default: parley-chat- and a random\n"
    "                        part, so that instances never replace each other)\n"
    "  --help                this text\n";

const char* const kHelp =
    "  TEXT            send TEXT to the room\n"
    "  /who            the occupants: display name, role, owner or not, identifier\n"
    "  /nick NAME      change your nickname\n"
    "  /subject TEXT   change the room's subject\n"
    "  /kick NAME, /ban NAME, /mod NAME, /voice NAME, /mute NAME\n"
    "                  moderate the occupant shown as NAME (or with that identifier)\n"
    "  /destroy        destroy the room (owners only)\n"
    "  /help           this list\n"
    "  /quit           log out and leave\n";

// ---- words for the codes ---------------------------------------------------

const char* disconnectReason(int e) {
    switch (e) {
        case PARLEY_REASON_STREAM_ERROR:
            return "the server ended the stream with an error (another login with the same resource, "
                   "a server shutting down, or something it could not accept)";
        case PARLEY_REASON_STREAM_VERSION: return "the server does not speak XMPP 1.0";
        case PARLEY_REASON_STREAM_CLOSED: return "the server closed the connection";
        case PARLEY_REASON_IO_ERROR: return "the connection broke, or stayed silent too long";
        case PARLEY_REASON_XML_PARSE_ERROR: return "the server sent something that is not XML";
        case PARLEY_REASON_CONNECTION_REFUSED: return "the server could not be reached (connection refused)";
        case PARLEY_REASON_DNS_ERROR: return "the server's name could not be resolved";
        case PARLEY_REASON_NO_SUPPORTED_AUTH:
            return "no way to log in that the encryption policy allows: without TLS the server only takes "
                   "the password itself (see --encryption)";
        case PARLEY_REASON_TLS_FAILED: return "TLS failed (the server's certificate does not verify?)";
        case PARLEY_REASON_TLS_NOT_AVAILABLE:
            return "the server offers no TLS, and the encryption policy does not let the password travel "
                   "without it (see --encryption)";
        case PARLEY_REASON_COMPRESSION_FAILED: return "compression failed";
        case PARLEY_REASON_AUTHENTICATION_FAILED: return "the login was refused (wrong user name or password?)";
        case PARLEY_REASON_USER_DISCONNECTED: return "logged out";
        case PARLEY_REASON_NOT_CONNECTED: return "the server stopped answering while the session was being set up";
    }
    return "the connection ended";
}

const char* roomError(int code) {
    switch (code) {
        case 11048: return "that nickname is taken (conflict)";
        case 11051: return "a password is needed to enter (not-authorized)";
        case 11053: return "you may not do that here, or you are banned (forbidden)";
        case 11057: return "an error without a reason";
        case 11058: return "the request was malformed (bad-request)";
        case 11059: return "the room does not support that (feature-not-implemented)";
        case 11060: return "the room has moved or is gone (gone)";
        case 11061: return "the server failed (internal-server-error)";
        case 11062: return "no such room, or it is locked (item-not-found)";
        case 11063: return "that nickname or room name cannot be used (jid-malformed)";
        case 11064: return "not accepted, for example when you are not in the room (not-acceptable)";
        case 11065: return "not allowed, for example creating rooms (not-allowed)";
        case 11067: return "the room is not available (recipient-unavailable)";
        case 11068: return "the room is elsewhere (redirect)";
        case 11069: return "the room is for members only (registration-required)";
        case 11070: return "the room's server was not found (remote-server-not-found)";
        case 11071: return "the room did not answer (remote-server-timeout)";
        case 11072: return "too much at once; slow down (resource-constraint)";
        case 11073: return "the room is full or not available (service-unavailable)";
        case 11074: return "a subscription is needed (subscription-required)";
        case 11075: return "an error the room did not name (undefined-condition)";
        case 11076: return "not expected now (unexpected-request)";
    }
    return "an error";
}

const char* notSentWhat(int kind) {
    switch (kind) {
        case PARLEY_NOT_SENT_MESSAGE: return "message";
        case PARLEY_NOT_SENT_SUBJECT: return "subject";
        case PARLEY_NOT_SENT_NICKNAME: return "nickname";
        case PARLEY_NOT_SENT_MODERATION: return "moderation of";
        case PARLEY_NOT_SENT_DESTRUCTION: return "destruction of the room";
    }
    return "request";
}

const char* departure(int why) {
    switch (why) {
        case PARLEY_DEPARTURE_KICKED: return "you were kicked from the room";
        case PARLEY_DEPARTURE_BANNED: return "you were banned from the room";
        case PARLEY_DEPARTURE_AFFILIATION: return "you were removed from the room (your affiliation was taken away)";
        case PARLEY_DEPARTURE_DESTROYED: return "the room was destroyed";
    }
    return "you were removed from the room";
}

// ---- text ------------------------------------------------------------------

// For the terminal: controls (an escape sequence from someone else) are
// shown as U+FFFD, the way the library sends them; continuation lines are
// indented, so that a message cannot pass for lines of its own.
std::string printable(const std::string& text) {
    std::string out;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\n')
            out += "\n    ";
        else if (u < 0x20 && c != '\t')
            out += "\xef\xbf\xbd";
        else
            out += c;
    }
    return out;
}

// The nickname layout hosts share, in UTF-16 code units as the library cuts
// it: display name, 36-character identifier, 3-character tag.
struct Nickname {
    std::string full, display, identifier;
};
Nickname splitNickname(const std::string& nick) {
    const HostString n = toHost(nick);
    const std::size_t start = n.size() >= 39 ? n.size() - 39 : 0;
    Nickname parts{nick, n.size() >= 39 ? toUtf8(n.data(), static_cast<int>(start)) : nick,
                   hosttext::toUtf8(n.substr(start, 36))};
    return parts;
}

// The value of KEY= in an event text, up to the next "_tok_" (the last
// field: to the end).
std::string field(const std::string& text, const std::string& key, bool last = false) {
    std::size_t at = text.rfind(key + "=", 0) == 0 ? 0 : text.find("_tok_" + key + "=");
    if (at == std::string::npos) return {};
    at = text.find('=', at) + 1;
    const std::size_t end = last ? std::string::npos : text.find("_tok_", at);
    return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// ---- standard input ----------------------------------------------------------

// Lines from standard input, until its end or until wake() (from the
// session's thread, when the session is over).
class Input {
public:
#ifndef _WIN32
    Input() {
        if (pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
    }
    void wake() {
        const char c = 1;
        if (wake_[1] >= 0 && write(wake_[1], &c, 1) < 0) {
        }
    }
    bool next(std::string& line) {
        for (;;) {
            const std::size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return true;
            }
            if (eof_) {
                line.swap(buffer_);
                buffer_.clear();
                return !line.empty();
            }
            pollfd fds[2] = {{0, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (poll(fds, wake_[0] >= 0 ? 2 : 1, -1) < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (fds[1].revents) return false;
            char chunk[4096];
            const ssize_t n = read(0, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0)
                eof_ = true;
            else
                buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    int wake_[2];
    std::string buffer_;
    bool eof_ = false;
#else
    // The console has no wake-up: the session's end shows at the next line.
    void wake() {}
    bool next(std::string& line) { return static_cast<bool>(std::getline(std::cin, line)); }
#endif
};

bool stdinIsTerminal() {
#ifdef _WIN32
    return _isatty(0) != 0;
#else
    return isatty(0) != 0;
#endif
}

// The password typed at the terminal, without echo.
bool promptPassword(const std::string& account, Input& input, std::string& password) {
    std::fprintf(stderr, "Password for %s: ", account.c_str());
    std::fflush(stderr);
#ifdef _WIN32
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    const bool quiet = GetConsoleMode(in, &mode) && SetConsoleMode(in, mode & ~ENABLE_ECHO_INPUT);
    const bool ok = input.next(password);
    if (quiet) SetConsoleMode(in, mode);
#else
    termios before{};
    const bool quiet = tcgetattr(0, &before) == 0;
    if (quiet) {
        termios silent = before;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(0, TCSAFLUSH, &silent);
    }
    const bool ok = input.next(password);
    if (quiet) tcsetattr(0, TCSAFLUSH, &before);
#endif
    std::fputc('\n', stderr);
    return ok;
}

bool readPasswordFile(const std::string& path, std::string& password) {
    std::ifstream file(path);
    if (!file || !std::getline(file, password)) return false;
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return true;
}

std::string randomResource() {
    std::random_device device;
    std::mt19937 generator(device() ^ static_cast<unsigned>(std::time(nullptr)));
    char suffix[9];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(generator()));
    return std::string("parley-chat-") + suffix;
}

// ---- the room as the events tell it ------------------------------------------

struct Occupant {
    std::string display;
    int role = 0;  // as the events say: 0 none, 1 visitor, 2 participant, 3 moderator
};

class Chat {
public:
    Input input;
    std::mutex mutex;  // everything below, and the output
    void* session = nullptr;
    std::string ownNick;  // the room's word for it, once it has spoken
    std::string room;
    bool inRoom = false;
    bool history = false;  // after our own presence, until the subject: the room's history
    bool subjectSeen = false;
    std::vector<std::string> pending;  // our lines taken before we were in the room
    std::map<std::string, Occupant> occupants;  // by identifier
    std::map<std::string, std::string> renamed;  // identifier: the nickname announced
    std::map<std::string, int> shared;           // identifier: how many occupants show it, when two or more
    std::atomic<bool> over{false};
    int registration = 0;  // 11056, 11055, or 21024 + reason

    static int32_t PARLEY_CALL callback(void* context, int32_t code, int32_t arg3, int32_t arg4,
                                        const TextBuffer* text) {
        static_cast<Chat*>(context)->onEvent(code, arg3, arg4,
                                             text ? toUtf8(text->text, text->length) : std::string());
        return 0;
    }

    void say(const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

    // Ours by the whole nickname, which the room keeps unique: the
    // identifier in it is anyone's to show. Texts about moderators read
    // ":ad" for ":us".
    static std::string untagged(std::string nick) {
        for (std::size_t at = nick.find(":ad"); at != std::string::npos; at = nick.find(":ad", at + 3))
            nick.replace(at, 3, ":us");
        return nick;
    }
    bool isOwn(const Nickname& n) const { return !n.full.empty() && untagged(n.full) == untagged(ownNick); }

    void onEvent(int code, int arg3, int arg4, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        if (code == PARLEY_EVENT_PRESENCE) return;  // a presence event follows
        if (code == PARLEY_EVENT_CONNECTED) return say("* connected; joining " + room);
        if (code == PARLEY_EVENT_REGISTERED || code == PARLEY_EVENT_REGISTRATION_CONFLICT) {
            registration = code;
            return;
        }
        if (code >= PARLEY_EVENT_DISCONNECTED && code <= PARLEY_EVENT_DISCONNECTED + PARLEY_REASON_NOT_CONNECTED) {
            const int reason = code - PARLEY_EVENT_DISCONNECTED;
            if (!session) {
                registration = code;  // the registration's connection
                return;
            }
            if (reason == PARLEY_REASON_USER_DISCONNECTED) return say("* logged out");
            say("* disconnected: " + std::string(disconnectReason(reason)) + " (" + std::to_string(code) + ")");
            over = true;
            input.wake();
            return;
        }
        if (code == PARLEY_EVENT_CONNECTION_INTERRUPTED)
            return say("* connection lost (" + std::string(disconnectReason(arg4)) + "); reconnecting");
        if (code == PARLEY_EVENT_CONNECTION_RESTORED) return say("* connection restored");
        if (code == PARLEY_EVENT_NOT_SENT) {
            std::string line = "* not sent: " + std::string(notSentWhat(arg4));
            if (!text.empty()) line += " " + printable(arg4 == PARLEY_NOT_SENT_MODERATION ? displayOf(text) : text);
            return say(line);
        }
        if (code == PARLEY_EVENT_CHAT_MESSAGE) {
            // "NICKNAME=" sender "_tok_" body
            const std::size_t sep = text.find("_tok_");
            const std::string sender = sep == std::string::npos ? std::string() : text.substr(9, sep - 9);
            const std::string body = sep == std::string::npos ? text : text.substr(sep + 5);
            return say(std::string(history ? "[history] " : "") + "<" + printable(splitNickname(sender).display) +
                       "> " + printable(body));
        }
        if (code == PARLEY_EVENT_TAGGED_MESSAGE || code == PARLEY_EVENT_CONTROL_MESSAGE)
            return say(std::string(history ? "[history] " : "") + "* " +
                       (code == PARLEY_EVENT_TAGGED_MESSAGE ? "tagged" : "control") + " message: " + printable(text));
        if (code == PARLEY_EVENT_SUBJECT) return onSubject(text);
        if (code == PARLEY_EVENT_ROOM_INFO) return say("* room information: " + printable(text));
        if (code == PARLEY_EVENT_ROOM_NOTICE) return say("* the room says: " + printable(text));
        if (code == PARLEY_EVENT_IDENTIFIER_SHARED) return onShared(arg4, text);
        if (isPresence(code)) return onPresence(code, arg4, text);
        if (code >= PARLEY_EVENT_ROOM_ERROR_FIRST && code <= PARLEY_EVENT_ROOM_ERROR_LAST)
            return say("* the room refused: " + std::string(roomError(code)) + " (" + std::to_string(code) + ")");
        say("* " + describe(code, arg3, arg4, nullptr));
    }

    static bool isPresence(int code) {
        return code == PARLEY_EVENT_OCCUPANT_PRESENT || code == PARLEY_EVENT_OCCUPANT_LISTED ||
               (code >= PARLEY_EVENT_ROLE_NONE && code <= PARLEY_EVENT_AFFILIATION_CHANGED) ||
               code == PARLEY_EVENT_OCCUPANT_LEFT;
    }

    // The display name of an occupant given by identifier, or the identifier.
    std::string displayOf(const std::string& identifier) const {
        auto it = occupants.find(identifier);
        return it == occupants.end() ? identifier : it->second.display;
    }

    // Occupants may show the same identifier; the library then names none
    // of them by it.
    void onShared(int holders, const std::string& identifier) {
        const std::string id = identifier == splitNickname(ownNick).identifier ? "your identifier " + identifier
                                                                               : "the identifier " + identifier;
        if (holders < 2) {
            shared.erase(identifier);
            return say("* " + printable(id) + " is no longer shared");
        }
        shared[identifier] = holders;
        say("* " + printable(id) + " is shared by " + std::to_string(holders) +
            " occupants: moderation by it does nothing");
    }

    void onSubject(const std::string& text) {
        const std::string subject = field(text, "SUBJECT", true);
        const Nickname by = splitNickname(field(text, "NICKNAME"));
        const bool first = !subjectSeen;
        subjectSeen = true;
        history = false;  // the room's history ends with the subject
        if (first || by.full.empty()) {
            if (!subject.empty()) say("* the subject is: " + printable(subject));
            return;
        }
        say("* " + (isOwn(by) ? std::string("you") : printable(by.display)) + " changed the subject to: " +
            printable(subject));
    }

    void onPresence(int code, int arg4, const std::string& text) {
        const Nickname n = splitNickname(field(text, "NICKNAME"));
        if (n.full.empty()) return;
        // Joining, the room may have changed the nickname we asked for.
        const bool own = isOwn(n) || (!inRoom && code == PARLEY_EVENT_OCCUPANT_PRESENT &&
                                      n.identifier == splitNickname(ownNick).identifier);
        const std::string who = own ? "you" : printable(n.display);
        int role = -1;
        switch (code) {
            case PARLEY_EVENT_OCCUPANT_PRESENT:
            case PARLEY_EVENT_OCCUPANT_LISTED:
            case PARLEY_EVENT_MODERATOR_REVOKED:
            case PARLEY_EVENT_VOICE_GRANTED: role = 2; break;
            case PARLEY_EVENT_ROLE_MODERATOR: role = 3; break;
            case PARLEY_EVENT_ROLE_VISITOR: role = 1; break;
            case PARLEY_EVENT_ROLE_NONE: role = 0; break;
        }
        if (role >= 0) {
            // A moderator's tag reads ":ad" in these texts.
            if (code != PARLEY_EVENT_ROLE_VISITOR && code != PARLEY_EVENT_ROLE_NONE &&
                n.full.size() >= 3 && n.full.compare(n.full.size() - 3, 3, ":ad") == 0)
                role = 3;
            auto it = occupants.find(n.identifier);
            const bool known = it != occupants.end();
            const int before = known ? it->second.role : -1;
            occupants[n.identifier] = {n.display, role};
            if (own) {
                // The nickname the room gave us (it may differ from the one asked for).
                ownNick = untagged(n.full);
                if (!inRoom) {
                    inRoom = true;
                    history = !subjectSeen;
                    say("* you joined " + room + " as " + printable(n.display));
                    for (const std::string& line : pending) say("<" + printable(n.display) + "> " + printable(line));
                    pending.clear();
                    return;
                }
            }
            if (!known) {
                if (renamed.erase(n.identifier)) return;  // said already
                say(code == PARLEY_EVENT_OCCUPANT_LISTED ? "* " + who + " is in the room" : "* " + who + " joined");
                return;
            }
            if (role == before) return;  // a status change
            if (code == PARLEY_EVENT_MODERATOR_REVOKED) return say("* " + who + " is no longer a moderator");
            if (code == PARLEY_EVENT_VOICE_GRANTED) return say("* " + who + " may speak again");
            if (role == 3) return say("* " + who + " became a moderator");
            if (role == 1) return say("* " + who + " may no longer speak");
            if (role == 0) return say("* " + who + " has no role now");
            return;
        }
        occupants.erase(n.identifier);
        if (code == PARLEY_EVENT_NICK_CHANGED) {
            const Nickname to = splitNickname(field(text, "NEWNICKNAME", true));
            renamed[to.identifier] = to.full;
            if (own) ownNick = to.full;
            return say("* " + who + (own ? " are" : " is") + " now known as " + printable(to.display));
        }
        if (own) {
            inRoom = false;
            return say("* " + std::string(arg4 ? departure(arg4) : "you left the room"));
        }
        switch (code) {
            case PARLEY_EVENT_KICKED: return say("* " + who + " was kicked");
            case PARLEY_EVENT_BANNED: return say("* " + who + " was banned");
            case PARLEY_EVENT_AFFILIATION_CHANGED: return say("* " + who + " was removed (affiliation changed)");
            case PARLEY_EVENT_ROOM_DESTROYED: return say("* the room was destroyed");
        }
        say("* " + who + " left");
    }

    void who() {
        std::lock_guard<std::mutex> lock(mutex);
        std::printf("* %zu in the room\n", occupants.size());
        for (const auto& o : occupants) {
            const HostString id = toHost(o.first);
            // The member list's word on rank, not the texts'.
            const char* role = IsModerator(session, id.c_str())    ? "moderator"
                               : IsWriteBlock(session, id.c_str()) ? "visitor"
                                                                   : "participant";
            std::printf("  %-20s %-11s %-5s %s\n", printable(o.second.display).c_str(), role,
                        IsOwner(session, id.c_str()) ? "owner" : "-", o.first.c_str());
        }
        std::fflush(stdout);
    }

    // The identifier of the one occupant shown as name (or with that
    // identifier); empty, with a word to the user, when there is not one.
    std::string find(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> found;
        for (const auto& o : occupants)
            if (o.second.display == name) found.push_back(o.first);
        if (found.empty() && occupants.count(name)) found.push_back(name);
        if (found.size() == 1) return found[0];
        if (found.empty()) {
            say("* no one called " + printable(name) + " in the room (/who lists them)");
        } else {
            std::string ids;
            for (const std::string& id : found) ids += " " + id;
            say("* more than one called " + printable(name) + "; give the identifier:" + ids);
        }
        return {};
    }

    void moderate(const std::string& name, int32_t(PARLEY_CALL* action)(void*, const ParleyChar*)) {
        const std::string id = find(name);
        if (id.empty()) return;
        if (action(session, toHost(id).c_str())) return;
        std::lock_guard<std::mutex> lock(mutex);
        const auto twins = shared.find(id);
        if (twins != shared.end())
            say("* not sent: " + std::to_string(twins->second) + " occupants show the identifier of " + printable(name));
        else
            say("* " + printable(name) + " is not in the room");
    }

    void send(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!SetChatMessage(session, toHost(line).c_str())) {
            say("* not sent: you are not in the room");
            return;
        }
        // The room does not send our own lines back to us: shown once taken
        // while we are in the room, or once we are in it.
        if (inRoom)
            say("<" + printable(splitNickname(ownNick).display) + "> " + printable(line));
        else
            pending.push_back(line);
    }
};

bool option(const std::string& arg, const char* name, std::string& value) {
    const std::string prefix = std::string(name) + "=";
    if (arg.compare(0, prefix.size(), prefix) != 0) return false;
    value = arg.substr(prefix.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    std::string passwordFile, encryption = "password", resource = randomResource();
    bool registerFirst = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        std::string value;
        if (a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--register") {
            registerFirst = true;
        } else if (option(a, "--password-file", value)) {
            passwordFile = value;
        } else if (option(a, "--encryption", value)) {
            encryption = value;
        } else if (option(a, "--resource", value)) {
            resource = value;
        } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            std::fprintf(stderr, "parley-chat: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        } else {
            args.push_back(a);
        }
    }
    std::string password;
    bool havePassword = false;
    if (args.size() == 5) {
        // The old form: SERVER USER PASSWORD ROOM NICKNAME.
        std::fprintf(stderr,
                     "parley-chat: warning: a password on the command line can be read by every user of this "
                     "machine (ps); use --password-file or the prompt\n");
        password = args[2];
        havePassword = true;
        args.erase(args.begin() + 2);
    }
    const std::map<std::string, int32_t> policies = {{"required", PARLEY_ENCRYPTION_REQUIRED},
                                                     {"password", PARLEY_ENCRYPTION_PROTECT_PASSWORD},
                                                     {"plaintext", PARLEY_ENCRYPTION_ALLOW_PLAINTEXT}};
    if (args.size() != 4 || !policies.count(encryption)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    SetEncryptionPolicy(policies.at(encryption));

    Chat chat;
    const std::string account = args[1] + "@" + args[0];
    if (!havePassword) {
        if (!passwordFile.empty())
            havePassword = readPasswordFile(passwordFile, password);
        else if (stdinIsTerminal())
            havePassword = promptPassword(account, chat.input, password);
        else
            havePassword = chat.input.next(password);  // the first line
        if (!havePassword) {
            std::fprintf(stderr, "parley-chat: no password%s%s\n", passwordFile.empty() ? "" : " in ",
                         passwordFile.c_str());
            return 2;
        }
    }
    const HostString server = toHost(args[0]), user = toHost(args[1]), secret = toHost(password),
                     room = toHost(args[2]);
    chat.ownNick = args[3];
    chat.room = args[2] + "@conference." + args[0];

    if (registerFirst) {
        void* handle = SetRegistration(server.c_str(), user.c_str(), secret.c_str(), &chat, &Chat::callback);
        if (handle) WaitRegistration(handle, -1);
        std::lock_guard<std::mutex> lock(chat.mutex);
        if (chat.registration == PARLEY_EVENT_REGISTERED) {
            chat.say("* registered " + account);
        } else if (chat.registration == PARLEY_EVENT_REGISTRATION_CONFLICT) {
            chat.say("* " + account + " is registered already; logging in");
        } else {
            const std::string why = chat.registration ? disconnectReason(chat.registration - PARLEY_EVENT_DISCONNECTED)
                                                      : "the server refused it (PARLEY_LOG=warning may say why)";
            chat.say("* registration failed: " + why +
                     (chat.registration ? " (" + std::to_string(chat.registration) + ")" : std::string()));
            return 1;
        }
    }

    {
        // The callback may come before SetLogin returns: it waits for the session.
        std::lock_guard<std::mutex> lock(chat.mutex);
        chat.session = SetLogin(user.c_str(), secret.c_str(), room.c_str(), toHost(args[3]).c_str(), server.c_str(),
                                toHost(resource).c_str(), &chat, &Chat::callback);
        if (!chat.session) return 1;
        chat.say("* logging in as " + account + "/" + resource + "; type /help for the commands");
    }
    std::string line;
    while (!chat.over && chat.input.next(line)) {
        auto arg = [&](std::size_t skip) { return line.size() > skip ? line.substr(skip) : std::string(); };
        if (line == "/quit") break;
        if (line == "/help") {
            std::lock_guard<std::mutex> lock(chat.mutex);
            std::fputs(kHelp, stdout);
            std::fflush(stdout);
        } else if (line == "/who") {
            chat.who();
        } else if (line == "/destroy") {
            GetRoominfo(chat.session);
        } else if (line.rfind("/nick ", 0) == 0) {
            SetNickName(chat.session, toHost(arg(6)).c_str());
        } else if (line.rfind("/subject ", 0) == 0) {
            SetSubject(chat.session, toHost(arg(9)).c_str());
        } else if (line.rfind("/kick ", 0) == 0) {
            chat.moderate(arg(6), SetKick);
        } else if (line.rfind("/ban ", 0) == 0) {
            chat.moderate(arg(5), SetBan);
        } else if (line.rfind("/mod ", 0) == 0) {
            chat.moderate(arg(5), SetModerator);
        } else if (line.rfind("/voice ", 0) == 0) {
            chat.moderate(arg(7), SetCancel);
        } else if (line.rfind("/mute ", 0) == 0) {
            chat.moderate(arg(6), SetWriteBlock);
        } else if (line[0] == '/') {
            std::lock_guard<std::mutex> lock(chat.mutex);
            chat.say("* unknown command; /help lists them");
        } else if (!line.empty()) {
            chat.send(line);
        }
    }
    if (chat.over) {
        LibDelete(chat.session);  // the session ended by itself
        return 1;
    }
    GetLogOut(chat.session);
    return 0;
}

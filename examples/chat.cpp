// A small interactive client on the C interface, to try the library against
// any server.
//   parley-chat SERVER USER PASSWORD ROOM NICKNAME [--register]
// Lines typed are sent to the room; commands: /nick NAME, /subject TEXT,
// /kick ID, /ban ID, /mod ID, /voice ID, /mute ID, /who, /destroy, /quit.
// PARLEY_LOG=debug shows the protocol on standard error.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "HostEvents.h"
#include "parley.h"

namespace {
int32_t onEvent(void*, int32_t code, int32_t arg3, int32_t arg4, const TextBuffer* text) {
    std::printf("* %s\n", describe(code, arg3, arg4, text).c_str());
    std::fflush(stdout);
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s SERVER USER PASSWORD ROOM NICKNAME [--register]\n", argv[0]);
        return 2;
    }
    const auto server = toHost(argv[1]), user = toHost(argv[2]), password = toHost(argv[3]), room = toHost(argv[4]),
               nick = toHost(argv[5]);
    if (argc > 6 && std::strcmp(argv[6], "--register") == 0) {
        void* handle = SetRegistration(server.c_str(), user.c_str(), password.c_str(), nullptr, onEvent);
        if (handle) WaitRegistration(handle, -1);
    }
    void* session = SetLogin(user.c_str(), password.c_str(), room.c_str(), nick.c_str(), server.c_str(),
                             toHost("chat").c_str(), nullptr, onEvent);
    if (!session) return 1;
    std::string line;
    while (std::getline(std::cin, line)) {
        auto arg = [&](std::size_t skip) { return toHost(line.size() > skip ? line.substr(skip) : std::string()); };
        if (line == "/quit") break;
        if (line == "/who") {
            std::printf("* %d in the room\n", GetUserTotalCount(session));
        } else if (line == "/destroy") {
            GetRoominfo(session);
        } else if (line.rfind("/nick ", 0) == 0) {
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
        } else if (!line.empty()) {
            SetChatMessage(session, toHost(line).c_str());
        }
    }
    GetLogOut(session);
    return 0;
}

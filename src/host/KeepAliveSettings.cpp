#include "host/KeepAliveSettings.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/ClientBase.h"
#include "services/RoomLiveness.h"

namespace tern {

namespace {

// Milliseconds: digits only, at most a day; -1 otherwise.
int milliseconds(const std::string& text) {
    if (text.empty() || text.size() > 8 || text.find_first_not_of("0123456789") != std::string::npos) return -1;
    const long v = std::strtol(text.c_str(), nullptr, 10);
    return v <= 86400000 ? static_cast<int>(v) : -1;
}
}  // namespace

// The variable as comma-separated milliseconds: false (and a log line)
// when it is set but not that many of them.
bool millisecondsFrom(const char* name, std::size_t count, int* out, ClientBase& client, const char* form) {
    const char* value = std::getenv(name);
    if (!value || !*value) return false;
    std::string text(value);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t comma = text.find(',');
        out[i] = milliseconds(text.substr(0, comma));
        if (out[i] < 0 || (comma == std::string::npos) != (i + 1 == count)) {
            client.logInstance().log(LogWarning, LogAreaClientBase,
                                     std::string(name) + " is not " + form + "; keeping the defaults");
            return false;
        }
        text.erase(0, comma == std::string::npos ? text.size() : comma + 1);
    }
    return true;
}

void applyKeepAliveSettings(ClientBase& client) {
    int ms[2];
    if (millisecondsFrom("PARLEY_KEEPALIVE", 2, ms, client, "IDLE_MS,TIMEOUT_MS")) client.setKeepAlive(ms[0], ms[1]);
}

void applyRoomLivenessSettings(ClientBase& client, MUCRoom& room) {
    // The grace for occupants missing after a rejoin is optional.
    const char* value = std::getenv("PARLEY_ROOM_LIVENESS");
    const bool grace = value && std::count(value, value + std::strlen(value), ',') == 3;
    int ms[4] = {0, 0, 0, RoomLiveness::kReturnGraceMs};
    if (room.liveness() && millisecondsFrom("PARLEY_ROOM_LIVENESS", grace ? 4 : 3, ms, client,
                                            "JOIN_MS,QUIET_MS,PING_MS[,GRACE_MS]"))
        room.liveness()->setIntervals(ms[0], ms[1], ms[2], RoomLiveness::kRefusedRetryMs, ms[3]);
}

}  // namespace tern

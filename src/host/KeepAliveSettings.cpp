#include "host/KeepAliveSettings.h"

#include <cstdlib>
#include <string>

#include "client/ClientBase.h"

namespace tern {

namespace {
// Milliseconds: digits only, at most a day; -1 otherwise.
int milliseconds(const std::string& text) {
    if (text.empty() || text.size() > 8 || text.find_first_not_of("0123456789") != std::string::npos) return -1;
    const long v = std::strtol(text.c_str(), nullptr, 10);
    return v <= 86400000 ? static_cast<int>(v) : -1;
}
}  // namespace

void applyKeepAliveSettings(ClientBase& client) {
    const char* value = std::getenv("PARLEY_KEEPALIVE");
    if (!value || !*value) return;
    const std::string text(value);
    const std::size_t comma = text.find(',');
    const int idle = milliseconds(text.substr(0, comma));
    const int timeout = comma == std::string::npos ? -1 : milliseconds(text.substr(comma + 1));
    if (idle < 0 || timeout < 0) {
        client.logInstance().log(LogWarning, LogAreaClientBase,
                                 "PARLEY_KEEPALIVE is not IDLE_MS,TIMEOUT_MS; keeping the defaults");
        return;
    }
    client.setKeepAlive(idle, timeout);
}

}  // namespace tern

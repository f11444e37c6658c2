// The keepalive of host sessions: the engine's defaults, unless
// PARLEY_KEEPALIVE=IDLE_MS,TIMEOUT_MS in the environment says otherwise
// (for networks that drop idle connections sooner, and for tests).
#ifndef PARLEY_HOST_KEEPALIVESETTINGS_H
#define PARLEY_HOST_KEEPALIVESETTINGS_H

namespace tern {

class ClientBase;

void applyKeepAliveSettings(ClientBase& client);

}  // namespace tern

#endif

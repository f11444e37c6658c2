// The keepalive of host sessions: the engine's defaults, unless
// PARLEY_KEEPALIVE=IDLE_MS,TIMEOUT_MS in the environment says otherwise
// (for networks that drop idle connections sooner, and for tests); and the
// room's deadlines, which PARLEY_ROOM_LIVENESS=JOIN_MS,QUIET_MS,PING_MS[,GRACE_MS]
// shortens for tests.
#ifndef PARLEY_HOST_KEEPALIVESETTINGS_H
#define PARLEY_HOST_KEEPALIVESETTINGS_H

namespace tern {

class ClientBase;
class MUCRoom;

void applyKeepAliveSettings(ClientBase& client);
void applyRoomLivenessSettings(ClientBase& client, MUCRoom& room);

}  // namespace tern

#endif

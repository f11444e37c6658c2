// The end of a connection the client closes itself, without making anyone
// wait: what the stream still had to say (the rest of a write a stopping
// session cut short, a room's leave, the stream's close) goes out on a
// thread of its own once the peer takes it again, within a bound; then the
// end of the stream, and the socket closes once the peer has closed too (a
// close with unread data would reset the connection, and the peer could
// lose what we wrote). A server that was only slow thus hears us leave, and
// does not keep the session waiting for a resumption.
#ifndef TERN_TRANSPORT_LINGERINGCLOSE_H
#define TERN_TRANSPORT_LINGERINGCLOSE_H

#include <string>

#include "transport/Platform.h"

namespace tern {

// Takes the socket (closed when done) and the bytes still to write; returns
// at once. Within timeoutMs the bytes go out and the peer's end comes, or
// the socket closes regardless; the process's exit ends every such close
// at once.
void closeLingering(platform::SocketHandle socket, std::string unsent, int timeoutMs);

}  // namespace tern

#endif

// A stanza sent but not known to have reached the server: kept by stream
// management until acknowledged, and handed back when a session must be
// started afresh, so that whoever sent it can send it again where it belongs.
#ifndef TERN_CLIENT_PENDINGSTANZA_H
#define TERN_CLIENT_PENDINGSTANZA_H

#include <string>

namespace tern {

struct PendingStanza {
    std::string text;
    std::string logText;  // empty: the text itself; else a copy with its credentials redacted
    std::string name;     // message, presence, iq
    std::string to;       // its 'to', bare
    std::string id;       // its 'id'
    bool answered = false;  // a request its addressee has answered: never sent again
};

}  // namespace tern

#endif

// Drives tests/live/peer.py, a real slixmpp client, from a C++ test: one
// process per peer, JSON lines both ways. Live tests only (inside the test
// network namespace).
#ifndef PARLEY_TESTS_SUPPORT_PEER_H
#define PARLEY_TESTS_SUPPORT_PEER_H

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/TestEnv.h"

namespace testsupport {

// A flat JSON object: strings, numbers and booleans as text; arrays of
// strings joined by single blanks.
using Json = std::map<std::string, std::string>;
Json parseJsonObject(const std::string& line);
std::string jsonString(const std::string& s);

// A name unique to this test run, for accounts and rooms.
std::string uniqueName(const std::string& prefix);

class Peer {
public:
    // Registers an account in band: 0 created, 3 existed already, 1 failed.
    static int registerAccount(const std::string& jid, const std::string& password, int port = livePort());

    // Logs in and waits (bounded) until the peer is ready.
    Peer(const std::string& jid, const std::string& password, int port = livePort());
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool ready() const { return !fullJid_.empty(); }
    const std::string& jid() const { return fullJid_; }

    // Sends a command (fields as JSON text values already encoded) and
    // returns its answer; an empty object on time-out.
    Json command(const std::string& name, const std::map<std::string, std::string>& fields = {},
                 int timeoutMs = 15000);
    // The first event (so far or arriving within the time) that matches.
    Json waitEvent(const std::function<bool(const Json&)>& match, int timeoutMs = 15000);
    std::vector<Json> events() const { return events_; }

private:
    bool readLine(std::string& line, int timeoutMs);
    void pump(int timeoutMs);

    pid_t pid_ = -1;
    int toPeer_ = -1;
    int fromPeer_ = -1;
    std::string buffer_;
    std::vector<Json> events_;
    std::vector<Json> replies_;
    std::string fullJid_;
    int nextId_ = 1;
};

}  // namespace testsupport

#endif

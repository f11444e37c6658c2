// A scripted XMPP server on loopback for one client at a time: it completes
// a PLAIN login (bind, session, roster, private storage) by itself, answers
// a room join with what the test scripted, and otherwise lets the test send
// anything and wait for what the client sent. For wire cases a real server
// will not produce on request.
#ifndef PARLEY_TESTS_SUPPORT_XMPPTESTSERVER_H
#define PARLEY_TESTS_SUPPORT_XMPPTESTSERVER_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/ScramServer.h"
#include "xml/XmlParser.h"

namespace testsupport {

class XmppTestServer : public tern::XmlTagHandler {
public:
    // Listens on 127.0.0.1:port (0: any free port); with a domain, that
    // domain's client service is pinned to it in process while it lives.
    explicit XmppTestServer(int port = 0, std::string pinnedDomain = std::string());
    ~XmppTestServer() override;

    int port() const { return port_; }
    // Stanzas sent back, in order, when the client joins a room.
    void onJoin(std::vector<std::string> stanzas);
    // The roster's result waits until a room join has been answered: the
    // room's presences come first.
    void answerRosterAfterJoin() { rosterAfterJoin_ = true; }
    // SASL2 (SCRAM-SHA-256, password "pw") with Bind2 and stream
    // management inline, instead of classic SASL: the session can be
    // resumed inside <authenticate>.
    void offerSasl2() { sasl2_ = true; }
    // Sends raw text to the client (once connected).
    void send(const std::string& xml);
    // Drops the client with a TCP reset.
    void reset();
    // While paused nothing is read from the client (a server that stopped):
    // its writes fill the socket buffers.
    void setReading(bool reading) { reading_ = reading; }
    // Waits (bounded) for an element from the client whose serialisation
    // contains the fragment; returns it, or "" on time-out.
    std::string waitFor(const std::string& fragment, int timeoutMs = 10000);
    bool loggedIn() const { return loggedIn_; }
    std::vector<std::string> received() const;

    void handleXmlTag(tern::XmlTag* element) override;

private:
    void run();
    void write(const std::string& data);
    void dropClient(int fd);

    int listener_ = -1;
    int port_ = 0;
    std::string pinnedDomain_;
    // The client's socket; writeMutex_ keeps a close from racing a write
    // (the number could otherwise be reused under a late send).
    std::mutex writeMutex_;
    int client_ = -1;
    int stopPipe_[2] = {-1, -1};
    bool authed_ = false;
    std::atomic<bool> sasl2_{false};
    bool managed_ = false;     // stream management on for this connection
    bool resumable_ = false;   // a session that can be resumed (sm-fake)
    unsigned handled_ = 0;     // the client's stanzas since <enable/>
    bool resumeAsked_ = false;  // the <authenticate> under way resumes
    bool enableAsked_ = false;  // ... or enables stream management inside Bind2
    std::unique_ptr<ScramServer> scram_;
    std::atomic<bool> loggedIn_{false};
    std::vector<std::string> joinReply_;
    std::atomic<bool> rosterAfterJoin_{false};
    std::atomic<bool> reading_{true};
    std::string heldRoster_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> received_;
    std::thread thread_;
};

}  // namespace testsupport

#endif

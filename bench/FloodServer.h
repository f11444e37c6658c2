// A fake XMPP server on loopback for one client, for the receive-path
// benchmarks: it completes a PLAIN login, bind and session, offers stream
// management (XEP-0198), answers every other iq with an empty result, and
// once the client has sent its initial presence (or joined a room, answered
// with the room's self-presence) writes a pre-serialised block of messages
// as fast as the socket takes it, from a thread of its own so that the
// client's acknowledgements are read meanwhile. When the client enabled
// stream management, the block used asks for an acknowledgement every
// kAckEvery messages (see withAckRequests).
#ifndef PARLEY_BENCH_FLOODSERVER_H
#define PARLEY_BENCH_FLOODSERVER_H

#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "Loopback.h"
#include "xml/XmlParser.h"

namespace bench {

constexpr int kAckEvery = 100;

// The flood with an <r/> after every kAckEvery messages but the last (each
// message one top-level element, written one after another): a client that
// stops reading at its last message has answered every request.
inline std::string withAckRequests(const std::string& flood, const char* firstTag = "<message ") {
    std::string out;
    std::size_t at = 0;
    for (int n = 0;;) {
        const std::size_t next = flood.find(firstTag, at + 1);
        out.append(flood, at, next == std::string::npos ? std::string::npos : next - at);
        if (next == std::string::npos) return out;
        if (++n % kAckEvery == 0) out += "<r xmlns='urn:xmpp:sm:3'/>";
        at = next;
    }
}

inline void sendAll(int fd, const std::string& data) {
    for (std::size_t off = 0; off < data.size();) {
        const ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<std::size_t>(n);
    }
}

class FloodServer : public tern::XmlTagHandler {
public:
    struct Options {
        int port = 0;                                   // 0: any free port
        bool sink = false;                              // read and count what the client sends, no flood
        bool offerSm = true;
        bool floodOnRoomJoin = false;                   // rather than on the initial presence
        bool hold = false;                              // flood only once startFlood() is called too
        std::string boundJid = "bench@127.0.0.1/bench";
    };

    // Both blocks must outlive the server; floodWithAckRequests goes out
    // when the client enabled stream management.
    FloodServer(const std::string& flood, const std::string& floodWithAckRequests, int messages, Options options)
        : flood_(flood), floodWithAckRequests_(floodWithAckRequests), messages_(messages), options_(options) {
        port_ = options.port;
        listener_ = options.port ? bindPort(options.port) : listenOnLoopback(port_);
        thread_ = std::thread([this] { run(); });
    }
    ~FloodServer() override {
        if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);  // a client that never came
        finish();
        ::close(listener_);
    }
    int port() const { return port_; }
    bool listening() const { return listener_ >= 0; }
    // Waits until the client has gone and everything it sent is read.
    void finish() {
        if (thread_.joinable()) thread_.join();
        joinFlooder();
    }
    // With Options::hold: the flood goes out from now on (the client has
    // logged in, or joined its room, by now).
    void startFlood() {
        std::lock_guard<std::mutex> lock(floodMutex_);
        released_ = true;
        if (triggered_ && !launched_ && !options_.sink) launchFlood();
    }
    std::size_t sinkBytes() const { return sinkBytes_; }
    bool smEnabled() const { return smEnabled_; }
    int ackRequests() const { return smEnabled_ && flooded_ && !options_.sink ? (messages_ - 1) / kAckEvery : 0; }
    // Complete after finish().
    int acksReceived() const { return acks_; }

    void handleXmlTag(tern::XmlTag* e) override {
        const std::string& n = e->name();
        if (n == "stream:stream") {
            write("<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
                  "xmlns:stream='http://etherx.jabber.org/streams' id='bench' from='" +
                  e->getAttribute("to") + "' version='1.0'>");
            const std::string sm = options_.offerSm ? "<sm xmlns='urn:xmpp:sm:3'/>" : "";
            write(authed_ ? "<stream:features><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/><session "
                            "xmlns='urn:ietf:params:xml:ns:xmpp-session'/>" + sm + "</stream:features>"
                          : std::string("<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
                                        "<mechanism>PLAIN</mechanism></mechanisms></stream:features>"));
        } else if (n == "auth") {
            authed_ = true;
            write("<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>");
        } else if (n == "enable") {
            smEnabled_ = true;
            write("<enabled xmlns='urn:xmpp:sm:3' id='bench-sm' resume='true'/>");
        } else if (n == "r") {
            write("<a xmlns='urn:xmpp:sm:3' h='" + std::to_string(handled_) + "'/>");
        } else if (n == "a") {
            ++acks_;
        } else if (n == "iq") {
            if (smEnabled_) ++handled_;  // counting starts at <enable/>
            const std::string id = e->getAttribute("id");
            if (e->firstChild("bind"))
                write("<iq type='result' id='" + id + "'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><jid>" +
                      options_.boundJid + "</jid></bind></iq>");
            else if (const tern::XmlTag* q = e->firstChild("query"))
                write("<iq type='result' id='" + id + "'><query xmlns='" + q->getAttribute("xmlns") + "'/></iq>");
            else
                write("<iq type='result' id='" + id + "'/>");
        } else if (n == "presence" || n == "message") {
            if (smEnabled_) ++handled_;
            const std::string to = n == "presence" ? e->getAttribute("to") : std::string();
            if (!to.empty() && e->getAttribute("type").empty())  // a room join: the room says we are in
                write("<presence from='" + to + "' to='" + options_.boundJid +
                      "'><x xmlns='http://jabber.org/protocol/muc#user'><item affiliation='member' "
                      "role='participant' jid='" + options_.boundJid + "'/><status code='110'/></x></presence>");
            const bool trigger = n == "presence" && (options_.floodOnRoomJoin ? !to.empty() : to.empty());
            if (trigger && !flooded_) {
                flooded_ = true;
                std::lock_guard<std::mutex> lock(floodMutex_);
                triggered_ = true;
                if (!options_.sink && !launched_ && (released_ || !options_.hold)) launchFlood();
            }
        }
    }

private:
    static int bindPort(int port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = loopbackAddress(port);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 1) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    // Under floodMutex_.
    void launchFlood() {
        launched_ = true;
        const std::string& block = smEnabled_ ? floodWithAckRequests_ : flood_;
        flooder_ = std::thread([this, &block] { write(block); });
    }
    void joinFlooder() {
        std::thread t;
        {
            std::lock_guard<std::mutex> lock(floodMutex_);
            t.swap(flooder_);
        }
        if (t.joinable()) t.join();
    }

    // One writer at a time: the flood goes out whole, answers wait for it.
    void write(const std::string& data) {
        std::lock_guard<std::mutex> lock(writeMutex_);
        sendAll(client_, data);
    }

    void run() {
        if (listener_ < 0) return;
        client_ = ::accept(listener_, nullptr, nullptr);
        if (client_ < 0) return;
        int one = 1;  // header and features go out as two writes: no Nagle delay between them
        setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        tern::XmlParser parser(this);
        parser.setMaxElementSize(64 * 1024 * 1024);
        char buf[65536];
        for (;;) {
            const ssize_t n = ::recv(client_, buf, sizeof buf, 0);
            if (n <= 0) break;
            if (flooded_ && options_.sink) {
                sinkBytes_ += static_cast<std::size_t>(n);
                continue;
            }
            parser.feed(std::string_view(buf, static_cast<std::size_t>(n)));
        }
        joinFlooder();
        ::close(client_);
    }

    const std::string& flood_;
    const std::string& floodWithAckRequests_;
    int messages_;
    Options options_;
    int listener_ = -1;
    int client_ = -1;
    int port_ = 0;
    bool authed_ = false;
    std::atomic<bool> flooded_{false};
    std::atomic<bool> smEnabled_{false};
    std::uint32_t handled_ = 0;  // stanzas from the client, for <a h=''/>
    std::atomic<int> acks_{0};
    std::atomic<std::size_t> sinkBytes_{0};
    std::mutex writeMutex_;
    std::mutex floodMutex_;
    bool triggered_ = false;
    bool released_ = false;
    bool launched_ = false;
    std::thread flooder_;
    std::thread thread_;
};

}  // namespace bench

#endif

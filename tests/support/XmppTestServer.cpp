#include "support/XmppTestServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "transport/Resolver.h"

namespace testsupport {

namespace {
void sendAll(int fd, const std::string& data) {
    for (std::size_t off = 0; off < data.size();) {
        const ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<std::size_t>(n);
    }
}
}  // namespace

XmppTestServer::XmppTestServer(int port, std::string pinnedDomain) : pinnedDomain_(std::move(pinnedDomain)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("test server cannot bind port " + std::to_string(port));
    ::listen(listener_, 4);
    socklen_t len = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    if (pipe2(stopPipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (!pinnedDomain_.empty()) tern::pinClientService(pinnedDomain_, "127.0.0.1", port_);
    thread_ = std::thread([this] { run(); });
}

XmppTestServer::~XmppTestServer() {
    const char b = 1;
    (void)!::write(stopPipe_[1], &b, 1);
    thread_.join();
    if (!pinnedDomain_.empty()) tern::unpinClientService(pinnedDomain_);
    ::close(listener_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
}

void XmppTestServer::onJoin(std::vector<std::string> stanzas) {
    std::lock_guard<std::mutex> lock(mutex_);
    joinReply_ = std::move(stanzas);
}

void XmppTestServer::send(const std::string& xml) { write(xml); }

void XmppTestServer::write(const std::string& data) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (client_ >= 0) sendAll(client_, data);
}

void XmppTestServer::reset() {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (client_ < 0) return;
    const linger abort{1, 0};  // the close that follows sends a reset
    setsockopt(client_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::shutdown(client_, SHUT_RD);  // the serving loop reads the end and closes
    reading_ = true;
}

void XmppTestServer::dropClient(int fd) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    client_ = -1;
    ::close(fd);
}

std::vector<std::string> XmppTestServer::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::string XmppTestServer::waitFor(const std::string& fragment, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::string found;
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const std::string& r : received_)
            if (r.find(fragment) != std::string::npos) {
                found = r;
                return true;
            }
        return false;
    });
    return found;
}

void XmppTestServer::handleXmlTag(tern::XmlTag* e) {
    const std::string xml = e->serialize();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(xml);
    }
    cv_.notify_all();
    const std::string& n = e->name();
    const std::string id = e->getAttribute("id");
    const bool stanza = n == "message" || n == "presence" || n == "iq";
    if (stanza && managed_) ++handled_;
    if (n == "stream:stream" && sasl2_) {
        write("<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
              "xmlns:stream='http://etherx.jabber.org/streams' id='t" + std::to_string(port_) + "' from='" +
              e->getAttribute("to") + "' version='1.0'><stream:features><authentication xmlns='urn:xmpp:sasl:2'>"
              "<mechanism>SCRAM-SHA-256</mechanism><inline><bind xmlns='urn:xmpp:bind:0'><inline><feature "
              "var='urn:xmpp:sm:3'/></inline></bind><sm xmlns='urn:xmpp:sm:3'/></inline></authentication>"
              "</stream:features>");
    } else if (n == "authenticate") {
        resumeAsked_ = resumable_ && e->hasChild("resume", "xmlns", "urn:xmpp:sm:3");
        const tern::XmlTag* bind = e->firstChild("bind", "xmlns", "urn:xmpp:bind:0");
        enableAsked_ = bind && bind->hasChild("enable", "xmlns", "urn:xmpp:sm:3");
        scram_ = std::make_unique<ScramServer>(false, "pw");
        const tern::XmlTag* first = e->firstChild("initial-response");
        write("<challenge xmlns='urn:xmpp:sasl:2'>" +
              tern::base64Encode(scram_->first(tern::base64Decode(first ? first->text() : std::string()))) +
              "</challenge>");
    } else if (n == "response" && scram_) {
        // Resumed where the client asks and the session is there; bound otherwise.
        authed_ = true;
        const bool enabling = enableAsked_ && !resumeAsked_;
        managed_ = resumeAsked_ || enabling;
        if (enabling) {
            resumable_ = true;
            handled_ = 0;
        }
        write("<success xmlns='urn:xmpp:sasl:2'><additional-data>" +
              tern::base64Encode(scram_->final(tern::base64Decode(e->text()))) +
              "</additional-data><authorization-identifier>user@fake.test/r</authorization-identifier>" +
              (resumeAsked_ ? "<resumed xmlns='urn:xmpp:sm:3' previd='sm-fake' h='" + std::to_string(handled_) + "'/>"
               : enabling   ? std::string("<bound xmlns='urn:xmpp:bind:0'><enabled xmlns='urn:xmpp:sm:3' "
                                          "id='sm-fake' resume='true'/></bound>")
                            : std::string("<bound xmlns='urn:xmpp:bind:0'/>")) +
              "</success><stream:features><sm xmlns='urn:xmpp:sm:3'/></stream:features>");
        scram_.reset();
    } else if (n == "enable") {
        managed_ = resumable_ = true;
        handled_ = 0;
        write("<enabled xmlns='urn:xmpp:sm:3' id='sm-fake' resume='true'/>");
    } else if (n == "r") {
        write("<a xmlns='urn:xmpp:sm:3' h='" + std::to_string(handled_) + "'/>");
    } else if (n == "stream:stream") {
        write("<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
                   "xmlns:stream='http://etherx.jabber.org/streams' id='t" + std::to_string(port_) +
                       "' from='" + e->getAttribute("to") + "' version='1.0'>");
        write(authed_ ? "<stream:features><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/><session "
                             "xmlns='urn:ietf:params:xml:ns:xmpp-session'/></stream:features>"
                           : "<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><mechanism>PLAIN"
                             "</mechanism></mechanisms><register xmlns='http://jabber.org/features/iq-register'/>"
                             "</stream:features>");
    } else if (n == "auth") {
        authed_ = true;
        write("<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>");
    } else if (n == "iq" && xml.find("urn:ietf:params:xml:ns:xmpp-bind") != std::string::npos) {
        write("<iq type='result' id='" + id + "'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><jid>user@fake.test/r"
                   "</jid></bind></iq>");
    } else if (n == "iq" && xml.find("urn:ietf:params:xml:ns:xmpp-session") != std::string::npos) {
        write("<iq type='result' id='" + id + "'/>");
    } else if (n == "iq" && xml.find("jabber:iq:register") != std::string::npos) {
        if (e->getAttribute("type") == "get")
            write("<iq type='result' id='" + id + "'><query xmlns='jabber:iq:register'><username/><password/>"
                       "</query></iq>");
        else if (xml.find("<username>taken</username>") != std::string::npos)
            write("<iq type='error' id='" + id + "'><error type='cancel'><conflict "
                       "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>");
        else
            write("<iq type='result' id='" + id + "'/>");
    } else if (n == "iq" && xml.find("jabber:iq:roster") != std::string::npos) {
        const std::string result = "<iq type='result' id='" + id + "'><query xmlns='jabber:iq:roster'/></iq>";
        if (rosterAfterJoin_)
            heldRoster_ = result;
        else
            write(result);
    } else if (n == "iq" && xml.find("jabber:iq:private") != std::string::npos) {
        write("<iq type='result' id='" + id + "'><query xmlns='jabber:iq:private'/></iq>");
    } else if (n == "presence" && e->hasChild("x", "xmlns", "http://jabber.org/protocol/muc")) {
        std::vector<std::string> reply;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reply = joinReply_;
        }
        for (const std::string& s : reply) write(s);
        if (!heldRoster_.empty()) write(heldRoster_);
        heldRoster_.clear();
    } else if (n == "presence") {
        loggedIn_ = true;
    }
}

void XmppTestServer::run() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        const int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        int one = 1, small = 64 * 1024;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // A paused server holds little: the client's writes fill up soon.
        setsockopt(c, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        {
            std::lock_guard<std::mutex> lock(writeMutex_);
            client_ = c;
        }
        authed_ = managed_ = false;
        tern::XmlParser parser(this);
        char buf[4096];
        for (;;) {
            pollfd p[2] = {{c, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
            if (::poll(reading_ ? p : p + 1, reading_ ? 2 : 1, reading_ ? -1 : 20) < 0) continue;
            if (p[1].revents) {
                dropClient(c);
                return;
            }
            if (!reading_ || !p[0].revents) continue;
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            parser.feed(std::string_view(buf, static_cast<std::size_t>(n)));
        }
        dropClient(c);
    }
}

}  // namespace testsupport

#include "support/TlsRelay.h"

#include <fcntl.h>
#include <poll.h>

#include <regex>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "support/LoopbackSocket.h"

namespace testsupport {

namespace {

constexpr int kWaitMs = 5000;  // for any one read of the setup

bool sendAll(int fd, const std::string& data) { return testsupport::sendAll(fd, data.data(), data.size()); }

// Bytes from fd, waiting at most kWaitMs; empty at the end or on time-out.
std::string readSome(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kWaitMs) <= 0) return std::string();
    char buffer[16384];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// One end of the relay: a socket, with TLS over memory buffers once it is up.
struct End {
    int fd = -1;
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;

    ~End() {
        SSL_free(ssl);
        SSL_CTX_free(context);
        if (fd >= 0) ::close(fd);
    }
    bool flush() {
        std::string out;
        char buffer[16384];
        int n;
        while ((n = BIO_read(SSL_get_wbio(ssl), buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
        return out.empty() || sendAll(fd, out);
    }
    bool startTls(bool server, int maxVersion, const std::string& name) {
        if (!context) return false;
        if (maxVersion) SSL_CTX_set_max_proto_version(context, maxVersion);
        ssl = SSL_new(context);
        SSL_set_bio(ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
        if (server) {
            SSL_set_accept_state(ssl);
        } else {
            SSL_set_connect_state(ssl);
            SSL_set_tlsext_host_name(ssl, name.c_str());
        }
        for (int round = 0; round < 50; ++round) {
            ERR_clear_error();
            const int r = SSL_do_handshake(ssl);
            if (!flush()) return false;
            if (r == 1) return true;
            if (SSL_get_error(ssl, r) != SSL_ERROR_WANT_READ) return false;
            const std::string data = readSome(fd);
            if (data.empty()) return false;
            BIO_write(SSL_get_rbio(ssl), data.data(), static_cast<int>(data.size()));
        }
        return false;
    }
    // Plaintext from what arrived; false when the end has closed.
    bool receive(std::string& plain) {
        char buffer[16384];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        if (!ssl) {
            plain.append(buffer, static_cast<std::size_t>(n));
            return true;
        }
        BIO_write(SSL_get_rbio(ssl), buffer, static_cast<int>(n));
        return decrypted(plain);
    }
    // What TLS holds already: records that came with the end of the
    // handshake (TLS 1.3 lets the client write at once).
    bool decrypted(std::string& plain) {
        if (!ssl) return true;
        char buffer[16384];
        int r;
        while ((r = SSL_read(ssl, buffer, sizeof buffer)) > 0) plain.append(buffer, static_cast<std::size_t>(r));
        flush();  // key updates, alerts
        return SSL_get_error(ssl, r) == SSL_ERROR_WANT_READ;
    }
    bool send(const std::string& plain) {
        if (!ssl) return sendAll(fd, plain);
        return plain.empty() || (SSL_write(ssl, plain.data(), static_cast<int>(plain.size())) > 0 && flush());
    }
    // Plaintext up to and including the first occurrence of the marker.
    bool readUntil(const std::string& marker, std::string& got) {
        for (int i = 0; i < 20 && got.find(marker) == std::string::npos; ++i) {
            const std::string data = readSome(fd);
            if (data.empty()) return false;
            got += data;
        }
        return got.find(marker) != std::string::npos;
    }
};

const char* const kStreamOpen =
    "xmlns='jabber:client' xmlns:stream='http://etherx.jabber.org/streams' version='1.0'>";

// Towards the client: its header, our features with STARTTLS, its request.
bool answerStartTls(End& client, const std::string& domain) {
    std::string got;
    if (!client.readUntil("<stream:stream", got)) return false;
    got.erase(0, got.find("<stream:stream"));
    if (!client.readUntil(">", got)) return false;
    if (!sendAll(client.fd, "<?xml version='1.0'?><stream:stream id='relay' from='" + domain + "' " + kStreamOpen +
                                "<stream:features><starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'><required/>"
                                "</starttls></stream:features>"))
        return false;
    got.clear();
    return client.readUntil("starttls", got) && client.readUntil(">", got) &&
           sendAll(client.fd, "<proceed xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>");
}

// Towards the server: our header, its features, STARTTLS.
bool askStartTls(End& server, const std::string& domain) {
    std::string got;
    return sendAll(server.fd, "<?xml version='1.0'?><stream:stream to='" + domain + "' " + kStreamOpen) &&
           server.readUntil("</stream:features>", got) &&
           sendAll(server.fd, "<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>") &&
           server.readUntil("<proceed", got);
}

std::string withoutBinding(const std::string& features) {
    static const std::regex plus("<mechanism>[A-Z0-9-]+-PLUS</mechanism>");
    static const std::regex types("<sasl-channel-binding[^>]*>.*?</sasl-channel-binding>");
    return std::regex_replace(std::regex_replace(features, plus, ""), types, "");
}

}  // namespace

TlsRelay::TlsRelay(const Options& options) : options_(options) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) return;
    listener_ = listenOnLoopback(options.listenPort);
    if (listener_ >= 0) thread_ = std::thread([this] { acceptLoop(); });
}

TlsRelay::~TlsRelay() {
    stop_ = true;
    if (wake_[1] >= 0) (void)!::write(wake_[1], "x", 1);
    if (thread_.joinable()) thread_.join();
    for (std::thread& t : links_) t.join();
    if (listener_ >= 0) ::close(listener_);
    for (int fd : wake_)
        if (fd >= 0) ::close(fd);
}

std::vector<std::string> TlsRelay::firstClientWrites() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return firstWrites_;
}

void TlsRelay::acceptLoop() {
    while (!stop_) {
        pollfd p[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(p, 2, 200) <= 0 || !(p[0].revents & POLLIN)) continue;
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        const int number = ++accepted_;
        links_.emplace_back([this, client, number] { carry(client, number); });
    }
}

void TlsRelay::carry(int clientFd, int number) {
    End client, server;
    client.fd = clientFd;
    client.context = SSL_CTX_new(TLS_server_method());
    if (!client.context || SSL_CTX_use_certificate_chain_file(client.context, options_.certificateFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(client.context, options_.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        return;
    SSL_CTX_set_num_tickets(client.context, 0);
    server.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(options_.serverPort);
    if (::connect(server.fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return;
    if (options_.server != Way::Plain) {
        server.context = SSL_CTX_new(TLS_client_method());
        if (options_.server == Way::StartTls && !askStartTls(server, options_.domain)) return;
        if (!server.startTls(false, options_.serverMaxVersion, options_.domain)) return;
    }
    if (options_.client == Way::StartTls && !answerStartTls(client, options_.domain)) return;
    if (options_.client != Way::Plain && !client.startTls(true, options_.clientMaxVersion, options_.domain)) return;

    bool firstFromClient = true;
    // Only the server's first features inside TLS are changed.
    bool featuresSeen = !(options_.stripPlus || options_.rewrite) || number <= options_.faithfulConnections;
    std::string fromServer;  // held until the server's features are whole, when they are filtered
    bool early = true;       // once: what came with the end of the handshake
    while (!stop_) {
        pollfd p[3] = {{client.fd, POLLIN, 0}, {server.fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (!early && ::poll(p, 3, 200) <= 0) continue;
        if (p[2].revents) return;
        if (p[0].revents || early) {
            std::string plain;
            if (!(early ? client.decrypted(plain) : client.receive(plain))) return;
            early = false;
            if (firstFromClient && !plain.empty()) {
                firstFromClient = false;
                std::lock_guard<std::mutex> lock(mutex_);
                firstWrites_.push_back(plain);
            }
            if (!server.send(plain)) return;
        }
        if (p[1].revents) {
            std::string plain;
            const bool open = server.receive(plain);
            fromServer += plain;
            if (!featuresSeen) {
                const std::size_t end = fromServer.find("</stream:features>");
                if (end == std::string::npos && open) continue;
                featuresSeen = true;
                fromServer = options_.rewrite ? options_.rewrite(fromServer) : withoutBinding(fromServer);
            }
            if (!client.send(fromServer) || !open) return;
            fromServer.clear();
        }
    }
}

}  // namespace testsupport

// TLS through TLSDefault over loopback, against OpenSSL's own figures taken
// in the same run: record throughput both ways against `openssl speed` for
// the negotiated cipher, handshakes per second against `openssl s_time`
// on the same server, and (inside the test environment) the login time
// over STARTTLS with SCRAM-SHA-256 against plain TCP with PLAIN.
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "Loopback.h"
#include "client/Client.h"
#include "support/Listener.h"
#include "support/Peer.h"
#include "support/TlsFixtures.h"
#include "transport/TLSDefault.h"

using namespace tern;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kChunk = 16384;
constexpr long long kVolume = 256LL << 20;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double threadUserSeconds() {
    rusage u;
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

[[noreturn]] void failRun(const std::string& why) {
    std::fprintf(stderr, "tls_bench: %s\n", why.c_str());
    std::exit(1);
}

bool sendAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// The server: accepts connections one after another and, per connection,
// either swallows kVolume bytes, sends them, or only shakes hands.
class LoopbackServer {
public:
    enum Mode { Swallow, Send, HandshakeOnly };

    explicit LoopbackServer(const testsupport::Credential& leaf) {
        context_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(context_, leaf.cert.get());
        SSL_CTX_use_PrivateKey(context_, leaf.key.get());
        SSL_CTX_set_ciphersuites(context_, "TLS_AES_256_GCM_SHA384");
        SSL_CTX_set_num_tickets(context_, 0);
        listener_ = bench::listenOnLoopback(port_, 64);
        thread_ = std::thread([this] { run(); });
    }
    ~LoopbackServer() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
        SSL_CTX_free(context_);
    }
    int port() const { return port_; }
    std::atomic<Mode> mode{HandshakeOnly};
    std::atomic<long long> swallowed{0};

private:
    void run() {
        std::string chunk(kChunk, 'x');
        char buffer[kChunk];
        while (!stop_) {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) break;
            SSL* ssl = SSL_new(context_);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) == 1) {
                if (mode == Swallow) {
                    int n;
                    while ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0) swallowed += n;
                } else if (mode == Send) {
                    for (long long sent = 0; sent < kVolume; sent += kChunk)
                        if (SSL_write(ssl, chunk.data(), static_cast<int>(chunk.size())) <= 0) break;
                    SSL_read(ssl, buffer, 1);  // until the client closes
                } else {
                    SSL_read(ssl, buffer, sizeof buffer);  // s_time sends nothing and closes
                }
            }
            SSL_free(ssl);
            ::close(fd);
            ERR_clear_error();
        }
    }
    SSL_CTX* context_;
    int listener_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

// The client end: TLSDefault with a handler that writes to the socket.
struct TlsClient : TLSHandler {
    explicit TlsClient(int port, const std::string& caFile) : tls(this, "tls.test", TLSDefault::KindClient) {
        fd = bench::connectToLoopback(port);
        tls.setCACerts({caFile});
    }
    ~TlsClient() override {
        tls.cleanup();
        ::close(fd);
    }
    bool handshake() {
        if (!tls.handshake()) return false;
        char buffer[kChunk];
        while (!done) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return false;
            tls.decrypt(std::string(buffer, static_cast<std::size_t>(n)));
        }
        return ok;
    }
    void onEncrypted(TLSBase*, const std::string& data) override { sendAll(fd, data.data(), data.size()); }
    void onDecrypted(TLSBase*, const std::string& data) override { received += static_cast<long long>(data.size()); }
    void onHandshakeResult(TLSBase*, bool success, CertificateInfo& i) override {
        done = true;
        ok = success;
        info = i;
    }
    TLSDefault tls;
    int fd;
    bool done = false, ok = false;
    long long received = 0;
    CertificateInfo info;
};

// The first line a shell command prints, or "" when it prints none.
std::string firstLineOf(const std::string& command) {
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return std::string();
    char line[512] = {};
    const bool got = std::fgets(line, sizeof line, p) != nullptr;
    ::pclose(p);
    return got ? std::string(line) : std::string();
}

// "openssl speed" for the cipher at 16 KiB blocks, in bytes per second.
double opensslSpeed(const char* cipher) {
    const std::string output =
        firstLineOf(std::string("openssl speed -evp ") + cipher + " -bytes 16384 -seconds 2 2>/dev/null | tail -1");
    const char* line = output.c_str();
    const char* k = std::strrchr(line, 'k');
    const char* start = k;
    while (start > line && (std::isdigit(static_cast<unsigned char>(start[-1])) || start[-1] == '.')) --start;
    return k ? std::atof(std::string(start, k).c_str()) * 1000 : 0;
}

// "openssl s_time -new" against the server: handshakes per second.
double opensslHandshakes(int port, const std::string& caFile) {
    const std::string command = "openssl s_time -connect 127.0.0.1:" + std::to_string(port) + " -new -time 3 -CAfile " +
                                caFile + " 2>/dev/null | grep 'connections/user sec' | head -1";
    const std::string line = firstLineOf(command);
    // "N connections in Xs; Y connections/user sec, bytes read 0"
    const std::size_t semi = line.find(';');
    return semi == std::string::npos ? 0 : std::atof(line.c_str() + semi + 1);
}

// Wall-clock milliseconds from connect to connected, median of 15 logins.
double loginMs(const std::string& bare, const std::string& password, int mechanisms, const std::string& caFile,
               std::string* used) {
    std::vector<double> times;
    for (int i = 0; i < 15; ++i) {
        tern::Client c(JID(bare + "/bench"), password, -1);
        c.setSaslMechanisms(mechanisms);
        c.setEncryptionPolicy(tern::EncryptionAllowPlaintext);  // one of the logins is PLAIN on plain TCP
        c.setCACerts({caFile});
        testsupport::RecordingListener listener;
        c.addNetworkListener(&listener);
        const auto t0 = Clock::now();
        if (!c.connect(false)) return -1;
        while (!listener.has("connected") && c.receive(1000000) == NoError) {
        }
        const auto t1 = Clock::now();
        if (!listener.has("connected")) return -1;
        times.push_back(seconds(t0, t1) * 1e3);
        *used = (listener.has("tls") ? "STARTTLS+" : "TCP+") +
                std::string(c.selectedMechanism() == SaslPlain ? "PLAIN" : "SCRAM-SHA-256");
        c.disconnect();
    }
    return median(times);
}

}  // namespace

int main() {
    const testsupport::Credential authority = testsupport::makeAuthority("Bench CA");
    testsupport::CertificateSpec spec;
    spec.commonName = "tls.test";
    spec.dnsNames = {"tls.test"};
    const testsupport::Credential leaf = testsupport::issue(spec, &authority);
    const std::string caFile = authority.writePem("bench-ca");
    LoopbackServer server(leaf);

    // Record throughput, both ways, median of 3.
    std::vector<double> up, down;
    std::string negotiated;
    for (int run = 0; run < 3; ++run) {
        server.mode = LoopbackServer::Swallow;
        server.swallowed = 0;
        {
            TlsClient c(server.port(), caFile);
            if (!c.handshake()) failRun("handshake failed");
            negotiated = c.info.protocol + " " + c.info.cipher + " " + c.info.mac;
            const std::string chunk(kChunk, 'y');
            const auto t0 = Clock::now();
            for (long long sent = 0; sent < kVolume; sent += kChunk) c.tls.encrypt(chunk);
            ::shutdown(c.fd, SHUT_WR);
            const auto giveUp = Clock::now() + std::chrono::seconds(120);
            while (server.swallowed < kVolume && Clock::now() < giveUp)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            if (server.swallowed < kVolume) failRun("the server did not receive everything");
            up.push_back(kVolume / seconds(t0, Clock::now()));
        }
        server.mode = LoopbackServer::Send;
        {
            TlsClient c(server.port(), caFile);
            if (!c.handshake()) failRun("handshake failed");
            char buffer[4 * kChunk];
            const auto t0 = Clock::now();
            while (c.received < kVolume) {
                const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                c.tls.decrypt(std::string(buffer, static_cast<std::size_t>(n)));
            }
            if (c.received < kVolume) failRun("the client did not receive everything");
            down.push_back(c.received / seconds(t0, Clock::now()));
        }
    }
    const double speed = opensslSpeed("aes-256-gcm");
    if (speed <= 0) failRun("openssl speed gave no figure");
    std::printf("negotiated: %s; %lld MiB per direction in 16 KiB writes, loopback TCP\n", negotiated.c_str(),
                kVolume >> 20);
    std::printf("TLSDefault encrypt+send   %8.1f MB/s (median of 3)\n", median(up) / 1e6);
    std::printf("TLSDefault recv+decrypt   %8.1f MB/s (median of 3)\n", median(down) / 1e6);
    std::printf("openssl speed aes-256-gcm %8.1f MB/s (16 KiB blocks, cipher alone)\n", speed / 1e6);
    std::printf("tls_encrypt_vs_openssl_speed: %.2f\n", median(up) / speed);
    std::printf("tls_decrypt_vs_openssl_speed: %.2f\n", median(down) / speed);

    // Full handshakes per user-CPU second of the client, as s_time counts.
    server.mode = LoopbackServer::HandshakeOnly;
    int handshakes = 0;
    const auto h0 = Clock::now();
    const double cpu0 = threadUserSeconds();
    while (seconds(h0, Clock::now()) < 3) {
        TlsClient c(server.port(), caFile);
        if (!c.handshake()) failRun("handshake failed");
        ++handshakes;
    }
    const double ours = handshakes / (threadUserSeconds() - cpu0);
    const double theirs = opensslHandshakes(server.port(), caFile);
    if (theirs <= 0) failRun("openssl s_time gave no figure");
    std::printf("TLSDefault handshakes     %8.1f per user CPU second of the client\n", ours);
    std::printf("openssl s_time -new       %8.1f per user CPU second of s_time (same server)\n", theirs);
    std::printf("tls_handshakes_vs_s_time: %.2f\n", ours / theirs);

    if (!std::getenv("PARLEY_TESTENV")) {
        std::printf("(login times need the test environment: scripts/bench tls as root)\n");
        return 0;
    }
    const std::string tlsAccount = testsupport::uniqueName("b") + "@tls.test";
    const std::string plainAccount = testsupport::uniqueName("b") + "@example.test";
    if (testsupport::Peer::registerAccount(tlsAccount, "pw", 5232) != 0 ||
        testsupport::Peer::registerAccount(plainAccount, "pw", 5222) != 0) {
        std::fprintf(stderr, "could not register the accounts\n");
        return 1;
    }
    const char* ca = std::getenv("PARLEY_TEST_CA");
    // The two ends of the comparison, and the two steps between them.
    const struct {
        const std::string* account;
        int mechanisms;
    } logins[] = {{&tlsAccount, SaslScramSha256}, {&plainAccount, SaslPlain}, {&tlsAccount, SaslPlain},
                  {&plainAccount, SaslScramSha256}};
    double ms[4];
    for (int i = 0; i < 4; ++i) {
        std::string way;
        ms[i] = loginMs(*logins[i].account, "pw", logins[i].mechanisms, ca ? ca : "", &way);
        if (ms[i] < 0) failRun("a login to Prosody failed");
        std::printf("login %-22s %7.2f ms (median of 15, Prosody on loopback)\n", way.c_str(), ms[i]);
    }
    std::printf("login_tls_scram_vs_tcp_plain: %.2f\n", ms[0] / ms[1]);
    return 0;
}

// The whole receive path of the stream engine against libstrophe (used as a
// black box through its public API), side by side in one run: a small fake
// server on loopback completes a PLAIN login, then writes a pre-serialised
// block of groupchat messages as fast as the socket takes it; each client
// counts what reaches its message handler.
#include <netinet/tcp.h>
#include <strophe.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Loopback.h"
#include "StreamGenerator.h"
#include "client/Client.h"
#include "xml/XmlParser.h"

using namespace tern;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMessages = 100000;

double secondsBetween(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double threadCpuUs() {
    rusage u;
    getrusage(RUSAGE_THREAD, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

void sendAll(int fd, const std::string& data) {
    for (std::size_t off = 0; off < data.size();) {
        const ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<std::size_t>(n);
    }
}

// Plays the server for one client: PLAIN login, bind, session, answers to
// every other iq, then the flood once the initial presence arrives.
class FakeServer : public XmlTagHandler {
public:
    FakeServer(const std::string& flood, bool sink) : flood_(flood), sink_(sink) {
        listener_ = bench::listenOnLoopback(port_);
        thread_ = std::thread([this] { run(); });
    }
    ~FakeServer() override {
        thread_.join();
        ::close(listener_);
    }
    int port() const { return port_; }
    std::size_t sinkBytes() const { return sinkBytes_; }

    void handleXmlTag(XmlTag* e) override {
        const std::string& n = e->name();
        if (n == "stream:stream") {
            sendAll(client_, "<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
                             "xmlns:stream='http://etherx.jabber.org/streams' id='bench' from='127.0.0.1' "
                             "version='1.0'>");
            sendAll(client_, authed_ ? "<stream:features><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/><session "
                                       "xmlns='urn:ietf:params:xml:ns:xmpp-session'/></stream:features>"
                                     : "<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
                                       "<mechanism>PLAIN</mechanism></mechanisms></stream:features>");
        } else if (n == "auth") {
            authed_ = true;
            sendAll(client_, "<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>");
        } else if (n == "iq") {
            const std::string id = e->getAttribute("id");
            if (e->firstChild("bind"))
                sendAll(client_, "<iq type='result' id='" + id +
                                     "'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><jid>bench@127.0.0.1/bench"
                                     "</jid></bind></iq>");
            else if (const XmlTag* q = e->firstChild("query"))
                sendAll(client_, "<iq type='result' id='" + id + "'><query xmlns='" + q->getAttribute("xmlns") +
                                     "'/></iq>");
            else
                sendAll(client_, "<iq type='result' id='" + id + "'/>");
        } else if (n == "presence" && !flooded_) {
            flooded_ = true;
            if (!sink_) sendAll(client_, flood_);
        }
    }

private:
    void run() {
        client_ = ::accept(listener_, nullptr, nullptr);
        int one = 1;  // header and features go out as two writes: no Nagle delay between them
        setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        XmlParser parser(this);
        parser.setMaxElementSize(64 * 1024 * 1024);
        char buf[65536];
        for (;;) {
            const ssize_t n = ::recv(client_, buf, sizeof buf, 0);
            if (n <= 0) break;
            if (flooded_ && sink_) {
                sinkBytes_ += static_cast<std::size_t>(n);
                continue;
            }
            parser.feed(std::string_view(buf, static_cast<std::size_t>(n)));
        }
        ::close(client_);
    }

    std::string flood_;
    bool sink_;
    int listener_ = -1;
    int client_ = -1;
    int port_ = 0;
    bool authed_ = false;
    bool flooded_ = false;
    std::atomic<std::size_t> sinkBytes_{0};
    std::thread thread_;
};

struct Result {
    double loginMs = 0;
    double messagesPerSecond = 0;
    double cpuUsPerMessage = 0;
};

// ---- this library ------------------------------------------------------------

struct Counter : MessageSessionBase, NetworkListener {
    JID room{"4711@conference.example.test"};
    std::string none;
    std::atomic<int> count{0};
    std::atomic<bool> connected{false};
    const JID& target() const override { return room; }
    const std::string& threadId() const override { return none; }
    int types() const override { return MessageGroupchat; }
    void receiveMessage(Stanza* s) override {
        if (!s->body().empty()) ++count;
    }
    void handleConnected() override { connected = true; }
    void handleDisconnected(ConnectionError) override {}
    bool handleTlsConnected(const CertificateInfo&) override { return true; }
};

Result runOurs(const std::string& flood) {
    FakeServer server(flood, false);
    Result r;
    std::thread client([&] {
        Client c(JID("bench@127.0.0.1/bench"), "pw", server.port());
        auto* counter = new Counter;  // owned by the engine once added
        c.addMessageSession(counter);
        c.addNetworkListener(counter);
        const auto t0 = Clock::now();
        c.connect(false);
        while (!counter->connected && c.receive(100000) == NoError) {
        }
        const auto t1 = Clock::now();
        const double cpu0 = threadCpuUs();
        while (counter->count < kMessages && c.receive(100000) == NoError) {
        }
        const auto t2 = Clock::now();
        r.loginMs = secondsBetween(t0, t1) * 1e3;
        r.messagesPerSecond = counter->count / secondsBetween(t1, t2);
        r.cpuUsPerMessage = (threadCpuUs() - cpu0) / counter->count;
        c.removeNetworkListener(counter);
        c.disconnect();
    });
    client.join();
    return r;
}

// ---- libstrophe --------------------------------------------------------------

struct StropheState {
    int count = 0;
    bool connected = false;
    bool failed = false;
};

int onStropheMessage(xmpp_conn_t*, xmpp_stanza_t* stanza, void* ud) {
    auto* st = static_cast<StropheState*>(ud);
    if (xmpp_stanza_get_child_by_name(stanza, "body")) ++st->count;
    return 1;
}

void onStropheConnection(xmpp_conn_t* conn, xmpp_conn_event_t status, int, xmpp_stream_error_t*, void* ud) {
    auto* st = static_cast<StropheState*>(ud);
    if (status == XMPP_CONN_CONNECT) {
        xmpp_stanza_t* pres = xmpp_presence_new(xmpp_conn_get_context(conn));
        xmpp_send(conn, pres);
        xmpp_stanza_release(pres);
        st->connected = true;
    } else {
        st->failed = true;
    }
}

Result runStrophe(const std::string& flood) {
    FakeServer server(flood, false);
    Result r;
    std::thread client([&] {
        xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, nullptr);
        xmpp_conn_t* conn = xmpp_conn_new(ctx);
        xmpp_conn_set_flags(conn, XMPP_CONN_FLAG_DISABLE_TLS);
        xmpp_conn_set_jid(conn, "bench@127.0.0.1/bench");
        xmpp_conn_set_pass(conn, "pw");
        StropheState st;
        xmpp_handler_add(conn, onStropheMessage, nullptr, "message", nullptr, &st);
        const auto t0 = Clock::now();
        xmpp_connect_client(conn, "127.0.0.1", static_cast<unsigned short>(server.port()), onStropheConnection, &st);
        while (!st.connected && !st.failed) xmpp_run_once(ctx, 100);
        const auto t1 = Clock::now();
        const double cpu0 = threadCpuUs();
        while (st.count < kMessages && !st.failed) xmpp_run_once(ctx, 100);
        const auto t2 = Clock::now();
        r.loginMs = secondsBetween(t0, t1) * 1e3;
        r.messagesPerSecond = st.count / secondsBetween(t1, t2);
        r.cpuUsPerMessage = (threadCpuUs() - cpu0) / std::max(1, st.count);
        xmpp_disconnect(conn);
        for (int i = 0; i < 20; ++i) xmpp_run_once(ctx, 10);
        xmpp_conn_release(conn);
        xmpp_ctx_free(ctx);
    });
    client.join();
    return r;
}

// ---- sending ---------------------------------------------------------------------

double sendRate() {
    FakeServer server("", true);
    double rate = 0;
    std::thread client([&] {
        Client c(JID("bench@127.0.0.1/bench"), "pw", server.port());
        Counter listener;
        c.addNetworkListener(&listener);
        c.connect(false);
        while (!listener.connected && c.receive(100000) == NoError) {
        }
        bench::Rng rng(7);
        const auto t0 = Clock::now();
        for (int i = 0; i < kMessages; ++i) {
            XmlTag* m = new XmlTag("message");
            m->setAttribute("to", "4711@conference.example.test");
            m->setAttribute("type", "groupchat");
            new XmlTag(m, "body", bench::kBodies[rng.below(12)]);
            c.sendTag(m);
        }
        rate = kMessages / secondsBetween(t0, Clock::now());
        c.removeNetworkListener(&listener);
        c.disconnect();
    });
    client.join();
    return rate;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    xmpp_initialize();
    bench::Rng rng(11);
    std::string flood;
    for (int i = 0; i < kMessages; ++i) bench::appendGroupchat(flood, rng, i);
    std::printf("%d groupchat messages, %.1f bytes each on average, over loopback\n", kMessages,
                static_cast<double>(flood.size()) / kMessages);

    std::vector<double> oursRate, oursCpu, oursLogin, theirRate, theirCpu, theirLogin;
    if (argc > 1 && std::string(argv[1]) == "--ours-once") {  // for profilers
        std::printf("%.0f messages/s\n", runOurs(flood).messagesPerSecond);
        return 0;
    }
    for (int round = 0; round < 5; ++round) {
        const bool oursFirst = round % 2 == 0;
        for (int k = 0; k < 2; ++k) {
            const bool ours = (k == 0) == oursFirst;
            const Result r = ours ? runOurs(flood) : runStrophe(flood);
            (ours ? oursRate : theirRate).push_back(r.messagesPerSecond);
            (ours ? oursCpu : theirCpu).push_back(r.cpuUsPerMessage);
            (ours ? oursLogin : theirLogin).push_back(r.loginMs);
        }
    }
    std::printf("parley      %10.0f messages/s  %6.2f CPU us/message  login %.2f ms (medians of 5)\n",
                median(oursRate), median(oursCpu), median(oursLogin));
    std::printf("libstrophe  %10.0f messages/s  %6.2f CPU us/message  login %.2f ms (medians of 5)\n",
                median(theirRate), median(theirCpu), median(theirLogin));
    std::vector<double> sends;
    for (int i = 0; i < 3; ++i) sends.push_back(sendRate());
    std::printf("parley sends %10.0f groupchat messages/s serialised to a loopback sink (median of 3)\n", median(sends));
    std::printf("engine_vs_libstrophe: %.2f\n", median(oursRate) / median(theirRate));
    xmpp_shutdown();
    return 0;
}

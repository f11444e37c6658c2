// The whole receive path of the stream engine against libstrophe (used as a
// black box through its public API), side by side in one run: a small fake
// server on loopback completes a PLAIN login, offers stream management
// (XEP-0198), then writes a pre-serialised block of groupchat messages as
// fast as the socket takes it, asking for an acknowledgement every
// kAckEvery messages when the client enabled the feature; each client counts
// what reaches its message handler. This engine runs with stream management
// and without, both with its keepalive on (the default); libstrophe with
// TCP keepalive on, and stream management as it chooses by itself.
// A session that does not log in, or does not get every message (and answer
// every request for an acknowledgement) in time, ends the run with an error.
#include <strophe.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FloodServer.h"
#include "StreamGenerator.h"
#include "client/Client.h"
#include "client/StreamManagement.h"
#include "xml/XmlParser.h"

using namespace tern;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMessages = 100000;
using bench::FloodServer;
constexpr double kGiveUpSeconds = 60;

[[noreturn]] void failRun(const std::string& why) {
    std::fprintf(stderr, "engine_bench: %s\n", why.c_str());
    std::exit(1);
}

double secondsBetween(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double threadCpuUs() {
    rusage u;
    getrusage(RUSAGE_THREAD, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

struct Result {
    double loginMs = 0;
    double messagesPerSecond = 0;
    double cpuUsPerMessage = 0;
    bool smEnabled = false;
};

// Ends the run unless the session logged in, got every message and, with
// stream management, answered every request for an acknowledgement.
void check(const char* who, bool connected, int count, const FloodServer& server, bool wantSm) {
    if (!connected) failRun(std::string(who) + ": the login did not complete");
    if (count < kMessages)
        failRun(std::string(who) + ": " + std::to_string(count) + " of " + std::to_string(kMessages) +
                " messages arrived");
    if (wantSm && !server.smEnabled()) failRun(std::string(who) + ": stream management was not enabled");
    if (server.acksReceived() != server.ackRequests())
        failRun(std::string(who) + ": " + std::to_string(server.acksReceived()) + " of " +
                std::to_string(server.ackRequests()) + " requests for an acknowledgement answered");
}

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
        if (!s->bodyText().empty()) ++count;  // read in place, as libstrophe's handler finds its child
    }
    void handleConnected() override { connected = true; }
    void handleDisconnected(ConnectionError) override {}
    bool handleTlsConnected(const CertificateInfo&) override { return true; }
};

// Receives until done() or the time is up; false when the stream ended.
template <class Done>
bool receiveUntil(Client& c, Done done) {
    const auto giveUp = Clock::now() + std::chrono::duration<double>(kGiveUpSeconds);
    while (!done()) {
        if (c.receive(100000) != NoError || Clock::now() > giveUp) return false;
    }
    return true;
}

Result runOurs(const std::string& flood, const std::string& floodWithAckRequests, bool sm) {
    FloodServer server(flood, floodWithAckRequests, kMessages, {});
    Result r;
    bool connected = false;
    int count = 0;
    std::thread client([&] {
        Client c(JID("bench@127.0.0.1/bench"), "pw", server.port());
        c.setEncryptionPolicy(EncryptionAllowPlaintext);  // the fake server speaks PLAIN on plain TCP
        c.streamManagement()->setWanted(sm);
        auto* counter = new Counter;  // owned by the engine once added
        c.addMessageSession(counter);
        c.addNetworkListener(counter);
        const auto t0 = Clock::now();
        c.connect(false);
        connected = receiveUntil(c, [&] { return counter->connected.load(); });
        const auto t1 = Clock::now();
        const double cpu0 = threadCpuUs();
        if (connected) receiveUntil(c, [&] { return counter->count >= kMessages; });
        const auto t2 = Clock::now();
        count = counter->count;
        r.loginMs = secondsBetween(t0, t1) * 1e3;
        r.messagesPerSecond = count / secondsBetween(t1, t2);
        r.cpuUsPerMessage = (threadCpuUs() - cpu0) / std::max(1, count);
        c.removeNetworkListener(counter);
        c.disconnect();
    });
    client.join();
    server.finish();
    check(sm ? "parley, stream management on" : "parley, stream management off", connected, count, server, sm);
    if (!sm && server.smEnabled()) failRun("parley enabled stream management when told not to");
    r.smEnabled = server.smEnabled();
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

Result runStrophe(const std::string& flood, const std::string& floodWithAckRequests) {
    FloodServer server(flood, floodWithAckRequests, kMessages, {});
    Result r;
    StropheState st;
    std::thread client([&] {
        xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, nullptr);
        xmpp_conn_t* conn = xmpp_conn_new(ctx);
        xmpp_conn_set_flags(conn, XMPP_CONN_FLAG_DISABLE_TLS);
        xmpp_conn_set_sockopt_callback(conn, xmpp_sockopt_cb_keepalive);  // its TCP keepalive
        xmpp_conn_set_jid(conn, "bench@127.0.0.1/bench");
        xmpp_conn_set_pass(conn, "pw");
        xmpp_handler_add(conn, onStropheMessage, nullptr, "message", nullptr, &st);
        const auto giveUp = Clock::now() + std::chrono::duration<double>(kGiveUpSeconds);
        const auto t0 = Clock::now();
        xmpp_connect_client(conn, "127.0.0.1", static_cast<unsigned short>(server.port()), onStropheConnection, &st);
        while (!st.connected && !st.failed && Clock::now() < giveUp) xmpp_run_once(ctx, 100);
        const auto t1 = Clock::now();
        const double cpu0 = threadCpuUs();
        while (st.connected && st.count < kMessages && !st.failed && Clock::now() < giveUp) xmpp_run_once(ctx, 100);
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
    server.finish();
    check("libstrophe", st.connected, st.count, server, false);
    r.smEnabled = server.smEnabled();
    return r;
}

// ---- sending ---------------------------------------------------------------------

double sendRate() {
    const std::string none;
    // Without stream management: nothing answers the sink's side.
    FloodServer::Options options;
    options.sink = true;
    options.offerSm = false;
    FloodServer server(none, none, kMessages, options);
    double rate = 0;
    bool connected = false;
    std::thread client([&] {
        Client c(JID("bench@127.0.0.1/bench"), "pw", server.port());
        c.setEncryptionPolicy(EncryptionAllowPlaintext);
        Counter listener;
        c.addNetworkListener(&listener);
        c.connect(false);
        connected = receiveUntil(c, [&] { return listener.connected.load(); });
        if (!connected) return;
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
    server.finish();
    if (!connected) failRun("sending: the login did not complete");
    // Every message must have reached the sink (each is well over 60 bytes).
    if (server.sinkBytes() < static_cast<std::size_t>(kMessages) * 60)
        failRun("sending: only " + std::to_string(server.sinkBytes()) + " bytes reached the sink");
    return rate;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Series {
    const char* name;
    std::vector<double> rate, cpu, login;
    bool smEnabled = false;
    void add(const Result& r) {
        rate.push_back(r.messagesPerSecond);
        cpu.push_back(r.cpuUsPerMessage);
        login.push_back(r.loginMs);
        smEnabled = r.smEnabled;
    }
    void print() const {
        std::printf("%-36s %9.0f messages/s  %6.2f CPU us/message  login %.2f ms (medians of %zu)\n", name,
                    median(rate), median(cpu), median(login), rate.size());
    }
};

}  // namespace

int main(int argc, char** argv) {
    xmpp_initialize();
    bench::Rng rng(11);
    std::string flood;
    for (int i = 0; i < kMessages; ++i) bench::appendGroupchat(flood, rng, i);
    const std::string floodWithAckRequests = bench::withAckRequests(flood);
    std::printf("%d groupchat messages, %.1f bytes each on average, over loopback; with stream management the "
                "server asks for an acknowledgement every %d\n",
                kMessages, static_cast<double>(flood.size()) / kMessages, bench::kAckEvery);

    if (argc > 1 && std::string(argv[1]) == "--ours-once") {  // for profilers
        std::printf("%.0f messages/s\n", runOurs(flood, floodWithAckRequests, true).messagesPerSecond);
        return 0;
    }
    Series smOn{"parley, stream management on", {}, {}, {}};
    Series smOff{"parley, stream management off", {}, {}, {}};
    Series strophe{"libstrophe", {}, {}, {}};
    for (int round = 0; round < 5; ++round) {
        // Each takes every place in the order in turn.
        for (int k = 0; k < 3; ++k) {
            switch ((k + round) % 3) {
                case 0: smOn.add(runOurs(flood, floodWithAckRequests, true)); break;
                case 1: smOff.add(runOurs(flood, floodWithAckRequests, false)); break;
                default: strophe.add(runStrophe(flood, floodWithAckRequests)); break;
            }
        }
    }
    std::printf("keepalive on in all; libstrophe %s stream management by itself\n",
                strophe.smEnabled ? "enabled" : "did not enable");
    smOn.print();
    smOff.print();
    strophe.print();
    std::vector<double> sends;
    for (int i = 0; i < 3; ++i) sends.push_back(sendRate());
    std::printf("parley sends %10.0f groupchat messages/s serialised to a loopback sink (median of 3)\n", median(sends));
    const double theirRate = median(strophe.rate), theirCpu = median(strophe.cpu);
    std::printf("engine_sm_off_vs_libstrophe: %.2f messages/s, %.2f CPU per message\n", median(smOff.rate) / theirRate,
                median(smOff.cpu) / theirCpu);
    std::printf("engine_cpu_vs_libstrophe: %.2f\n", median(smOn.cpu) / theirCpu);
    std::printf("engine_vs_libstrophe: %.2f\n", median(smOn.rate) / theirRate);
    xmpp_shutdown();
    return 0;
}

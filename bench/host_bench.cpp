// The host session at rest and under load, in the test network namespace:
// - the CPU an idle connected session burns over 10 s, against the 10-us
//   polling receive loop in the same run;
// - how long GetLogOut takes for an idle session in its room, against
//   libstrophe leaving the room and disconnecting, both through the same
//   pass-through proxy to Prosody with stream management offered;
// - group-chat messages per second from a slixmpp peer through Prosody to
//   the host callback, and the CPU the session's thread spends per message:
//   with stream management (smacks.test) and without (nosm.test), keepalive
//   on (the default), against libstrophe (used as a black box through its
//   public API; TCP keepalive on, stream management as it chooses) receiving
//   the same flood on the same path, in the same run.
// A session that does not log in, get into its room or receive every
// message ends the run with an error.
#include <dirent.h>
#include <strophe.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FloodServer.h"
#include "StreamGenerator.h"
#include "client/Client.h"
#include "parley.h"
#include "support/FaultProxy.h"
#include "support/HostRecorder.h"
#include "support/Peer.h"
#include "support/XmppTestServer.h"

using namespace tern;
using Clock = std::chrono::steady_clock;
using testsupport::P;

namespace {

constexpr int kFlood = 20000;         // through Prosody
constexpr int kScriptedFlood = 50000;  // from the scripted server
constexpr int kLogouts = 5;
constexpr int kSmProxyPort = 5260;    // smacks.test's SRV port: Prosody with stream management
constexpr int kNoSmProxyPort = 5261;  // nosm.test's: the same Prosody without it

[[noreturn]] void failRun(const std::string& why) {
    std::fprintf(stderr, "host_bench: %s\n", why.c_str());
    std::exit(1);
}

double processCpuMs() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// The CPU time of one thread of this process, by its kernel id, in ms.
double threadCpuMs(pid_t tid) {
    // The kernel's per-thread scheduler clock: ~tid << 3 | CPUCLOCK_PERTHREAD | CPUCLOCK_SCHED.
    const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6u);
    timespec t{};
    if (clock_gettime(clock, &t) != 0) failRun("cannot read the CPU clock of thread " + std::to_string(tid));
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

std::set<pid_t> threadsOfProcess() {
    std::set<pid_t> out;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') out.insert(static_cast<pid_t>(std::atoi(e->d_name)));
        closedir(d);
    }
    return out;
}

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }
double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
std::u16string wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

const std::u16string kNick = u"Bench00000000-1111-2222-3333-444444444444:us";
const std::string kPeerNick = "Flood0000000-1111-2222-3333-444444444444:us";

struct Counter {
    std::atomic<int> chat{0};
    std::atomic<bool> present{false};
    std::atomic<bool> disconnected{false};
    static int32_t callback(void* c, int32_t code, int32_t, int32_t, const TextBuffer*) {
        auto* self = static_cast<Counter*>(c);
        if (code == PARLEY_EVENT_CHAT_MESSAGE || code == PARLEY_EVENT_TAGGED_MESSAGE ||
            code == PARLEY_EVENT_CONTROL_MESSAGE)
            ++self->chat;
        if (code == PARLEY_EVENT_OCCUPANT_PRESENT) self->present = true;
        if (code >= PARLEY_EVENT_DISCONNECTED && code <= PARLEY_EVENT_DISCONNECTED + 18) self->disconnected = true;
        return 0;
    }
};

// A host session in its room; the session's thread is found by its arrival.
struct HostSession {
    void* session = nullptr;
    pid_t thread = 0;
};

HostSession login(Counter& counter, const std::u16string& server, const std::u16string& user,
                  const std::u16string& room) {
    HostSession s;
    const std::set<pid_t> before = threadsOfProcess();
    s.session = SetLogin(P(user.c_str()), P(u"pw"), P(room.c_str()), P(kNick.c_str()), P(server.c_str()), P(u"bench"),
                         &counter, &Counter::callback);
    if (!s.session) failRun("SetLogin made no session");
    for (int i = 0; i < 1000 && !counter.present && !counter.disconnected; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!counter.present)
        failRun("the session of " + testsupport::toUtf8(user) + "@" + testsupport::toUtf8(server) +
                " did not get into its room");
    // Counted once in the room: the name lookup's short-lived thread is gone by then.
    for (pid_t t : threadsOfProcess()) {
        if (before.count(t)) continue;
        if (s.thread) failRun("SetLogin left more than one thread running");
        s.thread = t;
    }
    return s;
}

std::string registered(const std::string& prefix, const std::string& domain) {
    const std::string user = testsupport::uniqueName(prefix);
    if (testsupport::Peer::registerAccount(user + "@" + domain, "pw") == 1)
        failRun("could not register " + user + "@" + domain);
    return user;
}

// ---- libstrophe ----------------------------------------------------------------

struct StropheSession {
    std::string room;  // room@service/nick, our own occupant address
    std::atomic<int> chat{0};
    std::atomic<bool> inRoom{false};
    std::atomic<bool> ended{false};
    std::atomic<bool> failed{false};
    xmpp_ctx_t* ctx = nullptr;
    xmpp_conn_t* conn = nullptr;
};

int onStropheMessage(xmpp_conn_t*, xmpp_stanza_t* stanza, void* ud) {
    auto* s = static_cast<StropheSession*>(ud);
    const char* type = xmpp_stanza_get_type(stanza);
    if (type && std::string(type) == "groupchat" && xmpp_stanza_get_child_by_name(stanza, "body")) ++s->chat;
    return 1;
}

int onStrophePresence(xmpp_conn_t*, xmpp_stanza_t* stanza, void* ud) {
    auto* s = static_cast<StropheSession*>(ud);
    const char* from = xmpp_stanza_get_from(stanza);
    if (from && s->room == from) s->inRoom = true;
    return 1;
}

void sendPresence(StropheSession* s, const char* to, const char* type) {
    xmpp_stanza_t* pres = xmpp_presence_new(s->ctx);
    if (to) xmpp_stanza_set_to(pres, to);
    if (type) xmpp_stanza_set_type(pres, type);
    if (to && !type) {
        xmpp_stanza_t* x = xmpp_stanza_new(s->ctx);
        xmpp_stanza_set_name(x, "x");
        xmpp_stanza_set_ns(x, "http://jabber.org/protocol/muc");
        xmpp_stanza_add_child(pres, x);
        xmpp_stanza_release(x);
    }
    xmpp_send(s->conn, pres);
    xmpp_stanza_release(pres);
}

void onStropheConnection(xmpp_conn_t*, xmpp_conn_event_t status, int, xmpp_stream_error_t*, void* ud) {
    auto* s = static_cast<StropheSession*>(ud);
    if (status == XMPP_CONN_CONNECT) {
        sendPresence(s, nullptr, nullptr);
        sendPresence(s, s->room.c_str(), nullptr);
    } else {
        if (!s->inRoom) s->failed = true;
        s->ended = true;
    }
}

// Logs in as jid through the proxy on port and joins room@service as nick.
void stropheLogin(StropheSession& s, const std::string& jid, int port, const std::string& room) {
    s.room = room + "/" + testsupport::toUtf8(kNick);
    s.ctx = xmpp_ctx_new(nullptr, nullptr);
    s.conn = xmpp_conn_new(s.ctx);
    xmpp_conn_set_flags(s.conn, XMPP_CONN_FLAG_DISABLE_TLS);
    xmpp_conn_set_sockopt_callback(s.conn, xmpp_sockopt_cb_keepalive);  // its TCP keepalive
    xmpp_conn_set_jid(s.conn, (jid + "/strophe").c_str());
    xmpp_conn_set_pass(s.conn, "pw");
    xmpp_handler_add(s.conn, onStropheMessage, nullptr, "message", nullptr, &s);
    xmpp_handler_add(s.conn, onStrophePresence, nullptr, "presence", nullptr, &s);
    xmpp_connect_client(s.conn, "127.0.0.1", static_cast<unsigned short>(port), onStropheConnection, &s);
    for (int i = 0; i < 1000 && !s.inRoom && !s.failed; ++i) xmpp_run_once(s.ctx, 10);
    if (!s.inRoom) failRun("libstrophe's session of " + jid + " did not get into its room");
}

void stropheRelease(StropheSession& s) {
    xmpp_conn_release(s.conn);
    xmpp_ctx_free(s.ctx);
}

// ---- log out of an idle session -------------------------------------------------

double parleyLogoutMs() {
    const std::string user = registered("bl", "smacks.test");
    Counter counter;
    const HostSession s = login(counter, u"smacks.test", wide(user), wide(testsupport::uniqueName("idle")));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto t0 = Clock::now();
    GetLogOut(s.session);
    return seconds(t0, Clock::now()) * 1e3;
}

// Leaving the room and disconnecting until libstrophe reports the end.
double stropheLogoutMs() {
    const std::string user = registered("sl", "smacks.test");
    StropheSession s;
    stropheLogin(s, user + "@smacks.test", kSmProxyPort, testsupport::uniqueName("idle") + "@conference.smacks.test");
    for (const auto idleUntil = Clock::now() + std::chrono::seconds(1); Clock::now() < idleUntil;)
        xmpp_run_once(s.ctx, 50);
    const auto t0 = Clock::now();
    sendPresence(&s, s.room.c_str(), "unavailable");
    xmpp_disconnect(s.conn);
    for (int i = 0; i < 5000 && !s.ended; ++i) xmpp_run_once(s.ctx, 1);
    stropheRelease(s);
    const double ms = seconds(t0, Clock::now()) * 1e3;
    if (!s.ended) failRun("libstrophe did not finish disconnecting");
    return ms;
}

// ---- a flood from a peer through Prosody ------------------------------------------

struct FloodFigures {
    double messagesPerSecond;
    double cpuUsPerMessage;
};

// A peer on the domain joins room@conference.domain and floods it; returns
// when it has sent everything.
struct Flooder {
    testsupport::Peer peer;
    std::string room;
    Flooder(const std::string& domain, const std::string& roomName)
        : peer(registered("bp", domain) + "@" + domain + "/py", "pw"), room(roomName + "@conference." + domain) {
        if (!peer.ready()) failRun("the flooding peer did not log in to " + domain);
        if (peer.command("join", {{"room", room}, {"nick", kPeerNick}}).empty())
            failRun("the flooding peer did not join " + room);
    }
    void flood() {
        if (peer.command("flood", {{"room", room}, {"count", std::to_string(kFlood)}}, 180000).empty())
            failRun("the peer did not finish its flood of " + room);
    }
};

// Whether the library's log said stream management was enabled.
std::atomic<bool> g_smEnabled{false};
void watchLog(void*, int32_t, int32_t, const TextBuffer* line) {
    if (line && testsupport::toUtf8(std::u16string(reinterpret_cast<const char16_t*>(line->text),
                                                   static_cast<std::size_t>(line->length)))
                        .find("stream management enabled") != std::string::npos)
        g_smEnabled = true;
}

// Starts a flood and waits, at most a minute, until done(): the wall time
// and the receiving thread's CPU from the start.
struct FloodTimes {
    double secs, cpuMs;
};
template <typename Start, typename Done>
FloodTimes timeFlood(pid_t thread, Start&& start, Done&& done) {
    const auto t0 = Clock::now();
    const double cpu0 = threadCpuMs(thread);
    start();
    for (int i = 0; i < 60000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return {seconds(t0, Clock::now()), threadCpuMs(thread) - cpu0};
}

FloodFigures parleyFlood(const char* domain, bool sm) {
    const std::string user = registered("bh", domain);
    const std::string roomName = testsupport::uniqueName("flood");
    Counter counter;
    g_smEnabled = false;
    SetLogCallback(&watchLog, nullptr, 0);  // only while logging in: debug lines cost
    const HostSession s = login(counter, wide(domain), wide(user), wide(roomName));
    SetLogCallback(nullptr, nullptr, 0);
    if (!s.thread) failRun("cannot tell the session's thread");
    if (g_smEnabled != sm)
        failRun(std::string("parley on ") + domain + ": stream management " + (sm ? "not enabled" : "enabled"));
    Flooder flooder(domain, roomName);
    const FloodTimes t = timeFlood(s.thread, [&] { flooder.flood(); },
                                   [&] { return counter.chat >= kFlood || counter.disconnected; });
    const int got = counter.chat;
    GetLogOut(s.session);
    if (got != kFlood)
        failRun(std::string("parley on ") + domain + ": " + std::to_string(got) + " of " + std::to_string(kFlood) +
                " messages reached the callback");
    return {got / t.secs, t.cpuMs * 1e3 / got};
}

FloodFigures stropheFlood(const char* domain, int port) {
    const std::string user = registered("bs", domain);
    const std::string roomName = testsupport::uniqueName("flood");
    StropheSession s;
    std::atomic<pid_t> tid{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> ready{false};
    std::thread loop([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        stropheLogin(s, user + "@" + domain, port, roomName + "@conference." + domain);
        ready = true;
        while (!stop && !s.ended) xmpp_run_once(s.ctx, 10);
        xmpp_disconnect(s.conn);
        for (int i = 0; i < 200 && !s.ended; ++i) xmpp_run_once(s.ctx, 10);
        stropheRelease(s);
    });
    while (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Flooder flooder(domain, roomName);
    const FloodTimes t = timeFlood(tid, [&] { flooder.flood(); }, [&] { return s.chat >= kFlood || s.ended; });
    const int got = s.chat;
    stop = true;
    loop.join();
    if (got != kFlood)
        failRun(std::string("libstrophe on ") + domain + ": " + std::to_string(got) + " of " + std::to_string(kFlood) +
                " messages arrived");
    return {got / t.secs, t.cpuMs * 1e3 / got};
}


// ---- a flood from the scripted server: the receiving session is the bottleneck ----

FloodFigures parleyScriptedFlood(const std::string& flood, const std::string& floodWithAckRequests, bool sm) {
    bench::FloodServer::Options options;
    options.port = 15300;  // fake.test's SRV port
    options.floodOnRoomJoin = true;
    options.hold = true;
    options.offerSm = sm;
    options.boundJid = "user@fake.test/bench";
    bench::FloodServer server(flood, floodWithAckRequests, kScriptedFlood, options);
    if (!server.listening()) failRun("the scripted flood server could not listen on 15300");
    Counter counter;
    const HostSession s = login(counter, u"fake.test", u"user", u"4711");
    if (!s.thread) failRun("cannot tell the session's thread");
    const FloodTimes t = timeFlood(s.thread, [&] { server.startFlood(); },
                                   [&] { return counter.chat >= kScriptedFlood || counter.disconnected; });
    const int got = counter.chat;
    GetLogOut(s.session);
    server.finish();
    const std::string who = std::string("parley, scripted flood, stream management ") + (sm ? "on" : "off");
    if (got != kScriptedFlood)
        failRun(who + ": " + std::to_string(got) + " of " + std::to_string(kScriptedFlood) + " messages reached the callback");
    if (server.smEnabled() != sm) failRun(who + ": stream management was " + (sm ? "not " : "") + "enabled");
    if (server.acksReceived() != server.ackRequests())
        failRun(who + ": " + std::to_string(server.acksReceived()) + " of " + std::to_string(server.ackRequests()) +
                " requests for an acknowledgement answered");
    return {got / t.secs, t.cpuMs * 1e3 / got};
}

FloodFigures stropheScriptedFlood(const std::string& flood, const std::string& floodWithAckRequests) {
    bench::FloodServer::Options options;
    options.port = 15300;
    options.floodOnRoomJoin = true;
    options.hold = true;
    options.boundJid = "user@fake.test/strophe";
    bench::FloodServer server(flood, floodWithAckRequests, kScriptedFlood, options);
    if (!server.listening()) failRun("the scripted flood server could not listen on 15300");
    StropheSession s;
    std::atomic<pid_t> tid{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> ready{false};
    std::thread loop([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        stropheLogin(s, "user@fake.test", 15300, "4711@conference.fake.test");
        ready = true;
        while (!stop && !s.ended) xmpp_run_once(s.ctx, 10);
        xmpp_disconnect(s.conn);
        for (int i = 0; i < 200 && !s.ended; ++i) xmpp_run_once(s.ctx, 10);
        stropheRelease(s);
    });
    while (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const FloodTimes t = timeFlood(tid, [&] { server.startFlood(); }, [&] { return s.chat >= kScriptedFlood || s.ended; });
    const int got = s.chat;
    stop = true;
    loop.join();
    server.finish();
    if (got != kScriptedFlood)
        failRun("libstrophe, scripted flood: " + std::to_string(got) + " of " + std::to_string(kScriptedFlood) +
                " messages arrived");
    if (server.acksReceived() != server.ackRequests())
        failRun("libstrophe, scripted flood: " + std::to_string(server.acksReceived()) + " of " +
                std::to_string(server.ackRequests()) + " requests for an acknowledgement answered");
    return {got / t.secs, t.cpuMs * 1e3 / got};
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("PARLEY_TESTENV")) {
        std::fprintf(stderr, "host_bench runs inside the test environment (scripts/bench host)\n");
        return 2;
    }
    // The servers here are plain TCP, and the scripted one offers PLAIN.
    SetEncryptionPolicy(PARLEY_ENCRYPTION_ALLOW_PLAINTEXT);
    xmpp_initialize();
    bench::Rng rng(5);
    std::string flood;
    for (int i = 0; i < kScriptedFlood; ++i) {  // the generator's room, moved to fake.test
        std::string one;
        bench::appendGroupchat(one, rng, i);
        const std::size_t at = one.find("example.test/");
        flood.append(one, 0, at).append("fake.test/").append(one, at + 13, std::string::npos);
    }
    const std::string floodWithAckRequests = bench::withAckRequests(flood);
    if (argc > 1 && std::string(argv[1]) == "--theirs-once") {  // the same for libstrophe
        const FloodFigures f = stropheScriptedFlood(flood, floodWithAckRequests);
        std::printf("%.0f messages/s, %.2f CPU us/message\n", f.messagesPerSecond, f.cpuUsPerMessage);
        return 0;
    }
    if (argc > 1 && std::string(argv[1]) == "--ours-once") {  // for profilers: the scripted flood, stream management on
        const FloodFigures f = parleyScriptedFlood(flood, floodWithAckRequests, true);
        std::printf("%.0f messages/s, %.2f CPU us/message\n", f.messagesPerSecond, f.cpuUsPerMessage);
        return 0;
    }

    // An idle session against the scripted server.
    double idleMs, pollMs;
    {
        testsupport::XmppTestServer server(15300);
        server.onJoin({"<presence from='4711@conference.fake.test/" + testsupport::toUtf8(kNick) +
                       "'><x xmlns='http://jabber.org/protocol/muc#user'><item jid='user@fake.test/r' "
                       "role='participant'/><status code='110'/></x></presence>"});
        Counter counter;
        const HostSession s = login(counter, u"fake.test", u"user", u"4711");
        const double cpu0 = processCpuMs();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        idleMs = processCpuMs() - cpu0;
        if (counter.disconnected) failRun("the idle session ended while idle");
        const auto t0 = Clock::now();
        GetLogOut(s.session);
        std::printf("idle session: %.2f ms of CPU in 10 s (the whole process)\n", idleMs);
        std::printf("GetLogOut of a session idle 10 s (scripted server): %.2f ms\n", seconds(t0, Clock::now()) * 1e3);
    }
    {
        // The baseline: a receive loop that polls in 10-microsecond passes.
        testsupport::XmppTestServer server(15300);
        Client c(JID("user@fake.test/poll"), "pw", -1);
        c.setEncryptionPolicy(EncryptionAllowPlaintext);
        c.connect(false);
        const double cpu0 = processCpuMs();
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < end && c.receive(10) == NoError) {
        }
        pollMs = processCpuMs() - cpu0;
        if (Clock::now() < end) failRun("the polling session ended early");
        if (!server.loggedIn()) failRun("the polling session did not log in");
        std::printf("10-us polling loop: %.2f ms of CPU in 10 s\n", pollMs);
        c.disconnect();
    }

    // The receive path under a flood it cannot keep up with: room messages
    // from the scripted server, medians of 3, each contender in each place.
    std::vector<double> rate[3], cpu[3];
    for (int round = 0; round < 3; ++round) {
        for (int k = 0; k < 3; ++k) {
            const int which = (k + round) % 3;
            const FloodFigures f = which == 0   ? parleyScriptedFlood(flood, floodWithAckRequests, true)
                                   : which == 1 ? parleyScriptedFlood(flood, floodWithAckRequests, false)
                                                : stropheScriptedFlood(flood, floodWithAckRequests);
            rate[which].push_back(f.messagesPerSecond);
            cpu[which].push_back(f.cpuUsPerMessage);
        }
    }
    std::printf("%d room messages from the scripted server as fast as the session takes them "
                "(an acknowledgement asked for every %d with stream management; keepalive on; medians of 3):\n",
                kScriptedFlood, bench::kAckEvery);
    const char* names[3] = {"parley, stream management on ", "parley, stream management off", "libstrophe                   "};
    for (int k = 0; k < 3; ++k)
        std::printf("  %s %9.0f messages/s  %6.2f CPU us/message (the receiving thread)\n", names[k], median(rate[k]),
                    median(cpu[k]));

    // Everything else goes through pass-through proxies to Prosody, as the
    // SRV records of smacks.test and nosm.test say.
    testsupport::FaultProxy smProxy(kSmProxyPort, 5222);
    testsupport::FaultProxy noSmProxy(kNoSmProxyPort, 5222);
    if (!smProxy.listening() || !noSmProxy.listening()) failRun("the proxies did not start");

    std::vector<double> ourLogouts, theirLogouts;
    for (int i = 0; i < kLogouts; ++i) {
        ourLogouts.push_back(parleyLogoutMs());
        theirLogouts.push_back(stropheLogoutMs());
    }
    const double ourLogout = median(ourLogouts), theirLogout = median(theirLogouts);
    std::printf("log out of a session idle 1 s in its room (median of %d, Prosody with stream management):\n", kLogouts);
    std::printf("  parley GetLogOut                        %6.2f ms\n", ourLogout);
    std::printf("  libstrophe leave, disconnect, until its end event %6.2f ms\n", theirLogout);

    const FloodFigures smOn = parleyFlood("smacks.test", true);
    const FloodFigures smOff = parleyFlood("nosm.test", false);
    const FloodFigures strophe = stropheFlood("smacks.test", kSmProxyPort);
    std::printf("%d group-chat messages from a slixmpp peer through Prosody (keepalive on in all):\n", kFlood);
    std::printf("  parley, stream management on    %8.0f messages/s  %6.2f CPU us/message (the session's thread)\n",
                smOn.messagesPerSecond, smOn.cpuUsPerMessage);
    std::printf("  parley, stream management off   %8.0f messages/s  %6.2f CPU us/message\n", smOff.messagesPerSecond,
                smOff.cpuUsPerMessage);
    std::printf("  libstrophe (smacks.test)        %8.0f messages/s  %6.2f CPU us/message (its thread)\n",
                strophe.messagesPerSecond, strophe.cpuUsPerMessage);
    xmpp_shutdown();

    std::printf("idle_cpu_vs_polling: %.5f\n", idleMs / pollMs);
    std::printf("logout_vs_libstrophe: %.2f\n", ourLogout / theirLogout);
    std::printf("host_prosody_vs_libstrophe: %.2f messages/s, %.2f CPU per message\n",
                smOn.messagesPerSecond / strophe.messagesPerSecond, smOn.cpuUsPerMessage / strophe.cpuUsPerMessage);
    std::printf("host_sm_off_vs_libstrophe: %.2f messages/s, %.2f CPU per message\n", median(rate[1]) / median(rate[2]),
                median(cpu[1]) / median(cpu[2]));
    std::printf("host_cpu_vs_libstrophe: %.2f\n", median(cpu[0]) / median(cpu[2]));
    std::printf("host_vs_libstrophe: %.2f\n", median(rate[0]) / median(rate[2]));
    return 0;
}

// Round trips into the room, in the test network namespace: the project's
// proxy holds every chunk back 25 ms each way (a 50 ms round trip) between
// the library and local Prosody. Seven logins per path, medians, in round
// trips, from SetLogin to 11025 (connected) and to the host's own 11027 in
// a new room: plain TCP, STARTTLS and direct TLS (XEP-0368), each with
// SCRAM-SHA-256 on a host without SASL2 and on one with SASL2 and Bind2
// (whose TLS, which Prosody 0.12.3's mod_sasl2 cannot offer, is the tests'
// own TLS front, without a delay of its own). Then reconnections: from a
// reset of the connection to the session resumed, classic, with SASL2, and
// with SASL2 resuming inline (against the scripted server, as Prosody
// 0.12.3 cannot). The baseline, in the same run: libstrophe's login to a
// bound resource through the same proxy (plain TCP, SCRAM), its round trips
// and its CPU beside this library's login.
#include <strophe.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "parley.h"
#include "support/FaultProxy.h"
#include "support/HostRecorder.h"
#include "support/Peer.h"
#include "support/TestEnv.h"
#include "support/TlsRelay.h"
#include "support/XmppTestServer.h"

using Clock = std::chrono::steady_clock;
using testsupport::FaultProxy;
using testsupport::P;
using testsupport::TlsRelay;

namespace {

constexpr int kDelayMs = 25;
constexpr double kRoundTripMs = 2.0 * kDelayMs;
constexpr int kLogins = 7;

std::u16string wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }
double rtt(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count() / kRoundTripMs; }
double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
double processCpuMs() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}
[[noreturn]] void failRun(const std::string& why) {
    std::fprintf(stderr, "join_bench: %s\n", why.c_str());
    std::exit(1);
}

// When the log said the session was resumed (the library's own log line).
struct Resumptions {
    std::mutex mutex;
    std::condition_variable cv;
    int count = 0;
    Clock::time_point last{};
    static void PARLEY_CALL log(void* c, int32_t, int32_t, const TextBuffer* line) {
        auto* self = static_cast<Resumptions*>(c);
        const std::u16string text(reinterpret_cast<const char16_t*>(line->text), static_cast<std::size_t>(line->length));
        if (text.rfind(u"stream resumed", 0) != 0) return;
        std::lock_guard<std::mutex> lock(self->mutex);
        ++self->count;
        self->last = Clock::now();
        self->cv.notify_all();
    }
};
Resumptions resumptions;

// When the session was connected and in the room (its own first 11027).
struct Arrival {
    std::mutex mutex;
    std::condition_variable cv;
    Clock::time_point connected{}, inRoom{};
    bool failed = false;
    static int32_t callback(void* c, int32_t code, int32_t, int32_t, const TextBuffer*) {
        auto* self = static_cast<Arrival*>(c);
        std::lock_guard<std::mutex> lock(self->mutex);
        const auto now = Clock::now();
        if (code == PARLEY_EVENT_CONNECTED && self->connected == Clock::time_point{}) self->connected = now;
        if (code == PARLEY_EVENT_OCCUPANT_PRESENT && self->inRoom == Clock::time_point{}) self->inRoom = now;
        if (code >= PARLEY_EVENT_DISCONNECTED && code <= PARLEY_EVENT_DISCONNECTED + 18) self->failed = true;
        self->cv.notify_all();
        return 0;
    }
};

struct Figures {
    double connected;
    double inRoom;
    double firstInRoom;  // the first login, before the process knew the server
    double cpuMs;        // the process's CPU for one login, median
};

// A session in its room; ended by logging out.
struct Session {
    Arrival arrival;
    void* handle = nullptr;
    ~Session() {
        if (handle) GetLogOut(handle);
    }
};

std::string nickname(int i) { return "Join000000" + std::to_string(i) + "-1111-2222-3333-444444444444:us"; }

void enter(Session& s, const char* path, const std::string& domain, const std::string& user, int i,
           const std::string& room = testsupport::uniqueName("join")) {
    const std::string nick = nickname(i);
    s.handle = SetLogin(P(wide(user).c_str()), P(u"pw"), P(wide(room).c_str()),
                        P(wide(nick).c_str()), P(wide(domain).c_str()), P(u"bench"), &s.arrival, &Arrival::callback);
    std::unique_lock<std::mutex> lock(s.arrival.mutex);
    s.arrival.cv.wait_for(lock, std::chrono::seconds(20),
                          [&] { return s.arrival.failed || s.arrival.inRoom != Clock::time_point{}; });
    if (s.arrival.failed || s.arrival.inRoom == Clock::time_point{} || s.arrival.connected == Clock::time_point{})
        failRun(std::string(path) + ": login " + std::to_string(i) + " did not get into the room");
}

Figures measure(const char* path, const std::string& domain, const std::string& user) {
    std::vector<double> connected, inRoom, cpu;
    for (int i = 0; i < kLogins; ++i) {
        Session s;
        const auto t0 = Clock::now();
        const double cpu0 = processCpuMs();
        enter(s, path, domain, user, i);
        cpu.push_back(processCpuMs() - cpu0);
        connected.push_back(rtt(s.arrival.connected - t0));
        inRoom.push_back(rtt(s.arrival.inRoom - t0));
    }
    const Figures f{median(connected), median(inRoom), inRoom.front(), median(cpu)};
    std::printf("%-26s SetLogin -> 11025: %4.1f round trips, -> own 11027: %4.1f round trips (first login %.1f)\n",
                path, f.connected, f.inRoom, f.firstInRoom);
    return f;
}

// From a reset of the connection under a session in its room to the
// session resumed, median of five.
double reconnection(const char* path, FaultProxy& proxy, const std::string& domain, const std::string& user,
                    const std::string& room = testsupport::uniqueName("join")) {
    Session s;
    enter(s, path, domain, user, 0, room);
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::unique_lock<std::mutex> lock(resumptions.mutex);
        const int before = resumptions.count;
        lock.unlock();
        const auto t0 = Clock::now();
        proxy.resetAll();
        lock.lock();
        if (!resumptions.cv.wait_for(lock, std::chrono::seconds(20), [&] { return resumptions.count > before; }))
            failRun(std::string(path) + ": reconnection " + std::to_string(i) + " did not resume the session");
        times.push_back(rtt(resumptions.last - t0));
    }
    if (s.arrival.failed) failRun(std::string(path) + ": the session ended");
    const double m = median(times);
    std::printf("%-26s reset -> session resumed: %4.1f round trips\n", path, m);
    return m;
}

struct StropheLogin {
    bool connected = false;
    bool failed = false;
};

void onStrophe(xmpp_conn_t*, xmpp_conn_event_t status, int, xmpp_stream_error_t*, void* ud) {
    auto* st = static_cast<StropheLogin*>(ud);
    if (status == XMPP_CONN_CONNECT)
        st->connected = true;
    else
        st->failed = true;
}

struct StropheFigures {
    double roundTrips;
    double cpuMs;
};

StropheFigures stropheBoundResource(const std::string& jid, int port) {
    std::vector<double> times, cpu;
    for (int i = 0; i < kLogins; ++i) {
        StropheLogin st;
        const double cpu0 = processCpuMs();
        xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, nullptr);
        xmpp_conn_t* conn = xmpp_conn_new(ctx);
        xmpp_conn_set_flags(conn, XMPP_CONN_FLAG_DISABLE_TLS);
        xmpp_conn_set_jid(conn, (jid + "/strophe").c_str());
        xmpp_conn_set_pass(conn, "pw");
        const auto t0 = Clock::now();
        xmpp_connect_client(conn, "127.0.0.1", static_cast<unsigned short>(port), onStrophe, &st);
        for (int k = 0; k < 2000 && !st.connected && !st.failed; ++k) xmpp_run_once(ctx, 10);
        const auto t1 = Clock::now();
        cpu.push_back(processCpuMs() - cpu0);
        if (!st.connected) {
            std::fprintf(stderr, "libstrophe: login %d failed\n", i);
            std::exit(1);
        }
        times.push_back(rtt(t1 - t0));
        xmpp_disconnect(conn);
        for (int k = 0; k < 20; ++k) xmpp_run_once(ctx, 10);
        xmpp_conn_release(conn);
        xmpp_ctx_free(ctx);
    }
    const StropheFigures f{median(times), median(cpu)};
    std::printf("%-26s connect -> bound resource: %4.1f round trips\n", "libstrophe, plain TCP", f.roundTrips);
    return f;
}

// Registers user@domain in band through the host interface (over TLS where
// the domain has it).
void registerUser(const std::string& domain, const std::string& user) {
    testsupport::HostRecorder reg;
    void* h = SetRegistration(P(wide(domain).c_str()), P(wide(user).c_str()), P(u"pw"), &reg,
                              &testsupport::HostRecorder::callback);
    if (!h || !WaitRegistration(h, 30000) || reg.codes() != "11056") {
        std::fprintf(stderr, "registration of %s@%s failed (%s)\n", user.c_str(), domain.c_str(), reg.codes().c_str());
        std::exit(1);
    }
}

// The tests' TLS front for a host whose TLS Prosody cannot offer with
// SASL2: it terminates TLS (direct, or after STARTTLS) with the domain's
// certificate and carries the stream to Prosody's plain port.
TlsRelay::Options front(int port, TlsRelay::Way way, const std::string& domain) {
    TlsRelay::Options o;
    o.listenPort = port;
    o.serverPort = 5222;
    o.client = way;
    o.domain = domain;
    o.certificateFile = testsupport::testCertificate("tls.test.pem");
    o.keyFile = testsupport::testCertificate("tls.test.key");
    return o;
}

std::string registered(const std::string& prefix, const std::string& domain) {
    const std::string user = testsupport::uniqueName(prefix);
    if (testsupport::Peer::registerAccount(user + "@" + domain, "pw", 5222) == 1)
        failRun("could not register " + user + "@" + domain);
    return user;
}

}  // namespace

int main() {
    if (!std::getenv("PARLEY_TESTENV")) {
        std::fprintf(stderr, "join_bench runs inside the test environment (scripts/bench join)\n");
        return 2;
    }
    if (const char* ca = std::getenv("PARLEY_TEST_CA")) SetTrustedCAFile(P(wide(ca).c_str()));
    xmpp_initialize();

    // Plain TCP: nosm.test and sasl2.test on Prosody's plain instance
    // (5222), whose SRV records name the proxy's ports 5261 and 5265.
    SetEncryptionPolicy(PARLEY_ENCRYPTION_ALLOW_PLAINTEXT);
    const std::string plainUser = registered("jp", "nosm.test");
    const std::string sasl2User = registered("js", "sasl2.test");
    Figures plain, plainSasl2, startTls, startTlsSasl2, directTls, directTlsSasl2;
    StropheFigures strophe;
    {
        FaultProxy proxy(5261, 5222, kDelayMs);
        plain = measure("plain TCP + SCRAM", "nosm.test", plainUser);
        strophe = stropheBoundResource(plainUser + "@nosm.test", 5261);
    }
    {
        FaultProxy proxy(5265, 5222, kDelayMs);
        plainSasl2 = measure("plain TCP + SASL2, Bind2", "sasl2.test", sasl2User);
    }

    // slow.test on Prosody's TLS instance: its _xmpps-client record names
    // 5270 (to direct TLS on 5233), its _xmpp-client record 5271 (to
    // STARTTLS on 5232). With nothing on 5270 the client falls back to
    // STARTTLS at once (a refused connection on this host costs no delay).
    // sasl2tls.test likewise: 5266 and 5267, through the TLS front.
    SetEncryptionPolicy(PARLEY_ENCRYPTION_PROTECT_PASSWORD);
    const std::string tlsUser = testsupport::uniqueName("jt");
    {
        FaultProxy starttls(5271, 5232);
        registerUser("slow.test", tlsUser);
    }
    const std::string tlsSasl2User = registered("ju", "sasl2tls.test");
    {
        FaultProxy proxy(5271, 5232, kDelayMs);
        startTls = measure("STARTTLS + SCRAM", "slow.test", tlsUser);
    }
    {
        TlsRelay relay(front(5281, TlsRelay::Way::StartTls, "sasl2tls.test"));
        FaultProxy proxy(5267, 5281, kDelayMs);
        startTlsSasl2 = measure("STARTTLS + SASL2, Bind2", "sasl2tls.test", tlsSasl2User);
    }
    {
        FaultProxy direct(5270, 5233, kDelayMs);
        FaultProxy starttls(5271, 5232, kDelayMs);
        directTls = measure("direct TLS + SCRAM", "slow.test", tlsUser);
    }
    {
        TlsRelay relay(front(5280, TlsRelay::Way::DirectTls, "sasl2tls.test"));
        TlsRelay fallback(front(5281, TlsRelay::Way::StartTls, "sasl2tls.test"));
        FaultProxy direct(5266, 5280, kDelayMs);
        FaultProxy starttls(5267, 5281, kDelayMs);
        directTlsSasl2 = measure("direct TLS + SASL2, Bind2", "sasl2tls.test", tlsSasl2User);
    }

    // Reconnections to resume the session, through the same delay: classic
    // (smacks.test, 5260), SASL2 resuming after authentication (Prosody's
    // sasl2.test, 5265), SASL2 resuming inline (the scripted server behind
    // fake.test's port 15300).
    SetLogCallback(&Resumptions::log, &resumptions, 0);
    SetEncryptionPolicy(PARLEY_ENCRYPTION_ALLOW_PLAINTEXT);
    double resumeClassic, resumeSasl2, resumeInline;
    {
        const std::string user = registered("jr", "smacks.test");
        FaultProxy proxy(5260, 5222, kDelayMs);
        resumeClassic = reconnection("plain TCP, classic", proxy, "smacks.test", user);
    }
    {
        FaultProxy proxy(5265, 5222, kDelayMs);
        resumeSasl2 = reconnection("plain TCP, SASL2", proxy, "sasl2.test", sasl2User);
    }
    {
        testsupport::XmppTestServer server;
        server.offerSasl2();
        server.onJoin({"<presence from='4711@conference.fake.test/" + nickname(0) +
                       "'><x xmlns='http://jabber.org/protocol/muc#user'><item jid='user@fake.test/r' "
                       "role='participant'/><status code='110'/></x></presence>"});
        FaultProxy proxy(15300, server.port(), kDelayMs);
        resumeInline = reconnection("plain TCP, SASL2 inline", proxy, "fake.test", "user", "4711");
    }
    SetLogCallback(nullptr, nullptr, 0);
    xmpp_shutdown();

    std::printf("baseline: libstrophe reaches a bound resource in %.1f round trips\n", strophe.roundTrips);
    std::printf("login CPU (process, median of %d), plain TCP + SCRAM-SHA-256: this library %.2f ms (SASL2 %.2f ms), "
                "libstrophe %.2f ms\n",
                kLogins, plain.cpuMs, plainSasl2.cpuMs, strophe.cpuMs);
    std::printf("join_rtt_starttls: %.1f (SASL2 %.1f)\n", startTls.inRoom, startTlsSasl2.inRoom);
    std::printf("join_rtt_direct_tls: %.1f (SASL2 %.1f)\n", directTls.inRoom, directTlsSasl2.inRoom);
    std::printf("resume_rtt: classic %.1f, SASL2 %.1f, SASL2 inline %.1f\n", resumeClassic, resumeSasl2, resumeInline);
    std::printf("scram_login_cpu_vs_libstrophe: %.2f\n", plain.cpuMs / strophe.cpuMs);
    std::printf("join_rtt: %.1f (SASL2 %.1f)\n", plain.inRoom, plainSasl2.inRoom);
    return 0;
}

// Round trips into the room, in the test network namespace: the project's
// proxy holds every chunk back 25 ms each way (a 50 ms round trip) between
// the library and local Prosody. Seven logins per path, medians, in round
// trips, from SetLogin to 11025 (connected) and to the host's own 11027 in
// a new room: plain TCP, STARTTLS and direct TLS (XEP-0368), all with
// SCRAM-SHA-256. The baseline, in the same run: libstrophe's login to a
// bound resource through the same proxy (plain TCP, SCRAM).
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

#include "parley.h"
#include "support/FaultProxy.h"
#include "support/HostRecorder.h"
#include "support/Peer.h"

using Clock = std::chrono::steady_clock;
using testsupport::FaultProxy;
using testsupport::P;

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
};

Figures measure(const char* path, const std::string& domain, const std::string& user) {
    std::vector<double> connected, inRoom;
    for (int i = 0; i < kLogins; ++i) {
        Arrival a;
        const std::string nick = "Join000000" + std::to_string(i) + "-1111-2222-3333-444444444444:us";
        const auto t0 = Clock::now();
        void* s = SetLogin(P(wide(user).c_str()), P(u"pw"), P(wide(testsupport::uniqueName("join")).c_str()),
                           P(wide(nick).c_str()), P(wide(domain).c_str()), P(u"bench"), &a, &Arrival::callback);
        {
            std::unique_lock<std::mutex> lock(a.mutex);
            a.cv.wait_for(lock, std::chrono::seconds(20), [&] { return a.failed || a.inRoom != Clock::time_point{}; });
            if (a.failed || a.inRoom == Clock::time_point{} || a.connected == Clock::time_point{}) {
                std::fprintf(stderr, "%s: login %d did not get into the room\n", path, i);
                std::exit(1);
            }
            connected.push_back(rtt(a.connected - t0));
            inRoom.push_back(rtt(a.inRoom - t0));
        }
        GetLogOut(s);
    }
    const Figures f{median(connected), median(inRoom)};
    std::printf("%-24s SetLogin -> 11025: %4.1f round trips, -> own 11027: %4.1f round trips\n", path, f.connected,
                f.inRoom);
    return f;
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

double stropheBoundResource(const std::string& jid, int port) {
    std::vector<double> times;
    for (int i = 0; i < kLogins; ++i) {
        StropheLogin st;
        xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, nullptr);
        xmpp_conn_t* conn = xmpp_conn_new(ctx);
        xmpp_conn_set_flags(conn, XMPP_CONN_FLAG_DISABLE_TLS);
        xmpp_conn_set_jid(conn, (jid + "/strophe").c_str());
        xmpp_conn_set_pass(conn, "pw");
        const auto t0 = Clock::now();
        xmpp_connect_client(conn, "127.0.0.1", static_cast<unsigned short>(port), onStrophe, &st);
        for (int k = 0; k < 2000 && !st.connected && !st.failed; ++k) xmpp_run_once(ctx, 10);
        const auto t1 = Clock::now();
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
    const double m = median(times);
    std::printf("%-24s connect -> bound resource: %4.1f round trips\n", "libstrophe, plain TCP", m);
    return m;
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

}  // namespace

int main() {
    if (!std::getenv("PARLEY_TESTENV")) {
        std::fprintf(stderr, "join_bench runs inside the test environment (scripts/bench join)\n");
        return 2;
    }
    if (const char* ca = std::getenv("PARLEY_TEST_CA")) SetTrustedCAFile(P(wide(ca).c_str()));
    xmpp_initialize();

    // Plain TCP: nosm.test on Prosody's plain instance (5222), whose SRV
    // record names the proxy's port 5261.
    SetEncryptionPolicy(PARLEY_ENCRYPTION_ALLOW_PLAINTEXT);
    const std::string plainUser = testsupport::uniqueName("jp");
    if (testsupport::Peer::registerAccount(plainUser + "@nosm.test", "pw", 5222) == 1) {
        std::fprintf(stderr, "could not register %s@nosm.test\n", plainUser.c_str());
        return 1;
    }
    Figures plain, startTls, directTls;
    double strophe;
    {
        FaultProxy proxy(5261, 5222, kDelayMs);
        plain = measure("plain TCP + SCRAM", "nosm.test", plainUser);
        strophe = stropheBoundResource(plainUser + "@nosm.test", 5261);
    }

    // slow.test on Prosody's TLS instance: its _xmpps-client record names
    // 5270 (to direct TLS on 5233), its _xmpp-client record 5271 (to
    // STARTTLS on 5232). With nothing on 5270 the client falls back to
    // STARTTLS at once (a refused connection on this host costs no delay).
    SetEncryptionPolicy(PARLEY_ENCRYPTION_PROTECT_PASSWORD);
    const std::string tlsUser = testsupport::uniqueName("jt");
    {
        FaultProxy starttls(5271, 5232);
        registerUser("slow.test", tlsUser);
    }
    {
        FaultProxy proxy(5271, 5232, kDelayMs);
        startTls = measure("STARTTLS + SCRAM", "slow.test", tlsUser);
    }
    {
        FaultProxy direct(5270, 5233, kDelayMs);
        FaultProxy starttls(5271, 5232, kDelayMs);
        directTls = measure("direct TLS + SCRAM", "slow.test", tlsUser);
    }
    xmpp_shutdown();
    std::printf("baseline: libstrophe reaches a bound resource in %.1f round trips\n", strophe);
    std::printf("join_rtt_starttls: %.1f\n", startTls.inRoom);
    std::printf("join_rtt_direct_tls: %.1f\n", directTls.inRoom);
    std::printf("join_rtt: %.1f\n", plain.inRoom);
    return 0;
}

// Sessions that survive the network, measured in the test network namespace
// against Prosody:
//   - from a reset of the connection (our fault proxy in front of Prosody
//     with stream management) to the first message delivered to the host
//     after resumption: median of 5;
//   - the CPU an idle connected session uses over 10 s with the keepalive
//     probing every second, with the default (60 s) and, as the baseline,
//     with the probe off.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "parley.h"
#include "support/FaultProxy.h"
#include "support/HostRecorder.h"
#include "support/Peer.h"

using Clock = std::chrono::steady_clock;
using testsupport::HostEvent;
using testsupport::HostRecorder;
using testsupport::P;

namespace {

double processCpuMs() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

std::u16string wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

const std::string kNick = "Bench00000000-1111-2222-3333-444444444444:us";
const std::string kPeerNick = "Peer99999999-8888-7777-6666-555555555555:us";

[[noreturn]] void failRun(const std::string& why) {
    std::fprintf(stderr, "resume_bench: %s\n", why.c_str());
    std::exit(1);
}

void* login(HostRecorder& host, const std::string& domain, const std::string& user, const std::string& room) {
    if (testsupport::Peer::registerAccount(user + "@" + domain, "pw") == 1) failRun("could not register " + user);
    void* s = SetLogin(P(wide(user).c_str()), P(u"pw"), P(wide(room).c_str()), P(wide(kNick).c_str()),
                       P(wide(domain).c_str()), P(u"bench"), &host, &HostRecorder::callback);
    if (!s || !host.waitForCode(PARLEY_EVENT_OCCUPANT_PRESENT, 15000))
        failRun("the session of " + user + "@" + domain + " did not get into its room");
    return s;
}

double idleCpuMs(const char* keepalive, double seconds) {
    setenv("PARLEY_KEEPALIVE", keepalive, 1);
    HostRecorder host;
    void* s = login(host, "example.test", testsupport::uniqueName("bi"), testsupport::uniqueName("idle"));
    const double cpu0 = processCpuMs();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double used = processCpuMs() - cpu0;
    const bool alive = !host.waitFor([](const HostEvent& e) { return e.code >= 21024 && e.code <= 21042; }, 0);
    GetLogOut(s);
    if (!alive) failRun(std::string("the idle session with PARLEY_KEEPALIVE=") + keepalive + " ended while idle");
    return used;
}

}  // namespace

int main() {
    if (!std::getenv("PARLEY_TESTENV")) {
        std::fprintf(stderr, "resume_bench runs inside the test environment (scripts/bench resume)\n");
        return 2;
    }
    SetEncryptionPolicy(PARLEY_ENCRYPTION_ALLOW_PLAINTEXT);  // the servers here are plain TCP

    // Reset to the first message after resumption.
    setenv("PARLEY_KEEPALIVE", "60000,30000", 1);
    std::vector<double> ms;
    {
        testsupport::FaultProxy proxy(5260, 5222);
        const std::string room = testsupport::uniqueName("bench");
        HostRecorder host;
        void* s = login(host, "smacks.test", testsupport::uniqueName("br"), room);
        const std::string peerJid = testsupport::uniqueName("bp") + "@smacks.test";
        if (testsupport::Peer::registerAccount(peerJid, "pw") == 1) failRun("could not register the peer");
        testsupport::Peer peer(peerJid + "/py", "pw");
        if (!peer.ready() || peer.command("join", {{"room", room + "@conference.smacks.test"}, {"nick", kPeerNick}}).empty())
            failRun("the peer did not get into the room");
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const std::string body = "after reset " + std::to_string(i);
            const std::string text = "NICKNAME=" + kPeerNick + "_tok_" + body;
            const auto t0 = Clock::now();
            proxy.resetAll();
            peer.command("say", {{"room", room + "@conference.smacks.test"}, {"body", body}});
            if (!host.waitForText(PARLEY_EVENT_CHAT_MESSAGE, text, 30000))
                failRun("message " + std::to_string(i) + " never arrived");
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            std::printf("reset %d: first message after resumption in %.1f ms\n", i, ms.back());
        }
        GetLogOut(s);
        std::sort(ms.begin(), ms.end());
        std::printf("connections through the proxy: %d (one per resumption)\n", proxy.connections());
    }  // the proxy's thread and the peer are gone before the idle measurements

    const double seconds = 10;
    const double everySecond = idleCpuMs("1000,30000", seconds);
    const double byDefault = idleCpuMs("60000,30000", seconds);
    const double off = idleCpuMs("0,0", seconds);
    std::printf("idle session, %.0f s: probe every 1 s %.2f ms of CPU, default probe (60 s) %.2f ms, probe off %.2f ms\n",
                seconds, everySecond, byDefault, off);
    std::printf("idle_cpu_probe_every_second_vs_off: %.2f\n", everySecond / off);
    std::printf("resume_ms: %.1f\n", ms[ms.size() / 2]);
    return 0;
}

// The host session at rest and under load, in the test network namespace:
// the CPU an idle connected session burns over 10 s, against the 10-us
// polling receive loop in the same run; how long GetLogOut takes for an
// idle session; and group-chat messages per second from a slixmpp peer
// through the room to the host callback (Prosody in the middle).
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "client/Client.h"
#include "parley.h"
#include "support/HostRecorder.h"
#include "support/Peer.h"
#include "support/XmppTestServer.h"

using namespace tern;
using Clock = std::chrono::steady_clock;

namespace {

double processCpuMs() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

const std::u16string kNick = u"Bench00000000-1111-2222-3333-444444444444:us";

struct Counter {
    std::atomic<int> chat{0};
    std::atomic<bool> present{false};
    static int32_t callback(void* c, int32_t code, int32_t, int32_t, const TextBuffer*) {
        auto* self = static_cast<Counter*>(c);
        if (code == PARLEY_EVENT_CHAT_MESSAGE) ++self->chat;
        if (code == PARLEY_EVENT_OCCUPANT_PRESENT) self->present = true;
        return 0;
    }
};

void* login(Counter& counter, const char16_t* server, const char16_t* user, const char16_t* room) {
    void* s = SetLogin(testsupport::P(user), testsupport::P(u"pw"), testsupport::P(room), testsupport::P(kNick.c_str()),
                       testsupport::P(server), testsupport::P(u"bench"), &counter, &Counter::callback);
    for (int i = 0; i < 500 && !counter.present; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return s;
}

}  // namespace

int main() {
    if (!std::getenv("PARLEY_TESTENV")) {
        std::fprintf(stderr, "host_bench runs inside the test environment (scripts/bench host)\n");
        return 2;
    }
    const double idleSeconds = 10;
    // Both servers here are plain TCP, and the scripted one offers PLAIN.
    SetEncryptionPolicy(PARLEY_ENCRYPTION_ALLOW_PLAINTEXT);

    // An idle session against the scripted server.
    double idleMs, pollMs;
    {
        testsupport::XmppTestServer server(15300);
        server.onJoin({"<presence from='4711@conference.fake.test/" + testsupport::toUtf8(kNick) +
                       "'><x xmlns='http://jabber.org/protocol/muc#user'><item jid='user@fake.test/r' "
                       "role='participant'/><status code='110'/></x></presence>"});
        Counter counter;
        void* s = login(counter, u"fake.test", u"user", u"4711");
        if (!counter.present) {
            std::fprintf(stderr, "the idle session did not get into the room\n");
            return 1;
        }
        const double cpu0 = processCpuMs();
        std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
        idleMs = processCpuMs() - cpu0;
        const auto t0 = Clock::now();
        GetLogOut(s);
        const double logoutMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        std::printf("idle session: %.2f ms of CPU in %.0f s (the whole process)\n", idleMs, idleSeconds);
        std::printf("GetLogOut of an idle session: %.2f ms\n", logoutMs);
    }
    {
        // The baseline: a receive loop that polls in 10-microsecond passes.
        testsupport::XmppTestServer server(15300);
        Client c(JID("user@fake.test/poll"), "pw", -1);
        c.setEncryptionPolicy(EncryptionAllowPlaintext);
        c.connect(false);
        const double cpu0 = processCpuMs();
        const auto end = Clock::now() + std::chrono::duration<double>(idleSeconds);
        while (Clock::now() < end && c.receive(10) == NoError) {
        }
        pollMs = processCpuMs() - cpu0;
        if (Clock::now() < end) {
            std::fprintf(stderr, "the polling session ended early\n");
            return 1;
        }
        std::printf("10-us polling loop: %.2f ms of CPU in %.0f s\n", pollMs, idleSeconds);
        c.disconnect();
    }
    std::printf("idle_cpu_vs_polling: %.5f\n", idleMs / pollMs);

    // Messages from a real peer, through Prosody, to the callback.
    const std::string user = testsupport::uniqueName("bh");
    const std::u16string room = u"4712";
    testsupport::HostRecorder reg;
    std::u16string wideUser(user.begin(), user.end());
    void* h = SetRegistration(testsupport::P(u"example.test"), testsupport::P(wideUser.c_str()), testsupport::P(u"pw"),
                              &reg, &testsupport::HostRecorder::callback);
    WaitRegistration(h, 15000);
    Counter counter;
    void* s = login(counter, u"example.test", wideUser.c_str(), room.c_str());
    const std::string peerAccount = testsupport::uniqueName("bp") + "@example.test";
    testsupport::Peer::registerAccount(peerAccount, "pw");
    testsupport::Peer peer(peerAccount + "/py", "pw");
    peer.command("join", {{"room", "4712@conference.example.test"}, {"nick", "Flood0000000-1111-2222-3333-444444444444:us"}});
    const int count = 20000;
    const auto t0 = Clock::now();
    peer.command("flood", {{"room", "4712@conference.example.test"}, {"count", std::to_string(count)}}, 120000);
    for (int i = 0; i < 6000 && counter.chat < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("peer messages through Prosody to the callback: %d of %d in %.2f s: %.0f messages/s\n",
                counter.chat.load(), count, secs, counter.chat / secs);
    GetLogOut(s);
    return counter.chat == count ? 0 : 1;
}

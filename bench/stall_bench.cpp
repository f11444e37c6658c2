// A server that stops (SIGSTOP) for 45 s while the host talks, on Prosody
// and on ejabberd, both with stream management: the slowest exported call
// over the run (the host's thread must never wait on the network), beside
// GetLogOut of the session afterwards, and what reached a slixmpp occupant
// of the room: every message once. A run that loses or doubles a message,
// or whose session does not come back, fails. Then, on each server, a host
// logs out while the server is stopped and its writes are stuck (GetLogOut
// timed), and a user who joins the room once the server goes on says
// whether the host is still shown there (a ghost); with --ghost, only that,
// for stops of 3, 10 and 45 s, and with LibDelete instead of GetLogOut as
// the baseline (no log-out at all: a ghost until the server's timeout).
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "parley.h"
#include "support/HostRecorder.h"
#include "support/Peer.h"
#include "transport/Resolver.h"

using Clock = std::chrono::steady_clock;
using testsupport::HostRecorder;
using testsupport::Json;
using testsupport::P;
using testsupport::Peer;

namespace {

constexpr int kMessages = 600;
constexpr int kBodyUnits = 10000;
constexpr int kStopSeconds = 45;

[[noreturn]] void failRun(const std::string& why) {
    std::fprintf(stderr, "stall_bench: %s\n", why.c_str());
    std::exit(1);
}

std::u16string wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

struct Server {
    const char* name;    // its pid file in the test environment's state folder
    const char* domain;  // with stream management
    int port;
};

pid_t serverPid(const Server& server) {
    pid_t pid = 0;
    std::ifstream(std::string(std::getenv("PARLEY_TESTENV_DIR")) + "/" + server.name + ".pid") >> pid;
    if (pid <= 0) failRun(std::string("no pid for ") + server.name);
    return pid;
}

// A host logged in as user and inside room under nick; failRun otherwise.
void* hostInRoom(HostRecorder& host, const Server& server, const std::string& user, const std::string& room,
                 const std::string& nick) {
    void* s = SetLogin(P(wide(user).c_str()), P(u"pw"), P(wide(room.substr(0, room.find('@'))).c_str()),
                       P(wide(nick).c_str()), P(wide(server.domain).c_str()), P(u"bench"), &host,
                       &HostRecorder::callback);
    if (!s || !host.waitForCode(PARLEY_EVENT_OCCUPANT_PRESENT, 15000)) failRun("the host did not get into its room");
    return s;
}

void stuckLogOut(const Server& server, int stopSeconds, bool release = false) {
    tern::pinClientService(server.domain, "127.0.0.1", server.port);
    const std::string room = testsupport::uniqueName("ghost") + "@conference." + server.domain;
    const std::string user = testsupport::uniqueName("gb"), joinerJid = testsupport::uniqueName("gj") + "@" + server.domain;
    if (Peer::registerAccount(user + "@" + server.domain, "pw", server.port) == 1 ||
        Peer::registerAccount(joinerJid, "pw", server.port) == 1)
        failRun("could not register the accounts");
    HostRecorder host;
    const std::string nick = "Host" + std::string(36, '2') + ":us";
    void* s = hostInRoom(host, server, user, room, nick);
    const pid_t pid = serverPid(server);
    if (kill(pid, SIGSTOP) != 0) failRun(std::string("cannot stop ") + server.name);
    const Clock::time_point stopped = Clock::now();
    const std::u16string body(kBodyUnits, u'x');
    for (int i = 0; i < 100; ++i) SetChatMessage(s, P(body.c_str()));  // 1 MB: more than the sockets hold
    std::this_thread::sleep_for(std::chrono::seconds(1));              // the session's write is stuck
    const Clock::time_point t0 = Clock::now();
    if (release)
        LibDelete(s);
    else
        GetLogOut(s);
    const double logout = msSince(t0);
    std::this_thread::sleep_until(stopped + std::chrono::seconds(stopSeconds));
    kill(pid, SIGCONT);
    const Clock::time_point continued = Clock::now();
    Peer joiner(joinerJid + "/py", "pw", server.port);
    if (joiner.command("join", {{"room", room}, {"nick", "Late" + std::string(36, '3') + ":us"}}).count("ok") == 0)
        failRun("the later joiner did not join");
    const double joinedAfter = msSince(continued);
    std::string shown;  // the host's last presence as the joiner has it
    for (const Json& e : joiner.events())
        if (e.count("event") && e.at("event") == "presence" && e.at("from") == room + "/" + nick) shown = e.at("type");
    const bool ghost = !shown.empty() && shown != "unavailable";
    std::printf("%-16s stopped %2d s: %s while stopped %.3f ms; a joiner %.0f ms after it went on saw %s\n",
                server.domain, stopSeconds, release ? "LibDelete (baseline)" : "GetLogOut", logout, joinedAfter,
                ghost ? "a ghost" : "no ghost");
    tern::unpinClientService(server.domain);
}

void run(const Server& server) {
    tern::pinClientService(server.domain, "127.0.0.1", server.port);  // no proxy in between
    const std::string room = testsupport::uniqueName("stall") + "@conference." + server.domain;
    const std::string user = testsupport::uniqueName("sb"), peerJid = testsupport::uniqueName("sp") + "@" + server.domain;
    if (Peer::registerAccount(user + "@" + server.domain, "pw", server.port) == 1 ||
        Peer::registerAccount(peerJid, "pw", server.port) == 1)
        failRun("could not register the accounts");
    Peer peer(peerJid + "/py", "pw", server.port);
    if (peer.command("join", {{"room", room}, {"nick", "Peer" + std::string(36, '9') + ":us"}}).count("ok") == 0)
        failRun("the peer did not join");
    HostRecorder host;
    const std::string nick = "Host" + std::string(36, '1') + ":us";
    void* s = hostInRoom(host, server, user, room, nick);

    const pid_t pid = serverPid(server);
    if (kill(pid, SIGSTOP) != 0) failRun(std::string("cannot stop ") + server.name);
    const Clock::time_point stopped = Clock::now();
    const std::u16string filler(kBodyUnits, u'x');
    double slowest = 0;
    int refused = 0;
    for (int i = 0; i < kMessages; ++i) {
        const std::u16string body = u"m" + wide(std::to_string(i)) + u" " + filler;
        const Clock::time_point t0 = Clock::now();
        refused += SetChatMessage(s, P(body.c_str())) == 0;
        (void)GetUserTotalCount(s);
        slowest = std::max(slowest, msSince(t0));
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 * kStopSeconds / 2 / kMessages));
    }
    while (msSince(stopped) < kStopSeconds * 1000.0) {
        const Clock::time_point t0 = Clock::now();
        (void)IsOwner(s, P(u"00000000-0000-0000-0000-000000000000"));
        slowest = std::max(slowest, msSince(t0));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGCONT);

    const std::string from = room + "/" + nick;
    const auto counts = [&]() {
        std::map<std::string, int> n;
        for (const Json& e : peer.events())
            if (e.count("event") && e.at("event") == "groupchat" && e.at("from") == from)
                ++n[e.at("body").substr(0, e.at("body").find(' '))];
        return n;
    };
    const Clock::time_point continued = Clock::now();
    peer.waitEvent([&](const Json&) { return counts().size() == std::size_t(kMessages - refused); }, 180000);
    const double deliveredAfter = msSince(continued);
    peer.waitEvent([](const Json&) { return false; }, 2000);  // anything doubled would be here by now
    const std::map<std::string, int> heard = counts();
    int doubled = 0;
    for (const auto& h : heard) doubled += h.second > 1;
    int disconnects = 0;
    for (const auto& e : host.events()) disconnects += e.code >= PARLEY_EVENT_DISCONNECTED && e.code <= 21042;
    const Clock::time_point t0 = Clock::now();
    GetLogOut(s);
    const double logout = msSince(t0);
    std::printf("%-9s stopped %d s: slowest exported call %.3f ms; GetLogOut afterwards %.3f ms; %zu of %d messages "
                "reached the room (%d refused, %d doubled) %.0f ms after it went on; host disconnects %d\n",
                server.domain, kStopSeconds, slowest, logout, heard.size(), kMessages, refused, doubled,
                deliveredAfter, disconnects);
    if (heard.size() != std::size_t(kMessages - refused) || doubled || disconnects)
        failRun(std::string(server.domain) + ": messages lost or doubled, or the session ended");
    tern::unpinClientService(server.domain);
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("PARLEY_TESTENV")) failRun("run it in the test environment (scripts/bench stall)");
    SetEncryptionPolicy(PARLEY_ENCRYPTION_ALLOW_PLAINTEXT);  // the test servers are plain TCP
    const bool ghostOnly = argc > 1 && std::string(argv[1]) == "--ghost";
    const Server servers[] = {{"prosody-plain", "smacks.test", 5222}, {"ejabberd", "ejabberd-sm.test", 5322}};
    for (const Server& server : servers) {
        if (!ghostOnly) run(server);
        for (const int seconds : {3, 10, 45})
            if (ghostOnly || seconds == 10) stuckLogOut(server, seconds);
        if (ghostOnly) stuckLogOut(server, 10, true);
    }
    if (!ghostOnly) std::printf("stall_goal_ms 5.0\n");
    return 0;
}

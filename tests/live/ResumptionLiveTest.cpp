// Sessions that survive the network, through the exported C functions: a
// host in a room behind a fault proxy of our own, a slixmpp occupant
// talking to it directly. The host's connection is reset, or goes silent,
// in the middle of the talk.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <thread>

#include "parley.h"
#include "support/FaultProxy.h"
#include "support/HostRecorder.h"
#include "support/Peer.h"
#include "support/TestEnv.h"

using testsupport::FaultProxy;
using testsupport::HostEvent;
using testsupport::HostRecorder;
using testsupport::Json;
using testsupport::P;
using testsupport::Peer;
using testsupport::uniqueName;

namespace {

// Short keepalive intervals, so that silence is noticed within seconds;
// the servers here are plain.
const int kIdleMs = 1500, kTimeoutMs = 1500;
[[maybe_unused]] const bool kSettings = [] {
    setenv("PARLEY_KEEPALIVE", "1500,1500", 1);
    SetEncryptionPolicy(PARLEY_ENCRYPTION_ALLOW_PLAINTEXT);
    return true;
}();

std::u16string wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// A nickname in the hosts' layout: display name, 36-character identifier, tag.
std::string nickname(const std::string& display) {
    std::string id = uniqueName("id");
    while (id.size() < 36) id += "0";
    return display + id.substr(id.size() - 36) + ":us";
}

struct Server {
    std::string domain;
    int port;       // the server itself
    int proxyPort;  // where the domain's SRV record points
};

enum class Fault { Reset, Silence };

bool isDisconnect(const HostEvent& e) { return e.code >= 21024 && e.code <= 21042; }

// The host joins a room through the proxy; the occupant says ten things,
// and the fault strikes after the third. Returns the host's events.
std::vector<HostEvent> talkThroughFault(const Server& server, Fault fault, bool expectResumption) {
    FaultProxy proxy(server.proxyPort, server.port);
    EXPECT_TRUE(proxy.listening());
    const std::string room = uniqueName("resume"), service = "conference." + server.domain;
    const std::string hostUser = uniqueName("rh"), hostNick = nickname("Host");
    const std::string peerJid = uniqueName("rp") + "@" + server.domain, peerNick = nickname("Peer");
    EXPECT_EQ(Peer::registerAccount(hostUser + "@" + server.domain, "pw", server.port), 0);
    EXPECT_EQ(Peer::registerAccount(peerJid, "pw", server.port), 0);

    HostRecorder host;
    void* session = SetLogin(P(wide(hostUser).c_str()), P(u"pw"), P(wide(room).c_str()), P(wide(hostNick).c_str()),
                             P(wide(server.domain).c_str()), P(u"parley"), &host, &HostRecorder::callback);
    EXPECT_TRUE(host.waitForCode(11027));
    Peer peer(peerJid + "/py", "pw", server.port);
    EXPECT_EQ(peer.command("join", {{"room", room + "@" + service}, {"nick", peerNick}}).at("ok"), "true");
    EXPECT_TRUE(host.waitFor([&](const HostEvent& e) {
        return e.code == 11027 && e.utf8().find(peerNick) != std::string::npos;
    }));

    for (int i = 0; i < 10; ++i) {
        peer.command("say", {{"room", room + "@" + service}, {"body", "m" + std::to_string(i)}});
        if (i == 2) fault == Fault::Reset ? proxy.resetAll() : proxy.silenceAll();
        if (i == 4) SetChatMessage(session, P(u"said during the fault"));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const std::string prefix = "NICKNAME=" + peerNick + "_tok_m";
    const auto messages = [&](const std::vector<HostEvent>& all) {
        std::map<std::string, int> seen;
        for (const HostEvent& e : all)
            if (e.code == 11029 && e.utf8().rfind(prefix, 0) == 0) ++seen[e.utf8().substr(prefix.size())];
        return seen;
    };
    if (expectResumption) {
        EXPECT_TRUE(host.waitUntil([&](const std::vector<HostEvent>& all) { return messages(all).size() == 10; },
                                   30000));
        for (const auto& m : messages(host.events())) EXPECT_EQ(m.second, 1) << "message m" << m.first;
        EXPECT_GE(proxy.connections(), 2);
        // What the host said meanwhile arrived, once.
        const std::string hostFrom = room + "@" + service + "/" + hostNick;
        const auto said = [&](const Json& e) {
            return e.count("event") && e.at("event") == "groupchat" && e.at("from") == hostFrom &&
                   e.at("body") == "said during the fault";
        };
        EXPECT_FALSE(peer.waitEvent(said, 15000).empty());
        const auto all = peer.events();
        EXPECT_EQ(std::count_if(all.begin(), all.end(), said), 1);
        // The occupant never saw the host leave.
        for (const Json& e : peer.events())
            EXPECT_FALSE(e.count("event") && e.at("event") == "presence" && e.at("type") == "unavailable" &&
                         e.at("from") == room + "@" + service + "/" + hostNick);
    } else {
        // Noticed within the idle interval and the timeout (and some slack).
        EXPECT_TRUE(host.waitForCode(21031, kIdleMs + kTimeoutMs + 5000));
    }
    GetLogOut(session);
    std::vector<HostEvent> events = host.events();
    EXPECT_EQ(events.back().code, expectResumption ? 21041 : 21031) << HostRecorder::codesOf(events);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(host.events().size(), events.size());  // nothing after the end
    return events;
}

void expectNoDisconnectBeforeLogOut(const std::vector<HostEvent>& events) {
    for (std::size_t i = 0; i + 1 < events.size(); ++i) EXPECT_FALSE(isDisconnect(events[i])) << events[i].code;
}

}  // namespace

TEST(HostResumption, ProsodyResumesAfterAResetAndAfterSilence) {
    REQUIRE_LIVE_SERVERS();
    const Server prosody{"smacks.test", 5222, 5260};
    for (Fault fault : {Fault::Reset, Fault::Silence}) {
        SCOPED_TRACE(fault == Fault::Reset ? "reset" : "silence");
        expectNoDisconnectBeforeLogOut(talkThroughFault(prosody, fault, true));
    }
}

TEST(HostResumption, EjabberdResumesAfterAResetAndAfterSilence) {
    REQUIRE_LIVE_SERVERS();
    const Server ejabberd{"ejabberd-sm.test", 5322, 5262};
    for (Fault fault : {Fault::Reset, Fault::Silence}) {
        SCOPED_TRACE(fault == Fault::Reset ? "reset" : "silence");
        expectNoDisconnectBeforeLogOut(talkThroughFault(ejabberd, fault, true));
    }
}

TEST(HostResumption, WithoutStreamManagementSilenceEndsTheSession) {
    REQUIRE_LIVE_SERVERS();
    talkThroughFault({"nosm.test", 5222, 5261}, Fault::Silence, false);
}

// A moderator kicks the host: it hears its own departure once (11028: the
// room says 307 and 110 together, which the host interface reports as a
// departure), and stays out,
// however many of the room's quiet intervals pass (shortened here to a few
// hundred milliseconds) and whatever a self-ping would say.
TEST(HostResumption, AKickStaysAKick) {
    REQUIRE_LIVE_SERVERS();
    setenv("PARLEY_ROOM_LIVENESS", "2000,300,1000", 1);
    const Server servers[] = {{"example.test", 5222, 0}, {"ejabberd.test", 5322, 0}};
    for (const Server& server : servers) {
        SCOPED_TRACE(server.domain);
        const std::string room = uniqueName("kick"), service = "conference." + server.domain;
        const std::string hostUser = uniqueName("kh"), hostNick = nickname("Host");
        const std::string modJid = uniqueName("km") + "@" + server.domain;
        ASSERT_EQ(Peer::registerAccount(hostUser + "@" + server.domain, "pw", server.port), 0);
        ASSERT_EQ(Peer::registerAccount(modJid, "pw", server.port), 0);
        Peer moderator(modJid + "/py", "pw", server.port);
        ASSERT_EQ(moderator.command("join", {{"room", room + "@" + service}, {"nick", nickname("Mod")}}).at("ok"),
                  "true");
        HostRecorder host;
        void* session = SetLogin(P(wide(hostUser).c_str()), P(u"pw"), P(wide(room).c_str()),
                                 P(wide(hostNick).c_str()), P(wide(server.domain).c_str()), P(u"parley"), &host,
                                 &HostRecorder::callback);
        ASSERT_TRUE(host.waitForCode(11027));
        const std::string hostFrom = room + "@" + service + "/" + hostNick;
        ASSERT_FALSE(moderator.waitEvent([&](const Json& e) { return e.count("from") && e.at("from") == hostFrom; })
                         .empty());
        const Json kicked = moderator.command("raw_iq", {{"type", "set"},
                                     {"to", room + "@" + service},
                                     {"xml", "<query xmlns='http://jabber.org/protocol/muc#admin'><item nick='" +
                                                 hostNick + "' role='none'/></query>"}});
        ASSERT_EQ(kicked.at("ok"), "true") << (kicked.count("error") ? kicked.at("error") : "");
        ASSERT_TRUE(host.waitForCode(11028)) << host.codes();
        const std::size_t afterKick = moderator.events().size();
        std::this_thread::sleep_for(std::chrono::seconds(3));  // ten quiet intervals
        const std::string codes = host.codes();
        EXPECT_EQ(codes.find("11028"), codes.rfind("11028")) << codes;
        EXPECT_EQ(codes.substr(codes.find("11028")), "11028") << codes;  // nothing after it
        const std::vector<Json> seen = moderator.events();
        for (std::size_t i = afterKick; i < seen.size(); ++i)
            EXPECT_FALSE(seen[i].count("event") && seen[i].at("event") == "presence" && seen[i].at("from") == hostFrom &&
                         seen[i].at("type") != "unavailable")
                << "the host came back";
        GetLogOut(session);
    }
    unsetenv("PARLEY_ROOM_LIVENESS");
}

// This process (and the threads it starts from now on) gets a mount
// namespace of its own, where /etc/resolv.conf can be swapped for one whose
// name server never answers.
bool privateResolvConf() {
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}
bool silenceDns(int& server) {
    // Bound, so that queries are not refused at once, and never read.
    server = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    a.sin_addr.s_addr = htonl(0x7F000002);
    const std::string conf = "/tmp/parley-silent-resolv-" + std::to_string(getpid());
    FILE* f = std::fopen(conf.c_str(), "w");
    if (!f) return false;
    std::fputs("nameserver 127.0.0.2\n", f);
    std::fclose(f);
    return bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
           mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
}

// The server is out of reach, and the session is between attempts to
// resume it or in the middle of one whose name lookup never ends: log-out
// returns at once all the same, with 21041 and nothing after it.
TEST(HostResumption, LogOutWhileReconnectingReturnsAtOnce) {
    REQUIRE_LIVE_SERVERS();
    for (const bool silentDns : {false, true}) {
        SCOPED_TRACE(silentDns ? "name lookups go unanswered" : "connections are refused");
        if (silentDns && !privateResolvConf()) {
            GTEST_SKIP() << "no mount namespace for a silent name server";
        }
        auto proxy = std::make_unique<FaultProxy>(5260, 5222);
        const std::string user = uniqueName("rl"), room = uniqueName("resume");
        ASSERT_EQ(Peer::registerAccount(user + "@smacks.test", "pw", 5222), 0);
        HostRecorder host;
        void* session = SetLogin(P(wide(user).c_str()), P(u"pw"), P(wide(room).c_str()),
                                 P(wide(nickname("Host")).c_str()), P(u"smacks.test"), P(u"parley"), &host,
                                 &HostRecorder::callback);
        ASSERT_TRUE(host.waitForCode(11027));
        int dns = -1;
        if (silentDns) {
            ASSERT_TRUE(silenceDns(dns));
        }
        proxy.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        const std::size_t before = host.events().size();
        const auto start = std::chrono::steady_clock::now();
        GetLogOut(session);
        const long long ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        std::printf("GetLogOut took %lld ms\n", ms);
        EXPECT_LT(ms, 1000);  // not the resolver's seconds
        const std::vector<HostEvent> events = host.events();
        ASSERT_EQ(events.size(), before + 1);
        EXPECT_EQ(events.back().code, 21041);
        EXPECT_EQ(events.back().thread, std::this_thread::get_id());
        expectNoDisconnectBeforeLogOut(events);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(host.events().size(), events.size());  // nothing after it
        if (dns >= 0) close(dns);
    }
}

// Sessions that heal across a server restart, through the exported C
// functions: a host and a slixmpp occupant in a persistent, archived room;
// the server restarts under them; the occupant comes back first and talks.
// The host must hear each message once, lose nothing it said meanwhile,
// and see no disconnect at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
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

[[maybe_unused]] const bool kSettings = [] {
    SetEncryptionPolicy(PARLEY_ENCRYPTION_ALLOW_PLAINTEXT);  // the servers here are plain TCP
    return true;
}();

std::u16string wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string nickname(const std::string& display) {
    std::string id = uniqueName("id");
    while (id.size() < 36) id += "0";
    return display + id.substr(id.size() - 36) + ":us";
}

struct Server {
    const char* name;  // for scripts/testenv restart
    std::string domain;
    int port;
    int proxyPort;  // where the domain's SRV record points
};

void restart(const Server& server) {
    const std::string command = std::string(PARLEY_TESTENV_SCRIPT) + " restart " + server.name;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

void healsAcrossARestart(const Server& server) {
    const std::string room = uniqueName("heal"), service = "conference." + server.domain;
    const std::string roomJid = room + "@" + service;
    const std::string hostUser = uniqueName("hh"), hostNick = nickname("Host");
    const std::string peerJid = uniqueName("hp") + "@" + server.domain, peerNick = nickname("Peer");
    ASSERT_EQ(Peer::registerAccount(hostUser + "@" + server.domain, "pw", server.port), 0);
    ASSERT_EQ(Peer::registerAccount(peerJid, "pw", server.port), 0);
    auto peer = std::make_unique<Peer>(peerJid + "/py", "pw", server.port);
    ASSERT_EQ(peer->command("join", {{"room", roomJid}, {"nick", peerNick}}).at("ok"), "true");

    FaultProxy proxy(server.proxyPort, server.port);
    HostRecorder host;
    void* session = SetLogin(P(wide(hostUser).c_str()), P(u"pw"), P(wide(room).c_str()), P(wide(hostNick).c_str()),
                             P(wide(server.domain).c_str()), P(u"parley"), &host, &HostRecorder::callback);
    ASSERT_TRUE(host.waitForCode(11027));
    peer->command("say", {{"room", roomJid}, {"body", "before"}});
    ASSERT_TRUE(host.waitForText(11029, "NICKNAME=" + peerNick + "_tok_before"));

    peer.reset();
    proxy.setClosed(true);  // the host comes back after the occupant
    restart(server);
    SetChatMessage(session, P(u"said during the gap"));
    peer = std::make_unique<Peer>(peerJid + "/py", "pw", server.port);
    ASSERT_EQ(peer->command("join", {{"room", roomJid}, {"nick", peerNick}}).at("ok"), "true");
    for (int i = 1; i <= 3; ++i) peer->command("say", {{"room", roomJid}, {"body", "m" + std::to_string(i)}});
    proxy.setClosed(false);

    const std::string prefix = "NICKNAME=" + peerNick + "_tok_";
    const auto heard = [&](const std::vector<HostEvent>& all) {
        std::map<std::string, int> n;
        for (const HostEvent& e : all)
            if (e.code == 11029 && e.utf8().rfind(prefix, 0) == 0) ++n[e.utf8().substr(prefix.size())];
        return n;
    };
    EXPECT_TRUE(host.waitUntil([&](const std::vector<HostEvent>& all) { return heard(all).count("m3") > 0; }, 60000))
        << HostRecorder::codesOf(host.events());
    const std::string hostFrom = roomJid + "/" + hostNick;
    const auto said = [&](const Json& e) {
        return e.count("event") && e.at("event") == "groupchat" && e.at("from") == hostFrom &&
               e.at("body") == "said during the gap";
    };
    EXPECT_FALSE(peer->waitEvent(said, 30000).empty());
    // The occupant sees the host's nickname come back.
    EXPECT_FALSE(peer->waitEvent([&](const Json& e) {
                         return e.count("event") && e.at("event") == "presence" && e.at("from") == hostFrom &&
                                e.at("type") != "unavailable";
                     }).empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // anything doubled would be here by now
    const std::map<std::string, int> counts = heard(host.events());
    for (const char* m : {"before", "m1", "m2", "m3"}) EXPECT_EQ(counts.count(m) ? counts.at(m) : 0, 1) << m;
    const auto all = peer->events();
    EXPECT_EQ(std::count_if(all.begin(), all.end(), said), 1);
    // No disconnect, and no room error that would mean nothing to the host.
    for (const HostEvent& e : host.events())
        EXPECT_FALSE((e.code >= 21024 && e.code <= 21042) || e.code == 11048 || e.code == 11051 || e.code == 11053 ||
                     (e.code >= 11057 && e.code <= 11076))
            << HostRecorder::codesOf(host.events());
    GetLogOut(session);
}

}  // namespace

TEST(HostHealing, ProsodyRestartedUnderTheSession) {
    REQUIRE_LIVE_SERVERS();
    healsAcrossARestart({"prosody-heal", "heal.test", 5252, 5263});
}

TEST(HostHealing, EjabberdRestartedUnderTheSession) {
    REQUIRE_LIVE_SERVERS();
    healsAcrossARestart({"ejabberd-heal", "eheal.test", 5352, 5264});
}

// The server stops (SIGSTOP) while the host talks, long enough for the
// client to take the link for dead. Prosody 0.12 then refuses the stanzas
// sent again on the resumed stream (a resumed stream keeps the size limit
// of an unauthenticated one: 10,000 bytes); the session is made afresh
// and every message still reaches the room, once. The log shows that the
// refusal happened, else this would prove nothing.
TEST(HostHealing, NothingWaitingIsLostWhenTheResumedStreamIsRefused) {
    REQUIRE_LIVE_SERVERS();
    static std::atomic<int> refusals{0};
    refusals = 0;
    SetLogCallback(
        [](void*, int32_t, int32_t, const TextBuffer* line) {
            const std::u16string said = u"the server ended the stream over what was sent";
            if (std::u16string(reinterpret_cast<const char16_t*>(line->text), static_cast<std::size_t>(line->length))
                    .rfind(said, 0) == 0)
                ++refusals;
        },
        nullptr, 1);
    const Server server{"prosody-heal", "heal.test", 5252, 5263};
    const std::string room = uniqueName("stall"), roomJid = room + "@conference." + server.domain;
    const std::string hostUser = uniqueName("sh"), hostNick = nickname("Host");
    const std::string peerJid = uniqueName("sp") + "@" + server.domain;
    ASSERT_EQ(Peer::registerAccount(hostUser + "@" + server.domain, "pw", server.port), 0);
    ASSERT_EQ(Peer::registerAccount(peerJid, "pw", server.port), 0);
    Peer peer(peerJid + "/py", "pw", server.port);
    ASSERT_EQ(peer.command("join", {{"room", roomJid}, {"nick", nickname("Peer")}}).at("ok"), "true");
    FaultProxy proxy(server.proxyPort, server.port);
    setenv("PARLEY_KEEPALIVE", "2000,2000", 1);  // the link counts as dead after 2 s
    HostRecorder host;
    void* session = SetLogin(P(wide(hostUser).c_str()), P(u"pw"), P(wide(room).c_str()), P(wide(hostNick).c_str()),
                             P(wide(server.domain).c_str()), P(u"parley"), &host, &HostRecorder::callback);
    unsetenv("PARLEY_KEEPALIVE");
    ASSERT_TRUE(host.waitForCode(11027));

    pid_t pid = 0;
    std::ifstream(std::string(std::getenv("PARLEY_TESTENV_DIR")) + "/" + server.name + ".pid") >> pid;
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    const std::u16string filler(10000, u'x');
    constexpr int kCount = 30;
    for (int i = 0; i < kCount; ++i) {
        const std::string number = std::to_string(i);
        EXPECT_EQ(SetChatMessage(session, P((u"m" + wide(number) + u" " + filler).c_str())), 1);
    }
    std::this_thread::sleep_for(std::chrono::seconds(5));  // reconnecting meanwhile, into the backlog
    ASSERT_EQ(kill(pid, SIGCONT), 0);

    const std::string hostFrom = roomJid + "/" + hostNick;
    const auto heard = [&](const std::vector<Json>& events) {
        std::map<std::string, int> n;
        for (const Json& e : events)
            if (e.count("event") && e.at("event") == "groupchat" && e.at("from") == hostFrom)
                ++n[e.at("body").substr(0, e.at("body").find(' '))];
        return n;
    };
    peer.waitEvent([&](const Json&) { return heard(peer.events()).size() == kCount; }, 60000);
    peer.waitEvent([](const Json&) { return false; }, 1000);  // anything doubled would be here by now
    const std::map<std::string, int> counts = heard(peer.events());
    EXPECT_EQ(counts.size(), std::size_t(kCount));
    for (const auto& h : counts) EXPECT_EQ(h.second, 1) << h.first;
    for (const HostEvent& e : host.events())
        EXPECT_FALSE((e.code >= 21024 && e.code <= 21042) || e.code == PARLEY_EVENT_NOT_SENT) << host.codes();
    GetLogOut(session);
    SetLogCallback(nullptr, nullptr, 0);
    EXPECT_GE(refusals.load(), 1) << "the server took everything: the refused stream was not exercised";
}

namespace {

// A server restart drops every occupant; those who come back within the
// grace period (RoomLiveness::kReturnGraceMs, shortened here) were never
// gone for the host (no leave and return, only a change of role is news),
// and one who does not is reported gone, once.
void occupantsBackWithinTheGraceWereNeverGone(const Server& server) {
    const std::string room = uniqueName("grace"), roomJid = room + "@conference." + server.domain;
    const std::string hostUser = uniqueName("gh");
    std::vector<std::string> peers;
    for (int i = 0; i < 2; ++i) {
        peers.push_back(uniqueName("gp") + "@" + server.domain);
        ASSERT_EQ(Peer::registerAccount(peers.back(), "pw", server.port), 0);
    }
    ASSERT_EQ(Peer::registerAccount(hostUser + "@" + server.domain, "pw", server.port), 0);
    const std::string backNick = nickname("Back"), goneNick = nickname("Gone");
    auto back = std::make_unique<Peer>(peers[0] + "/py", "pw", server.port);
    auto gone = std::make_unique<Peer>(peers[1] + "/py", "pw", server.port);
    ASSERT_EQ(back->command("join", {{"room", roomJid}, {"nick", backNick}}).at("ok"), "true");
    // A temporary room: it goes with the restart, and everyone in it.
    back->command("raw_iq", {{"type", "set"}, {"to", roomJid},
                             {"xml", "<query xmlns='http://jabber.org/protocol/muc#owner'><x xmlns='jabber:x:data' "
                                     "type='submit'><field var='FORM_TYPE'><value>http://jabber.org/protocol/"
                                     "muc#roomconfig</value></field><field var='muc#roomconfig_persistentroom'>"
                                     "<value>0</value></field></x></query>"}});
    ASSERT_EQ(gone->command("join", {{"room", roomJid}, {"nick", goneNick}}).at("ok"), "true");
    FaultProxy proxy(server.proxyPort, server.port);
    setenv("PARLEY_ROOM_LIVENESS", "15000,300000,30000,4000", 1);
    HostRecorder host;
    void* session = SetLogin(P(wide(hostUser).c_str()), P(u"pw"), P(wide(room).c_str()),
                             P(wide(nickname("Host")).c_str()), P(wide(server.domain).c_str()), P(u"parley"), &host,
                             &HostRecorder::callback);
    unsetenv("PARLEY_ROOM_LIVENESS");
    ASSERT_TRUE(host.waitUntil([](const std::vector<HostEvent>& all) {
        int present = 0;
        for (const HostEvent& e : all) present += e.code == 11054 || e.code == 11027;
        return present == 3;
    }));
    const std::size_t before = host.events().size();
    restart(server);  // the peers do not leave: the restart drops them
    gone.reset();
    back.reset();
    // The host is in again (it made the room anew: its own rank changed)
    // before Back returns.
    ASSERT_TRUE(host.waitUntil([&](const std::vector<HostEvent>& all) { return all.size() > before + 1; }, 20000));
    for (int i = 0; i < 50 && !(back && back->ready()); ++i) {
        back = std::make_unique<Peer>(peers[0] + "/py", "pw", server.port);
        if (!back->ready()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(back->command("join", {{"room", roomJid}, {"nick", backNick}}).at("ok"), "true");
    const auto about = [&](const std::string& nick, const std::vector<HostEvent>& all) {
        std::vector<int> codes;
        for (std::size_t i = before; i < all.size(); ++i)
            if (all[i].code != 31028 && all[i].utf8().find("NICKNAME=" + nick) != std::string::npos)
                codes.push_back(all[i].code);
        return codes;
    };
    ASSERT_TRUE(host.waitUntil([&](const std::vector<HostEvent>& all) { return !about(goneNick, all).empty(); }, 30000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(about(goneNick, host.events()), std::vector<int>{11028});
    // Back, perhaps with another role (the room was made anew): never gone, never arriving.
    for (const int code : about(backNick, host.events()))
        EXPECT_TRUE(code != 11028 && code != 11027) << HostRecorder::codesOf(host.events());
    GetLogOut(session);
}

}  // namespace

TEST(HostHealing, ProsodyOccupantsBackWithinTheGraceWereNeverGone) {
    REQUIRE_LIVE_SERVERS();
    occupantsBackWithinTheGraceWereNeverGone({"prosody-heal", "heal.test", 5252, 5263});
}

TEST(HostHealing, EjabberdOccupantsBackWithinTheGraceWereNeverGone) {
    REQUIRE_LIVE_SERVERS();
    occupantsBackWithinTheGraceWereNeverGone({"ejabberd-heal", "eheal.test", 5352, 5264});
}

namespace {

// The link goes silent, then the server restarts, while a ban and a
// nickname change are on their way (neither reached the server). The
// occupant comes back first, under the same nickname. The ban is reported
// as not done (sent again it would hit whoever holds the nickname in the
// room now) and nobody is banned; the nickname change is asked for again
// once the host is back in.
void whatWasOutWhenTheServerRestarted(const Server& server) {
    const std::string room = uniqueName("out"), roomJid = room + "@conference." + server.domain;
    const std::string hostUser = uniqueName("oh"), hostNick = nickname("Host"), peerNick = nickname("Peer");
    const std::string peerJid = uniqueName("op") + "@" + server.domain;
    ASSERT_EQ(Peer::registerAccount(hostUser + "@" + server.domain, "pw", server.port), 0);
    ASSERT_EQ(Peer::registerAccount(peerJid, "pw", server.port), 0);
    FaultProxy proxy(server.proxyPort, server.port);
    setenv("PARLEY_KEEPALIVE", "2000,2000", 1);  // the silent link counts as dead after 4 s
    HostRecorder host;
    void* session = SetLogin(P(wide(hostUser).c_str()), P(u"pw"), P(wide(room).c_str()), P(wide(hostNick).c_str()),
                             P(wide(server.domain).c_str()), P(u"parley"), &host, &HostRecorder::callback);
    unsetenv("PARLEY_KEEPALIVE");
    ASSERT_TRUE(host.waitForCode(11027));  // the host made the room: its owner
    auto peer = std::make_unique<Peer>(peerJid + "/py", "pw", server.port);
    ASSERT_EQ(peer->command("join", {{"room", roomJid}, {"nick", peerNick}}).at("ok"), "true");
    ASSERT_TRUE(host.waitFor([&](const HostEvent& e) {
        return e.code == 11027 && e.utf8().find("NICKNAME=" + peerNick) != std::string::npos;
    }));

    proxy.silenceAll();
    const std::string peerId = peerNick.substr(4, 36), renamed = "Renamed" + hostNick.substr(4);
    EXPECT_EQ(SetBan(session, P(wide(peerId).c_str())), 1);
    EXPECT_EQ(SetNickName(session, P(wide(renamed).c_str())), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // written into the silent link
    peer.reset();
    proxy.setClosed(true);  // the host comes back after the occupant
    restart(server);
    peer = std::make_unique<Peer>(peerJid + "/py", "pw", server.port);
    ASSERT_EQ(peer->command("join", {{"room", roomJid}, {"nick", peerNick}}).at("ok"), "true");
    proxy.setClosed(false);

    const auto back = [&](const std::string& nick) {
        return [&, nick](const Json& e) {
            return e.count("event") && e.at("event") == "presence" && e.at("from") == roomJid + "/" + nick &&
                   e.at("type") != "unavailable";
        };
    };
    // Until the host is back (a ban sent again would have put the occupant
    // out before that: 301).
    ASSERT_FALSE(peer->waitEvent(back(hostNick), 60000).empty()) << host.codes();
    EXPECT_FALSE(peer->waitEvent(back(renamed), 10000).empty());
    EXPECT_TRUE(host.waitForCode(PARLEY_EVENT_NOT_SENT)) << host.codes();
    for (const HostEvent& e : host.events())
        if (e.code == PARLEY_EVENT_NOT_SENT) {
            EXPECT_EQ(e.arg4, PARLEY_NOT_SENT_MODERATION);
            EXPECT_EQ(e.utf8(), peerId);
        }
    for (const Json& e : peer->events())
        EXPECT_FALSE(e.count("codes") && e.at("codes").find("301") != std::string::npos) << "banned after all";
    GetLogOut(session);
}

}  // namespace

TEST(HostHealing, ProsodyWhatWasOutWhenTheServerRestarted) {
    REQUIRE_LIVE_SERVERS();
    whatWasOutWhenTheServerRestarted({"prosody-heal", "heal.test", 5252, 5263});
}

TEST(HostHealing, EjabberdWhatWasOutWhenTheServerRestarted) {
    REQUIRE_LIVE_SERVERS();
    whatWasOutWhenTheServerRestarted({"ejabberd-heal", "eheal.test", 5352, 5264});
}

// A room without an archive (ejabberd's "mam" off), whose history the
// restart lost: the occupant said "ok", then "hi"; back first, it says
// "ok" again. The catch-up comes from the history, without stanza-ids:
// the second "ok" is news, not a repeat of the first.
TEST(HostHealing, EjabberdTheSameTextSaidAgainAfterARestart) {
    REQUIRE_LIVE_SERVERS();
    const Server server{"ejabberd-heal", "eheal.test", 5352, 5264};
    const std::string room = uniqueName("again"), roomJid = room + "@conference." + server.domain;
    const std::string hostUser = uniqueName("ah"), peerNick = nickname("Peer");
    const std::string peerJid = uniqueName("ap") + "@" + server.domain;
    ASSERT_EQ(Peer::registerAccount(hostUser + "@" + server.domain, "pw", server.port), 0);
    ASSERT_EQ(Peer::registerAccount(peerJid, "pw", server.port), 0);
    auto peer = std::make_unique<Peer>(peerJid + "/py", "pw", server.port);
    ASSERT_EQ(peer->command("join", {{"room", roomJid}, {"nick", peerNick}}).at("ok"), "true");
    ASSERT_EQ(peer->command("raw_iq", {{"type", "set"}, {"to", roomJid},
                                       {"xml", "<query xmlns='http://jabber.org/protocol/muc#owner'><x xmlns='jabber:x:"
                                               "data' type='submit'><field var='FORM_TYPE'><value>http://jabber.org/"
                                               "protocol/muc#roomconfig</value></field><field var='mam'><value>0"
                                               "</value></field></x></query>"}})
                  .at("ok"),
              "true");
    ASSERT_EQ(peer->command("disco_info", {{"to", roomJid}}).at("features").find("urn:xmpp:mam"), std::string::npos);
    FaultProxy proxy(server.proxyPort, server.port);
    HostRecorder host;
    void* session = SetLogin(P(wide(hostUser).c_str()), P(u"pw"), P(wide(room).c_str()),
                             P(wide(nickname("Host")).c_str()), P(wide(server.domain).c_str()), P(u"parley"), &host,
                             &HostRecorder::callback);
    ASSERT_TRUE(host.waitForCode(11027));
    const std::string prefix = "NICKNAME=" + peerNick + "_tok_";
    for (const char* said : {"ok", "hi"}) {
        peer->command("say", {{"room", roomJid}, {"body", said}});
        ASSERT_TRUE(host.waitForText(11029, prefix + said));
    }
    peer.reset();
    proxy.setClosed(true);  // the host comes back after the occupant
    restart(server);
    peer = std::make_unique<Peer>(peerJid + "/py", "pw", server.port);
    ASSERT_EQ(peer->command("join", {{"room", roomJid}, {"nick", peerNick}}).at("ok"), "true");
    peer->command("say", {{"room", roomJid}, {"body", "ok"}});
    peer->command("say", {{"room", roomJid}, {"body", "marker"}});
    proxy.setClosed(false);
    ASSERT_TRUE(host.waitForText(11029, prefix + "marker", 60000)) << host.codes();
    int oks = 0;
    for (const HostEvent& e : host.events()) oks += e.code == 11029 && e.utf8() == prefix + "ok";
    EXPECT_EQ(oks, 2);
    GetLogOut(session);
}

// A room kept joined on the wire: the join sent once more and then given up,
// the self-ping and what each answer leads to, and the silent rejoin whose
// occupant list is reconciled with what the handler already knew.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <thread>

#include "services/MUCRoom.h"
#include "services/RoomLiveness.h"
#include "services/RoomOccupants.h"
#include "support/FakeSession.h"
#include "support/RoomRecorder.h"

using namespace tern;
using testsupport::FakeSession;
using testsupport::RoomRecorder;

namespace {

const std::string kJoin = "<presence to='room@conf.example.test/me'><x xmlns='http://jabber.org/protocol/muc'/></presence>";
const std::string kRejoin =
    "<presence to='room@conf.example.test/me'><x xmlns='http://jabber.org/protocol/muc'><history maxstanzas='0'/>"
    "</x></presence>";

std::string occupant(const std::string& nick, const std::string& role, const std::string& extra = "") {
    return "<presence from='room@conf.example.test/" + nick + "'><x xmlns='http://jabber.org/protocol/muc#user'>"
           "<item jid='" + nick + "@example.test/r' role='" + role + "' affiliation='none'/>" + extra + "</x></presence>";
}
const std::string kSelf = occupant("me", "moderator", "<status code='110'/>");

struct Room {
    FakeSession s;
    RoomRecorder events;
    std::unique_ptr<MUCRoom> room;
    Room(int joinTimeoutMs, int quietMs, bool managed = false) {
        s.login(managed);
        room = std::make_unique<MUCRoom>(s.client.get(), JID("room@conf.example.test/me"), &events, &events);
        room->liveness()->setIntervals(joinTimeoutMs, quietMs, 60000, RoomLiveness::kRefusedRetryMs, 300);
        room->joinRoom();
    }
    // Receive passes (which fire due deadlines) until done(); at most 3 s.
    bool pumpUntil(const std::function<bool()>& done) {
        for (int i = 0; i < 1500 && !done(); ++i) {
            s.client->receive(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return done();
    }
    std::string awaitSent() {
        std::string out;
        pumpUntil([&] { return !(out += s.sent()).empty(); });
        return out;
    }
    // The next self-ping is answered: not joined.
    void pingSaysNotJoined() {
        const std::string ping = awaitSent();
        const std::size_t at = ping.find("id='") + 4;
        s.says("<iq type='error' id='" + ping.substr(at, ping.find('\'', at) - at) +
               "' from='room@conf.example.test/me'><error type='modify'><not-acceptable "
               "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>");
    }
};

}  // namespace

// What the room answers to a join, step by step: "answer" (the occupant
// list, our presence, a history message and the subject), "refuse:COND",
// "join" (the same join goes out again), "leave"; "b" (another occupant
// comes in), "silently" and "anew" (the room's side of a silent rejoin and
// of a join from scratch).
TEST(RoomLiveness, OneJoinPerJoin) {
    const std::string kLeave =
        "<presence type='unavailable' to='room@conf.example.test/me'><x xmlns='http://jabber.org/protocol/muc'/>"
        "</presence>";
    const std::string kAnswered = "presence a presence me message a: old [history 2026-12-09T10:00:00Z] subject : topic";
    struct Case {
        const char* name;
        std::vector<std::string> steps;
        std::string events;  // what the handler heard, in short
    };
    const Case cases[] = {
        {"answered at once", {"answer"}, kAnswered},
        {"answered the second", {"join", "answer"}, kAnswered},
        {"both answered", {"join", "answer", "answer"}, kAnswered},
        {"never answered: given up, and left", {"join", "leave"}, "error 17"},
        {"refused while the room is torn down", {"refuse:item-not-found", "join", "answer"}, kAnswered},
        {"refused twice", {"refuse:service-unavailable", "join", "refuse:service-unavailable"}, "error 19"},
        {"refused for good at once", {"refuse:forbidden"}, "error 4"},
        // The connection is away for longer than the join's deadline, and
        // the session resumed: the join goes again once, from the queue.
        {"suspended past the deadline", {"suspend", "answer"}, kAnswered},
        // "b" is missing from a silent rejoin's list when a join from
        // scratch follows: the room is heard anew, "b" is never reported gone.
        {"joined anew within a rejoin's grace", {"answer", "b", "silently", "answer", "anew", "answer"},
         kAnswered + " presence b presence a presence me subject : topic"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool managed = c.steps.front() == "suspend";
        Room r(40, 600000, managed);
        r.room->liveness()->setIntervals(40, 600000, 60000, 20, 50);
        EXPECT_EQ(r.s.sent(), managed ? kJoin + "<r xmlns='urn:xmpp:sm:3'/>" : kJoin);
        for (const std::string& step : c.steps) {
            if (step == "suspend") {
                // The deadline passes with the connection gone (nothing runs
                // the session meanwhile).
                std::this_thread::sleep_for(std::chrono::milliseconds(60));
                EXPECT_EQ(r.s.dropAndResume(4), kJoin);  // all but the join had arrived
                for (int i = 0; i < 5; ++i) r.s.client->receive(0);
                EXPECT_EQ(r.s.sent(), "");  // the deadline starts afresh
            } else if (step == "b") {
                r.s.says(occupant("b", "participant"));
            } else if (step == "silently" || step == "anew") {
                r.room->liveness()->joinSent(step == "silently");
            } else if (step == "answer") {
                r.s.says(occupant("a", "participant") + kSelf +
                         "<message from='room@conf.example.test/a' type='groupchat'><body>old</body><delay "
                         "xmlns='urn:xmpp:delay' stamp='2026-12-09T10:00:00Z'/></message><message "
                         "from='room@conf.example.test' type='groupchat'><subject>topic</subject></message>");
            } else if (step.rfind("refuse:", 0) == 0) {
                r.s.says("<presence from='room@conf.example.test/me' type='error'><error type='cancel'><" +
                         step.substr(7) + " xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></presence>");
            } else {
                EXPECT_EQ(r.awaitSent(), step == "join" ? kJoin : kLeave);
            }
        }
        for (int i = 0; i < 40; ++i) r.s.client->receive(0);  // long past every deadline
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        r.s.client->receive(0);
        EXPECT_EQ(r.s.sent(), "");
        std::string heard;
        for (const std::string& l : r.events.lines())
            heard += (heard.empty() ? "" : " ") + l.substr(0, l.find(l.rfind("presence", 0) == 0 ? " show" : "\n"));
        EXPECT_EQ(heard, c.events) << r.events.all();
    }
}

TEST(RoomLiveness, SelfPingAfterQuietAndWhatTheAnswersMean) {
    struct Case {
        const char* name;
        const char* error;  // null: a result
        bool rejoins;
        bool renaming = false;  // a nickname change goes out before the answer comes
    };
    const Case cases[] = {
        {"result", nullptr, false},
        {"our client answered", "service-unavailable", false},
        {"our client does not know pings", "feature-not-implemented", false},
        {"unreachable for now", "remote-server-timeout", false},
        {"the room's server not found for now", "remote-server-not-found", false},
        {"not joined", "not-acceptable", true},
        {"not joined, while the nickname changes", "not-acceptable", false, true},
        {"joined under a nickname changed meanwhile", "item-not-found", false},
        {"any other error from the room", "forbidden", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Room r(600000, 40);
        r.s.sent();
        r.s.says(kSelf);
        const std::string ping = r.awaitSent();
        const std::string prefix = "<iq type='get' id='";
        ASSERT_EQ(ping.rfind(prefix, 0), 0u) << ping;
        const std::string id = ping.substr(prefix.size(), ping.find('\'', prefix.size()) - prefix.size());
        EXPECT_EQ(ping.substr(prefix.size() + id.size()),
                  "' to='room@conf.example.test/me'><ping xmlns='urn:xmpp:ping'/></iq>");
        if (c.renaming) {
            r.room->changeNickname("other");
            EXPECT_NE(r.s.sent().find("room@conf.example.test/other"), std::string::npos);
        }
        r.s.says(c.error ? "<iq type='error' id='" + id + "' from='room@conf.example.test/me'><error type='cancel'><" +
                               c.error + " xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>"
                         : "<iq type='result' id='" + id + "' from='room@conf.example.test/me'/>");
        EXPECT_EQ(r.s.sent(), c.rejoins ? kRejoin : "");
    }
}

TEST(RoomLiveness, SilentRejoinReconcilesTheOccupants) {
    Room r(600000, 40);
    r.s.sent();
    for (const char* nick : {"stays", "leaves", "muted", "late", "later", "taken"}) r.s.says(occupant(nick, "participant"));
    r.s.says(kSelf);
    r.s.says("<message from='room@conf.example.test/stays' type='groupchat'><subject>topic</subject></message>");
    r.pingSaysNotJoined();
    EXPECT_EQ(r.s.sent(), kRejoin);
    r.events.clear();
    // The room as it is now: "muted" lost its voice, "new" came in; "leaves",
    // "late" and "later" are not in the list. Then our own presence and the
    // same subject again.
    r.s.says(occupant("stays", "participant"));
    r.s.says(occupant("muted", "visitor"));
    r.s.says(occupant("new", "participant"));
    r.s.says(kSelf);
    r.s.says("<message from='room@conf.example.test/stays' type='groupchat'><subject>topic</subject></message>");
    // Back within the grace period: "late" as it was (nothing), "later" as a
    // visitor; "taken" by another account, which is somebody else.
    r.s.says(occupant("late", "participant"));
    r.s.says(occupant("later", "visitor"));
    std::string mallory = occupant("taken", "participant");
    mallory.replace(mallory.find("taken@"), 6, "mallory@");
    r.s.says(mallory);
    EXPECT_TRUE(r.pumpUntil([&] { return r.events.lines().size() == 6; })) << r.events.all();
    const std::vector<std::string> lines = r.events.lines();
    ASSERT_EQ(lines.size(), 6u) << r.events.all();
    EXPECT_EQ(lines[0].rfind("presence muted show=1 role=1", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("presence new show=1 role=2", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("presence later show=1 role=1", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3].rfind("presence taken show=6 role=2 aff=0 flags=0 jid=taken@example.test/r", 0), 0u) << lines[3];
    EXPECT_EQ(lines[4].rfind("presence taken show=1 role=2 aff=0 flags=0 jid=mallory@example.test/r", 0), 0u)
        << lines[4];
    // Not back by the end of it: gone, once.
    EXPECT_EQ(lines[5].rfind("presence leaves show=6 role=2 aff=0 flags=0 jid=leaves@example.test/r", 0), 0u)
        << lines[5];
    // A new subject is reported as ever.
    r.s.says("<message from='room@conf.example.test/stays' type='groupchat'><subject>new topic</subject></message>");
    EXPECT_TRUE(r.events.has("subject stays: new topic"));
    // Out again, and this time the room refuses us: everyone the handler
    // knew is reported gone, so that its list and the room agree.
    r.pingSaysNotJoined();
    EXPECT_EQ(r.s.sent(), kRejoin);
    r.events.clear();
    r.s.says("<presence from='room@conf.example.test/me' type='error'><error type='auth'><forbidden "
             "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></presence>");
    std::string heard;
    for (const std::string& l : r.events.lines()) heard += l.substr(0, l.find(" role")) + ";";
    EXPECT_EQ(heard, "presence late show=6;presence later show=6;presence me show=6;presence muted show=6;presence new "
                     "show=6;presence stays show=6;presence taken show=6;error 4;");
    EXPECT_EQ(r.room->state(), RoomState::Ended);
}

// A server that drops us (status 333) and lets us back in every few
// seconds, each time with a room full of occupants never seen before.
// Those known before and missing from a rejoin's list wait out the grace
// period; with those known they stay within the limit (once, 29,999 were
// kept after 4 rejoins, growing by a room's worth every other rejoin).
TEST(RoomLiveness, OccupantsMissingAfterRejoinsStayBounded) {
    Room r(600000, 600000);
    r.room->liveness()->setIntervals(600000, 600000, 60000, RoomLiveness::kRefusedRetryMs, 60000);
    RoomLiveness& live = *r.room->liveness();
    const auto list = [&](int round, bool silently) {
        if (silently) live.joinSent(true);
        std::vector<OccupantInfo> gone;
        for (std::size_t i = 0; i < RoomOccupants::kMaxOccupants; ++i) {
            OccupantInfo o;
            o.nick = JID("room@conf.example.test/r" + std::to_string(round) + "n" + std::to_string(i));
            o.role = RoleParticipant;
            live.admit(o, PresenceShowAvailable, false, gone);
        }
        OccupantInfo self;
        self.nick = JID("room@conf.example.test/me");
        self.role = RoleParticipant;
        self.flags = UserSelf;
        live.admit(self, PresenceShowAvailable, true, gone);
    };
    list(0, false);
    for (int round = 1; round <= 4; ++round) list(round, true);
    const std::size_t kept = live.known().size();
    EXPECT_LE(kept, RoomOccupants::kMaxOccupants + 1);
    // One of the missing comes back, as it was: in again, raising nothing.
    OccupantInfo back;
    back.nick = JID("room@conf.example.test/r0n5");
    back.role = RoleParticipant;
    std::vector<OccupantInfo> gone;
    EXPECT_FALSE(live.admit(back, PresenceShowAvailable, false, gone));
    EXPECT_EQ(live.known().size(), kept);
}

// Our own unavailable presence ends the room session: reported once, and
// neither a self-ping nor a rejoin follows, however quiet the room stays.
// Nor is there a self-ping while a nickname change is pending.
TEST(RoomLiveness, NothingBringsUsBackByItself) {
    const std::string gone = "<presence type='unavailable' from='room@conf.example.test/me'>"
                             "<x xmlns='http://jabber.org/protocol/muc#user'><item role='none' affiliation='none'/>";
    struct Case {
        const char* name;
        std::string script;  // empty: a nickname change instead
        RoomState state;
    };
    const Case cases[] = {
        {"kicked", gone + "<status code='307'/><status code='110'/></x></presence>", RoomState::Ended},
        {"kicked as it shuts down", gone + "<status code='307'/><status code='332'/><status code='110'/></x></presence>",
         RoomState::Ended},
        {"banned as it shuts down", gone + "<status code='301'/><status code='332'/><status code='110'/></x></presence>",
         RoomState::Ended},
        {"banned, over a connection problem",
         gone + "<status code='301'/><status code='333'/><status code='110'/></x></presence>", RoomState::Ended},
        {"banned", gone + "<status code='301'/><status code='110'/></x></presence>", RoomState::Ended},
        {"affiliation removed", gone + "<status code='321'/><status code='110'/></x></presence>", RoomState::Ended},
        {"members only now", gone + "<status code='322'/><status code='110'/></x></presence>", RoomState::Ended},
        {"destroyed", gone + "<destroy/><status code='110'/></x></presence>", RoomState::Ended},
        // Rejoined when a new session follows, or after the join's deadline.
        {"shut down", gone + "<status code='332'/><status code='110'/></x></presence>", RoomState::Interrupted},
        {"nickname change pending", "", RoomState::NickChangePending},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Room r(600000, 40);
        r.s.sent();
        r.s.says(kSelf);
        r.events.clear();
        if (c.script.empty())
            r.room->changeNickname("other");
        else
            r.s.says(c.script);
        const std::string sent = r.s.sent();
        for (int i = 0; i < 60; ++i) {  // well past the quiet interval
            r.s.client->receive(1000);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_EQ(r.s.sent(), "");
        EXPECT_EQ(r.room->state(), c.state);
        EXPECT_EQ(r.events.lines().size(), c.script.empty() ? 0u : 1u) << r.events.all();
        if (c.script.empty()) {
            EXPECT_EQ(sent, "<presence to='room@conf.example.test/other'/>");
        }
    }
}

// The server restarted and forgot the session: a new one is made, and the
// room is joined again and caught up, from its archive when it keeps one,
// else from its history. What the handler had is dropped by stanza-id, and
// our own message goes again only if the room never had it (origin-id).
TEST(RoomLiveness, CaughtUpAfterANewSession) {
    const auto said = [](const std::string& nick, const std::string& body, const std::string& id,
                         const std::string& extra = "") {
        return "<message from='room@conf.example.test/" + nick + "' type='groupchat'><body>" + body + "</body>" + extra +
               "<stanza-id xmlns='urn:xmpp:sid:0' by='room@conf.example.test' id='" + id + "'/></message>";
    };
    const std::string delay = "<delay xmlns='urn:xmpp:delay' stamp='2026-12-09T10:00:00Z'/>";
    for (const bool archive : {true, false}) {
        SCOPED_TRACE(archive ? "from the archive" : "from the history");
        Room r(600000, 600000, true);
        r.s.says(occupant("a", "participant") + kSelf + said("a", "before", "S1"));
        r.room->sendMessage("mine");
        const std::string sentMine = r.s.sent();
        const std::size_t at = sentMine.find("<origin-id xmlns='urn:xmpp:sid:0' id='") + 38;
        const std::string mine = sentMine.substr(at, sentMine.find('\'', at) - at);
        r.events.clear();
        const std::string probe = r.s.dropAndRenew();
        ASSERT_NE(probe.find("http://jabber.org/protocol/disco#info"), std::string::npos) << probe;
        r.s.says("<iq type='result' from='room@conf.example.test' id='" + testsupport::idOf(probe, "disco#info") +
                 "'><query xmlns='http://jabber.org/protocol/disco#info'>" +
                 (archive ? "<feature var='urn:xmpp:mam:2'/>" : "") + "</query></iq>");
        const std::string rejoin = r.s.sent();
        EXPECT_NE(rejoin.find(archive ? "<history maxstanzas='0'/>" : "<history since='"), std::string::npos) << rejoin;
        r.s.says(occupant("a", "participant") + kSelf);
        const std::string ours = "<origin-id xmlns='urn:xmpp:sid:0' id='" + mine + "'/>";
        if (archive) {
            const std::string query = r.s.sent();
            EXPECT_NE(query.find("<after>S1</after>"), std::string::npos) << query;
            const std::size_t q = query.find("queryid='") + 9;
            const std::string queryId = query.substr(q, query.find('\'', q) - q);
            std::string results;
            for (const auto& m : {said("a", "before", "S1"), said("a", "new", "S2"), said("me", "mine", "S3", ours)})
                results += "<message from='room@conf.example.test'><result xmlns='urn:xmpp:mam:2' queryid='" +
                           queryId + "' id='" + m.substr(m.rfind("id='") + 4, 2) +
                           "'><forwarded xmlns='urn:xmpp:forward:0'>" + delay + m + "</forwarded></result></message>";
            r.s.says(results + "<iq type='result' from='room@conf.example.test' id='" +
                     testsupport::idOf(query, "urn:xmpp:mam:2") + "'><fin xmlns='urn:xmpp:mam:2' complete='true'/></iq>");
        } else {
            // Another occupant's message showing our origin-id proves nothing,
            // and a subject in a private message is not the room's: it ends
            // no history.
            r.s.says("<message from='room@conf.example.test/mallory' type='chat'><subject>forged</subject></message>" +
                     said("a", "before", "S1", delay) + said("a", "new", "S2", delay) +
                     said("mallory", "spoof", "S4", delay + ours) +
                     "<message from='room@conf.example.test' type='groupchat'><subject>t</subject></message>");
        }
        std::string heard;
        for (const std::string& l : r.events.lines()) heard += l.substr(0, l.find(" [")) + ";";
        EXPECT_EQ(heard, archive ? "message a: new;message me: mine;" : "message a: new;message mallory: spoof;subject : t;");
        // The archive had ours; the history did not show it: it goes again.
        const std::string after = r.s.sent();
        EXPECT_EQ(after.find("<body>mine</body>") != std::string::npos, !archive) << after;
    }
}

// Requests about the room that were out when the server forgot the
// session. Answered, they are done and never go again. A moderation that
// got no answer may or may not have been carried out, and sent again it
// could hit whoever holds the nickname in the room made anew: it is
// reported as not sent; so is a subject change the room did not report,
// which sent again could replace a newer subject. A nickname change the
// room never confirmed is asked for again once we are back in under the
// old name.
TEST(RoomLiveness, WhatWasOutWhenTheSessionWasLost) {
    struct Case {
        const char* name;
        std::function<void(MUCRoom&)> ask;
        std::string answer;  // ID: the request's id
        bool reported;
        std::string afterRejoin;
    };
    const std::string error = "<error type='cancel'><not-allowed xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error>";
    const Case cases[] = {
        {"a kick answered", [](MUCRoom& m) { m.kick("b"); },
         "<iq type='result' id='ID' from='room@conf.example.test'/>", false, ""},
        {"a ban refused", [](MUCRoom& m) { m.ban("b"); },
         "<iq type='error' id='ID' from='room@conf.example.test'>" + error + "</iq>", false, ""},
        {"a kick unanswered", [](MUCRoom& m) { m.kick("b"); }, "", true, ""},
        {"a kick answered by someone else", [](MUCRoom& m) { m.kick("b"); },
         "<iq type='result' id='ID' from='b@example.test/r'/>", true, ""},
        {"a destruction unanswered", [](MUCRoom& m) { m.destroy(); }, "", true, ""},
        {"a nickname change unconfirmed", [](MUCRoom& m) { m.changeNickname("new"); }, "", false,
         "<presence to='room@conf.example.test/new'/>"},
        {"a subject change unreported", [](MUCRoom& m) { m.changeSubject("a & b"); }, "", true, ""},
        {"a subject change reported by the room", [](MUCRoom& m) { m.changeSubject("a & b"); },
         "<message from='room@conf.example.test/me' type='groupchat'><subject>a &amp; b</subject></message>", false, ""},
        {"a subject change reported as another's", [](MUCRoom& m) { m.changeSubject("a & b"); },
         "<message from='room@conf.example.test/b' type='groupchat'><subject>a &amp; b</subject></message>", true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Room r(600000, 600000, true);
        r.s.says(occupant("b", "participant") + kSelf);
        r.s.sent();
        c.ask(*r.room);
        const std::string request = r.s.sent();
        const std::string id = testsupport::idOf(request, "http://jabber.org/protocol/muc#");
        std::string answer = c.answer;
        if (answer.find("ID") != std::string::npos) answer.replace(answer.find("ID"), 2, id);
        if (!answer.empty()) r.s.says(answer);
        const std::string renewed = r.s.dropAndRenew();
        EXPECT_EQ(renewed.find("muc#admin"), std::string::npos) << renewed;
        EXPECT_EQ(renewed.find("muc#owner"), std::string::npos) << renewed;
        EXPECT_EQ(r.s.listener.joined().find("unsent:<") != std::string::npos, c.reported)
            << r.s.listener.joined();
        r.s.says("<iq type='result' from='room@conf.example.test' id='" + testsupport::idOf(renewed, "disco#info") +
                 "'><query xmlns='http://jabber.org/protocol/disco#info'/></iq>");
        const std::string rejoin = r.s.sent();
        EXPECT_NE(rejoin.find("<presence to='room@conf.example.test/me'>"), std::string::npos) << rejoin;
        r.s.says(occupant("b", "participant") + kSelf +
                 "<message from='room@conf.example.test' type='groupchat'><subject>t</subject></message>");
        const std::string after = r.s.sent();
        EXPECT_EQ(after.find("muc#"), std::string::npos) << after;
        EXPECT_EQ(after.find("<subject>"), std::string::npos) << after;
        EXPECT_EQ(after.rfind(c.afterRejoin, 0), 0u) << after;
        if (!c.afterRejoin.empty()) {
            r.s.says("<presence from='room@conf.example.test/me' type='unavailable'><x xmlns='http://jabber.org/protocol/"
                     "muc#user'><item nick='new' role='moderator'/><status code='303'/><status code='110'/></x>"
                     "</presence>");
            EXPECT_EQ(r.room->nickname(), "new");
        }
    }
}

// Only the service shut down (332) and the session goes on: after the
// join's deadline the room is joined again. Its history has no stanza-ids:
// what repeats is only its opening run that matches, one for one and in
// order, the last messages heard; the rest is new, and so is everything
// from a room made anew. Each "said" is "nick:text" (live before the loss)
// or "nick:text@seconds" (in the history, dated that far from now).
TEST(RoomLiveness, BackAfterTheServiceShutDownWithHistoryByText) {
    const auto said = [](const std::string& what) {
        const std::size_t colon = what.find(':'), at = what.find('@');
        std::string delay;
        if (at != std::string::npos) {
            const std::time_t t = std::chrono::system_clock::to_time_t(
                std::chrono::system_clock::now() + std::chrono::seconds(std::stoi(what.substr(at + 1))));
            char text[32];
            std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
            delay = "<delay xmlns='urn:xmpp:delay' stamp='" + std::string(text) + "'/>";
        }
        return "<message from='room@conf.example.test/" + what.substr(0, colon) + "' type='groupchat'><body>" +
               what.substr(colon + 1, at == std::string::npos ? at : at - colon - 1) + "</body>" + delay + "</message>";
    };
    struct Case {
        const char* name;
        std::vector<std::string> before, history;
        std::string heard;
        bool madeAnew = false;
    };
    const Case cases[] = {
        {"a repeat, and the same text dated after we went out", {"a:ok"}, {"a:ok@-5", "a:ok@300"}, "a: ok;"},
        {"heard once, twice in the history: one is new", {"a:ok"}, {"a:ok@-5", "a:ok@10"}, "a: ok;"},
        {"the last ones heard again, in order, then new", {"a:x", "b:y", "a:ok"},
         {"b:y@-20", "a:ok@-5", "a:ok@5", "b:y@6"}, "a: ok;b: y;"},
        // The room lost its history with the restart: said again at once.
        {"not the last one heard: new", {"a:ok", "b:hi"}, {"a:ok@10"}, "a: ok;"},
        {"out of the order heard: new", {"a:ok", "b:hi"}, {"b:hi@-3", "a:ok@2"}, "a: ok;"},
        {"the room made anew", {"a:ok"}, {"a:ok@10"}, "a: ok;", true},
        // ejabberd 23.01 keeps an occupant's own <delay from='room'/> as
        // the history's only stamp (seen live, dated 2099): a stamp from
        // the future must not cut the repeats short.
        {"an occupant's stamp from the future, kept by the room", {"a:x", "e:hi"}, {"a:x@-20", "e:hi@100000000"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Room r(40, 600000);
        std::string before;
        for (const std::string& s : c.before) before += said(s);
        r.s.says(occupant("a", "participant") + occupant("b", "participant") + kSelf +
                 "<message from='room@conf.example.test' type='groupchat'><subject>t</subject></message>" + before);
        r.s.sent();
        r.events.clear();
        r.s.says("<presence type='unavailable' from='room@conf.example.test/me'><x xmlns='http://jabber.org/protocol/"
                 "muc#user'><item role='none' affiliation='none'/><status code='332'/><status code='110'/></x>"
                 "</presence>");
        const std::string probe = r.awaitSent();
        ASSERT_NE(probe.find("disco#info"), std::string::npos) << probe;
        r.s.says("<iq type='result' from='room@conf.example.test' id='" + testsupport::idOf(probe, "disco#info") +
                 "'><query xmlns='http://jabber.org/protocol/disco#info'/></iq>");
        EXPECT_NE(r.s.sent().find("<history since='"), std::string::npos);
        std::string history;
        for (const std::string& s : c.history) history += said(s);
        r.s.says(occupant("a", "participant") + occupant("b", "participant") +
                 occupant("me", "moderator", std::string("<status code='110'/>") +
                                                 (c.madeAnew ? "<status code='201'/>" : "")) +
                 history + "<message from='room@conf.example.test' type='groupchat'><subject>t</subject></message>");
        std::string heard;
        for (const std::string& l : r.events.lines())
            if (l.rfind("message ", 0) == 0) heard += l.substr(8, l.find(" [") - 8) + ";";
        EXPECT_EQ(heard, c.heard) << r.events.all();
        EXPECT_EQ(r.room->state(), RoomState::Joined);
    }
}

// The records behind reconciliation: a real address that changes keeps the
// record's mark, and what a rejoin's list leaves out comes back whole.
TEST(RoomOccupants, MarksSurviveChangesAndTheDroppedComeBackWhole) {
    RoomOccupants known;
    auto info = [](int i, const std::string& jid) {
        OccupantInfo o;
        o.nick = JID("room@conf.example.test/n" + std::to_string(i));
        if (!jid.empty()) o.jid = JID(jid);
        o.role = RoleParticipant;
        o.tc = i;
        return o;
    };
    for (int i = 0; i < 100; ++i) known.update(info(i, i % 2 ? "" : "u@example.test/r"), PresenceShowAvailable, false);
    known.unmarkAll();
    for (int i = 1; i < 100; ++i) {
        const auto change = known.update(info(i, "v@example.test/" + std::to_string(i)), PresenceShowAvailable, true);
        EXPECT_TRUE(change.sameRank);
        EXPECT_FALSE(change.samePresence);
    }
    const std::vector<OccupantInfo> dropped = known.dropUnmarked();
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0].nick.full(), "room@conf.example.test/n0");
    EXPECT_EQ(dropped[0].jid->full(), "u@example.test/r");
    EXPECT_EQ(dropped[0].role, RoleParticipant);
    const std::vector<OccupantInfo> all = known.all();
    ASSERT_EQ(all.size(), 99u);
    EXPECT_EQ(all[0].nick.resource(), "n1");
    EXPECT_EQ(all[0].jid->full(), "v@example.test/1");
    EXPECT_EQ(all[98].tc, 99);
    EXPECT_TRUE(known.dropUnmarked().size() == 99u);  // marks last for one rejoin only

    // No room makes a session hold without bound: past the limit newcomers
    // are not recorded, but for ourselves, and those recorded still change.
    for (int i = 0; i < static_cast<int>(RoomOccupants::kMaxOccupants); ++i)
        ASSERT_TRUE(known.update(info(i, ""), PresenceShowAvailable, false).recorded);
    OccupantInfo late = info(-1, "");
    EXPECT_FALSE(known.update(late, PresenceShowAvailable, false).recorded);
    late.flags = UserSelf;
    EXPECT_TRUE(known.update(late, PresenceShowAvailable, false).recorded);
    EXPECT_FALSE(known.update(info(-2, ""), PresenceShowAvailable, false).recorded);
    late = info(-3, "");
    late.flags = UserSelf;
    EXPECT_FALSE(known.update(late, PresenceShowAvailable, false).recorded);  // one place more, not two
    EXPECT_TRUE(known.update(info(5, ""), PresenceAway, false).recorded);
    EXPECT_EQ(known.size(), RoomOccupants::kMaxOccupants + 1);
    EXPECT_FALSE(known.erase("n-2").has_value());
}

// A room kept joined on the wire: the join sent once more and then given up,
// the self-ping and what each answer leads to, and the silent rejoin whose
// occupant list is reconciled with what the handler already knew.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "services/MUCRoom.h"
#include "services/RoomLiveness.h"
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
    Room(int joinTimeoutMs, int quietMs) {
        s.login();
        room = std::make_unique<MUCRoom>(s.client.get(), JID("room@conf.example.test/me"), &events, &events);
        room->liveness()->setIntervals(joinTimeoutMs, quietMs, 60000);
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
};

}  // namespace

TEST(RoomLiveness, AnUnansweredJoinIsSentOnceMoreThenGivenUp) {
    struct Case {
        const char* name;
        int answerAfterJoins;  // 0: never
        const char* lastEvent;
    };
    for (const Case& c : {Case{"answered at once", 1, "presence me"}, Case{"answered the second", 2, "presence me"},
                          Case{"never answered", 0, "error 17"}}) {
        SCOPED_TRACE(c.name);
        Room r(40, 600000);
        EXPECT_EQ(r.s.sent(), kJoin);
        if (c.answerAfterJoins == 1) r.s.says(kSelf);
        if (c.answerAfterJoins != 1) {
            EXPECT_EQ(r.awaitSent(), kJoin);  // the same join, once more
            if (c.answerAfterJoins == 2) r.s.says(kSelf);
        }
        r.pumpUntil([&] { return !r.events.lines().empty(); });
        for (int i = 0; i < 40; ++i) r.s.client->receive(0);  // long past the join's deadline
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        r.s.client->receive(0);
        EXPECT_EQ(r.s.sent(), "");
        ASSERT_EQ(r.events.lines().size(), 1u) << r.events.all();
        EXPECT_EQ(r.events.lines()[0].rfind(c.lastEvent, 0), 0u) << r.events.all();
    }
}

TEST(RoomLiveness, SelfPingAfterQuietAndWhatTheAnswersMean) {
    struct Case {
        const char* name;
        const char* error;  // null: a result
        bool rejoins;
    };
    const Case cases[] = {
        {"result", nullptr, false},
        {"our client answered", "service-unavailable", false},
        {"unreachable for now", "remote-server-timeout", false},
        {"not joined", "not-acceptable", true},
        {"not joined under that name", "item-not-found", true},
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
        r.s.says(c.error ? "<iq type='error' id='" + id + "' from='room@conf.example.test/me'><error type='cancel'><" +
                               c.error + " xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>"
                         : "<iq type='result' id='" + id + "' from='room@conf.example.test/me'/>");
        EXPECT_EQ(r.s.sent(), c.rejoins ? kRejoin : "");
    }
}

TEST(RoomLiveness, SilentRejoinReconcilesTheOccupants) {
    Room r(600000, 40);
    r.s.sent();
    r.s.says(occupant("stays", "participant"));
    r.s.says(occupant("leaves", "participant"));
    r.s.says(occupant("muted", "participant"));
    r.s.says(kSelf);
    r.s.says("<message from='room@conf.example.test/stays' type='groupchat'><subject>topic</subject></message>");
    const std::string ping = r.awaitSent();
    const std::size_t at = ping.find("id='") + 4;
    r.s.says("<iq type='error' id='" + ping.substr(at, ping.find('\'', at) - at) +
             "' from='room@conf.example.test/me'><error type='modify'><not-acceptable "
             "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>");
    EXPECT_EQ(r.s.sent(), kRejoin);
    r.events.clear();
    // The room as it is now: "leaves" is gone, "muted" lost its voice, "new"
    // came in; then our own presence and the same subject again.
    r.s.says(occupant("stays", "participant"));
    r.s.says(occupant("muted", "visitor"));
    r.s.says(occupant("new", "participant"));
    r.s.says(kSelf);
    r.s.says("<message from='room@conf.example.test/stays' type='groupchat'><subject>topic</subject></message>");
    const std::vector<std::string> lines = r.events.lines();
    ASSERT_EQ(lines.size(), 3u) << r.events.all();
    EXPECT_EQ(lines[0].rfind("presence muted show=1 role=1", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("presence new show=1 role=2", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("presence leaves show=6 role=2 aff=0 flags=0 jid=leaves@example.test/r", 0), 0u)
        << lines[2];
    // A new subject is reported as ever.
    r.s.says("<message from='room@conf.example.test/stays' type='groupchat'><subject>new topic</subject></message>");
    EXPECT_TRUE(r.events.has("subject stays: new topic"));
}

// Chat rooms on the test environment's Prosody, with real slixmpp occupants.
#include <gtest/gtest.h>

#include "services/MUCRoom.h"
#include "services/MessageSession.h"
#include "support/LiveClient.h"
#include "support/Peer.h"
#include "support/RoomRecorder.h"

using namespace tern;
using testsupport::Json;
using testsupport::LiveClient;
using testsupport::Peer;
using testsupport::RoomRecorder;
using testsupport::uniqueName;

namespace {

const std::string kService = "conference." + testsupport::liveDomain();

struct Account {
    std::string bare;
    std::string password;
};

Account newAccount(const std::string& prefix) {
    Account a{uniqueName(prefix) + "@" + testsupport::liveDomain(), "pw"};
    EXPECT_EQ(Peer::registerAccount(a.bare, a.password), 0);
    return a;
}

// Our client in one room, on its own receiving thread.
struct Occupant {
    Occupant(const std::string& room, const std::string& nick) : account(newAccount("c")) {
        client = std::make_unique<LiveClient>(std::make_unique<Client>(JID(account.bare + "/parley"), account.password));
        client->start();
        EXPECT_TRUE(client->waitConnected());
        this->room = std::make_unique<MUCRoom>(&**client, JID(room + "@" + kService + "/" + nick), &events, &events);
    }
    ~Occupant() {
        room.reset();
        client->stop();
    }
    // Joins and waits for the own presence.
    bool join() {
        room->joinRoom();
        return events.waitFor("presence " + room->nickname() + " show=1");
    }
    Account account;
    RoomRecorder events;
    std::unique_ptr<LiveClient> client;
    std::unique_ptr<MUCRoom> room;
};

// A slixmpp occupant.
struct PeerOccupant {
    explicit PeerOccupant(const std::string& prefix) : account(newAccount(prefix)), peer(account.bare + "/py", "pw") {}
    Json join(const std::string& room, const std::string& nick) {
        return peer.command("join", {{"room", room + "@" + kService}, {"nick", nick}});
    }
    // The next presence the peer sees from room/nick that satisfies the test.
    Json presenceFrom(const std::string& room, const std::string& nick,
                      const std::function<bool(const Json&)>& also = [](const Json&) { return true; }) {
        const std::string from = room + "@" + kService + "/" + nick;
        return peer.waitEvent([&](const Json& e) {
            return e.count("event") && e.at("event") == "presence" && e.at("from") == from && also(e);
        });
    }
    Account account;
    Peer peer;
};

bool hasCode(const Json& e, const std::string& code) {
    if (!e.count("codes")) return false;
    const std::string codes = " " + e.at("codes") + " ";
    return codes.find(" " + code + " ") != std::string::npos;
}

std::string field(const Json& j, const std::string& key) { return j.count(key) ? j.at(key) : std::string("(none)"); }

}  // namespace

TEST(LiveRoom, CreateAcceptAsInstantRoomAndSeeAPeerJoin) {
    REQUIRE_LIVE_SERVERS();
    const std::string room = uniqueName("r");
    Occupant us(room, "owner");
    ASSERT_TRUE(us.join()) << us.events.all();
    EXPECT_TRUE(us.events.waitFor("admin ok 1")) << us.events.all();  // the instant-room acknowledgement
    EXPECT_TRUE(us.events.has("created"));
    EXPECT_TRUE(us.room->created());
    EXPECT_EQ(us.room->ownRole(), RoleModerator);
    EXPECT_EQ(us.room->ownAffiliation(), AffiliationOwner);
    EXPECT_TRUE(us.room->flags() & FlagNonAnonymous);
    EXPECT_TRUE(us.events.waitFor("subject : "));  // the empty subject of a new room

    PeerOccupant alice("alice");
    EXPECT_EQ(field(alice.join(room, "alice"), "role"), "participant");
    EXPECT_TRUE(us.events.waitFor("presence alice show=1 role=2 aff=0 flags=0 jid=" + alice.peer.jid()))
        << us.events.all();
    // The peer sees us as owner and moderator, with our real address.
    const Json seen = alice.presenceFrom(room, "owner");
    EXPECT_EQ(field(seen, "role"), "moderator");
    EXPECT_EQ(field(seen, "affiliation"), "owner");

    // A peer leaving.
    alice.peer.command("leave", {{"room", room + "@" + kService}, {"nick", "alice"}});
    EXPECT_TRUE(us.events.waitFor("presence alice show=6 role=0 aff=0 flags=0")) << us.events.all();
}

TEST(LiveRoom, JoinAnExistingRoomSeesEveryOccupantThenItself) {
    REQUIRE_LIVE_SERVERS();
    const std::string room = uniqueName("r");
    PeerOccupant alice("alice"), bob("bob");
    ASSERT_EQ(field(alice.join(room, "alice"), "affiliation"), "owner");
    ASSERT_EQ(field(bob.join(room, "bob"), "role"), "participant");
    Occupant us(room, "me");
    ASSERT_TRUE(us.join());
    const auto occupants = us.events.occupantsCopy();
    ASSERT_EQ(occupants.size(), 3u) << us.events.all();
    EXPECT_EQ(occupants[2].nick.resource(), "me");  // the own presence comes last, with 110
    EXPECT_EQ(occupants[2].flags, UserSelf);
    for (int i = 0; i < 2; ++i) {
        const auto& o = occupants[i];
        ASSERT_TRUE(o.jid.has_value());
        if (o.nick.resource() == "alice") {
            EXPECT_EQ(o.role, RoleModerator);
            EXPECT_EQ(o.affiliation, AffiliationOwner);
            EXPECT_EQ(o.jid->full(), alice.peer.jid());
        } else {
            EXPECT_EQ(o.nick.resource(), "bob");
            EXPECT_EQ(o.role, RoleParticipant);
            EXPECT_EQ(o.affiliation, AffiliationNone);
        }
    }
    EXPECT_FALSE(us.room->created());
    EXPECT_EQ(us.room->ownRole(), RoleParticipant);
}

TEST(LiveRoom, NicknameChangesBothWaysAndAConflict) {
    REQUIRE_LIVE_SERVERS();
    const std::string room = uniqueName("r");
    Occupant us(room, "me");
    ASSERT_TRUE(us.join());
    PeerOccupant alice("alice");
    alice.join(room, "alice");
    ASSERT_TRUE(us.events.waitFor("presence alice show=1"));

    // The peer's change: unavailable with 303 and the new nickname, then the new one.
    EXPECT_EQ(alice.peer.command("nick", {{"room", room + "@" + kService}, {"nick", "alicia"}}).at("ok"), "true");
    EXPECT_TRUE(us.events.waitFor("presence alice show=6 role=2 aff=0 flags=2 jid=" + alice.peer.jid() + " new=alicia"))
        << us.events.all();
    EXPECT_TRUE(us.events.waitFor("presence alicia show=1"));

    // Ours: pending until the room confirms.
    us.room->changeNickname("myself");
    EXPECT_TRUE(us.events.waitFor("presence myself show=1")) << us.events.all();
    EXPECT_EQ(us.room->nickname(), "myself");
    EXPECT_EQ(us.room->pendingNickname(), "");
    EXPECT_TRUE(alice.presenceFrom(room, "me", [](const Json& e) { return hasCode(e, "303"); }).size() > 0);

    // Taken: the room refuses, and nothing changes.
    us.room->changeNickname("alicia");
    EXPECT_TRUE(us.events.waitFor("error 2")) << us.events.all();
    EXPECT_TRUE(us.room->joined());
    EXPECT_EQ(us.room->nickname(), "myself");
    EXPECT_EQ(us.room->pendingNickname(), "");
    us.room->sendMessage("still here");
    EXPECT_EQ(field(alice.peer.waitEvent([](const Json& e) { return field(e, "event") == "groupchat" && field(e, "body") == "still here"; }),
                    "from"),
              room + "@" + kService + "/myself");
}

TEST(LiveRoom, MessagesAndSubjectsBothWays) {
    REQUIRE_LIVE_SERVERS();
    const std::string room = uniqueName("r");
    Occupant us(room, "me");
    ASSERT_TRUE(us.join());
    PeerOccupant alice("alice");
    alice.join(room, "alice");
    ASSERT_TRUE(us.events.waitFor("presence alice show=1"));

    const std::string text = "Grüße, 世界 🎉 <b>&amp;</b> 'quoted' \"double\"";
    us.room->sendMessage(text);
    const Json got = alice.peer.waitEvent([&](const Json& e) { return field(e, "event") == "groupchat" && field(e, "body") == text; });
    EXPECT_EQ(field(got, "from"), room + "@" + kService + "/me");
    EXPECT_TRUE(us.events.waitFor("message me: " + text));  // the room's echo reaches us too

    alice.peer.command("say", {{"room", room + "@" + kService}, {"body", "ça va? <tc>x</tc>"}});
    EXPECT_TRUE(us.events.waitFor("message alice: ça va? <tc>x</tc>")) << us.events.all();

    // We own the room: our subject reaches the peer.
    us.room->changeSubject("Tonight: 🎬");
    EXPECT_EQ(field(alice.peer.waitEvent([](const Json& e) { return field(e, "event") == "subject" && field(e, "subject") == "Tonight: 🎬"; }),
                    "from"),
              room + "@" + kService + "/me");
    // The peer may change it once it is a moderator.
    alice.peer.command("subject", {{"room", room + "@" + kService}, {"subject", "not yet"}});
    EXPECT_EQ(field(alice.peer.waitEvent([](const Json& e) { return field(e, "event") == "message_error"; }), "condition"),
              "forbidden");
    us.room->setRole("alice", RoleModerator);
    ASSERT_TRUE(us.events.waitFor("admin ok 10"));
    alice.peer.command("subject", {{"room", room + "@" + kService}, {"subject", "Later: 📺"}});
    EXPECT_TRUE(us.events.waitFor("subject alice: Later: 📺")) << us.events.all();
    EXPECT_FALSE(us.events.has("subject alice: not yet"));
}

TEST(LiveRoom, ModerationSeenByThePeer) {
    REQUIRE_LIVE_SERVERS();
    const std::string room = uniqueName("r");
    Occupant us(room, "boss");
    ASSERT_TRUE(us.join());
    ASSERT_TRUE(us.events.waitFor("admin ok 1"));
    PeerOccupant alice("alice");
    alice.join(room, "alice");
    ASSERT_TRUE(us.events.waitFor("presence alice show=1"));
    auto rolePresence = [&](const std::string& role) {
        return alice.presenceFrom(room, "alice", [&](const Json& e) { return field(e, "role") == role; });
    };

    us.room->revokeVoice("alice");
    EXPECT_TRUE(us.events.waitFor("admin ok 8"));
    EXPECT_FALSE(rolePresence("visitor").empty());
    EXPECT_TRUE(us.events.waitFor("presence alice show=1 role=1"));
    us.room->grantVoice("alice");
    EXPECT_TRUE(us.events.waitFor("admin ok 9"));
    us.room->setRole("alice", RoleModerator);
    EXPECT_TRUE(us.events.waitFor("admin ok 10"));
    EXPECT_FALSE(rolePresence("moderator").empty());
    us.room->setRole("alice", RoleParticipant);
    EXPECT_TRUE(us.events.waitFor("admin ok 9"));
    EXPECT_TRUE(us.events.waitFor("presence alice show=1 role=2"));

    us.room->kick("alice", "enough");
    EXPECT_TRUE(us.events.waitFor("admin ok 7"));
    const Json kicked = alice.presenceFrom(room, "alice", [](const Json& e) { return hasCode(e, "307"); });
    EXPECT_EQ(field(kicked, "type"), "unavailable");
    EXPECT_TRUE(us.events.waitFor("presence alice show=6 role=0 aff=0 flags=4")) << us.events.all();

    alice.join(room, "alice");
    ASSERT_TRUE(us.events.waitFor("presence alice show=1 role=2"));
    us.room->ban("alice");
    EXPECT_TRUE(us.events.waitFor("admin ok 12")) << us.events.all();
    EXPECT_TRUE(hasCode(alice.presenceFrom(room, "alice", [](const Json& e) { return hasCode(e, "301"); }), "301"));
    EXPECT_TRUE(us.events.waitFor("presence alice show=6 role=0 aff=1 flags=8")) << us.events.all();
    // Banned: the peer cannot come back.
    EXPECT_EQ(field(alice.join(room, "alice"), "error"), "forbidden");
}

TEST(LiveRoom, ModerationWithoutTheRightsIsRefused) {
    REQUIRE_LIVE_SERVERS();
    const std::string room = uniqueName("r");
    PeerOccupant alice("alice"), bob("bob");
    alice.join(room, "alice");
    bob.join(room, "bob");
    Occupant us(room, "me");
    ASSERT_TRUE(us.join());
    us.room->kick("bob");
    us.room->setRole("bob", RoleModerator);
    us.room->revokeVoice("bob");
    us.room->ban("bob");
    us.room->destroy();
    for (const char* refused : {"admin refused 7", "admin refused 10", "admin refused 8", "admin refused 12",
                                "admin refused 4"})
        EXPECT_TRUE(us.events.waitFor(refused)) << refused << "\n" << us.events.all();
    // Nothing happened to bob.
    EXPECT_TRUE(us.room->joined());
    us.room->sendMessage("sorry");
    EXPECT_FALSE(bob.peer.waitEvent([](const Json& e) { return field(e, "event") == "groupchat" && field(e, "body") == "sorry"; })
                     .empty());
}

TEST(LiveRoom, DestructionAndRoomInformation) {
    REQUIRE_LIVE_SERVERS();
    const std::string room = uniqueName("r");
    Occupant us(room, "boss");
    ASSERT_TRUE(us.join());
    PeerOccupant alice("alice");
    alice.join(room, "alice");
    ASSERT_TRUE(us.events.waitFor("presence alice show=1"));

    us.room->requestRoomInfo();
    ASSERT_TRUE(us.events.waitFor("info ")) << us.events.all();
    EXPECT_TRUE(us.room->flags() & FlagNonAnonymous);
    us.room->requestRoomItems();
    EXPECT_TRUE(us.events.waitFor("items")) << us.events.all();

    JID next(uniqueName("n") + "@" + kService);
    us.room->destroy("the show is over", &next);
    EXPECT_TRUE(us.events.waitFor("admin ok 4")) << us.events.all();
    const Json gone = alice.presenceFrom(room, "alice", [](const Json& e) { return field(e, "type") == "unavailable"; });
    EXPECT_FALSE(gone.empty());
    EXPECT_TRUE(us.events.waitFor("presence boss show=6 role=0 aff=3 flags=33")) << us.events.all();
    const auto occupants = us.events.occupantsCopy();
    ASSERT_FALSE(occupants.empty());
    EXPECT_EQ(occupants.back().reason, "the show is over");
    ASSERT_TRUE(occupants.back().alternate.has_value());
    EXPECT_EQ(occupants.back().alternate->bare(), next.bare());
}

TEST(LiveRoom, OneToOneMessageSessionWithAThread) {
    REQUIRE_LIVE_SERVERS();
    const Account a = newAccount("c");
    LiveClient c(std::make_unique<Client>(JID(a.bare + "/parley"), a.password));
    c.start();
    ASSERT_TRUE(c.waitConnected());
    PeerOccupant alice("alice");

    struct Inbox : MessageHandler {
        std::mutex m;
        std::condition_variable cv;
        std::vector<std::string> got;
        void handleMessageStanza(Stanza* s, MessageSessionBase*) override {
            std::lock_guard<std::mutex> l(m);
            got.push_back(s->body() + "|" + s->thread());
            cv.notify_all();
        }
    } inbox;
    auto* session = new MessageSession(&*c, JID(alice.peer.jid()));
    session->setMessageHandler(&inbox);
    session->sendMessage("Wherefore art thou? ❤");
    const Json got = alice.peer.waitEvent([](const Json& e) { return field(e, "event") == "message"; });
    EXPECT_EQ(field(got, "body"), "Wherefore art thou? ❤");
    const std::string thread = field(got, "thread");
    EXPECT_EQ(thread, session->threadId());
    EXPECT_EQ(thread.rfind("xmpp", 0), 0u);

    alice.peer.command("message", {{"to", c->jid().full()}, {"body", "Here! ☀"}, {"thread", thread}});
    std::unique_lock<std::mutex> l(inbox.m);
    ASSERT_TRUE(inbox.cv.wait_for(l, std::chrono::seconds(10), [&] { return !inbox.got.empty(); }));
    EXPECT_EQ(inbox.got[0], "Here! ☀|" + thread);
    l.unlock();
    c->disposeMessageSession(session);
}

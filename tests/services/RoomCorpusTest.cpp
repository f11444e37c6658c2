// Room stanzas captured from Prosody during the live tests (names made
// stable), replayed into a room on the fake transport.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "services/MUCRoom.h"
#include "support/Corpus.h"
#include "support/FakeSession.h"
#include "support/RoomRecorder.h"

using namespace tern;
using testsupport::FakeSession;
using testsupport::RoomRecorder;

namespace {

struct Replay {
    FakeSession s;
    RoomRecorder events;
    std::unique_ptr<MUCRoom> room;
    explicit Replay(const std::string& nick) {
        s.login();
        room = std::make_unique<MUCRoom>(s.client.get(), JID("4711@conference.example.test/" + nick), &events, &events);
        room->joinRoom();
        s.sent();
    }
    // Feeds the capture line by line; before each line the hook may act as
    // the client did at that point of the live run.
    void play(const std::string& file, const std::function<void(const std::string&)>& before = nullptr) {
        std::istringstream in(testsupport::dataFile("rooms/" + file));
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty()) continue;
            if (before) before(line);
            s.says(line);
        }
    }
};

}  // namespace

using Lines = std::vector<std::string>;

TEST(RoomCorpus, CreatingARoomAndAPeerComingAndGoing) {
    Replay r("owner");
    r.play("prosody-created.xml");
    EXPECT_EQ(r.events.lines(), (Lines{"created", "presence owner show=1 role=3 aff=3 flags=1 jid=listener@example.test/parley",
                                       "subject : ", "admin ok 1",
                                       "presence alice show=1 role=2 aff=0 flags=0 jid=alice@example.test/py",
                                       "presence alice show=6 role=0 aff=0 flags=0 jid=alice@example.test/py"}));
    EXPECT_TRUE(r.room->flags() & FlagNonAnonymous);
}

TEST(RoomCorpus, JoiningAnExistingRoom) {
    Replay r("me");
    r.play("prosody-existing.xml");
    EXPECT_EQ(r.events.lines(), (Lines{"presence bob show=1 role=2 aff=0 flags=0 jid=bob@example.test/py",
                                       "presence alice show=1 role=3 aff=3 flags=0 jid=alice@example.test/py",
                                       "presence me show=1 role=2 aff=0 flags=1 jid=listener@example.test/parley",
                                       "subject : "}));
    EXPECT_FALSE(r.room->created());
}

TEST(RoomCorpus, NicknameChanges) {
    Replay r("me");
    r.play("prosody-nick.xml", [&](const std::string& line) {
        if (line.find("nick='myself'") != std::string::npos) r.room->changeNickname("myself");
        if (line.find("type='error'") != std::string::npos) r.room->changeNickname("alicia");
    });
    const Lines lines = r.events.lines();
    EXPECT_EQ(Lines(lines.begin() + 5, lines.end()),
              (Lines{"presence alice show=6 role=2 aff=0 flags=2 jid=alice@example.test/py new=alicia",
                     "presence alicia show=1 role=2 aff=0 flags=0 jid=alice@example.test/py",
                     "presence me show=6 role=3 aff=3 flags=3 jid=listener@example.test/parley new=myself",
                     "presence myself show=1 role=3 aff=3 flags=1 jid=listener@example.test/parley", "error 2",
                     "message myself: still here",
                     "presence alicia show=6 role=0 aff=0 flags=0 jid=alice@example.test/py"}));
    EXPECT_EQ(r.room->nickname(), "myself");
    EXPECT_TRUE(r.room->joined());  // the conflict came while a change was pending
}

TEST(RoomCorpus, MessagesAndSubjects) {
    Replay r("me");
    r.play("prosody-talk.xml");
    const Lines lines = r.events.lines();
    EXPECT_EQ(Lines(lines.begin() + 5, lines.end()),
              (Lines{"message me: Grüße, 世界 🎉 <b>&amp;</b> 'quoted' \"double\"", "message alice: ça va? <tc>x</tc>",
                     "subject me: Tonight: 🎬", "presence alice show=1 role=3 aff=0 flags=0 jid=alice@example.test/py",
                     "subject alice: Later: 📺", "presence alice show=6 role=0 aff=0 flags=0 jid=alice@example.test/py"}));
}

TEST(RoomCorpus, VoiceModeratorKickAndBan) {
    Replay r("boss");
    r.play("prosody-moderation.xml");
    const Lines lines = r.events.lines();
    EXPECT_EQ(Lines(lines.begin() + 5, lines.end()),
              (Lines{"presence alice show=1 role=1 aff=0 flags=0 jid=alice@example.test/py",
                     "presence alice show=1 role=2 aff=0 flags=0 jid=alice@example.test/py",
                     "presence alice show=1 role=3 aff=0 flags=0 jid=alice@example.test/py",
                     "presence alice show=1 role=2 aff=0 flags=0 jid=alice@example.test/py",
                     "presence alice show=6 role=0 aff=0 flags=4 jid=alice@example.test/py",
                     "presence alice show=1 role=2 aff=0 flags=0 jid=alice@example.test/py",
                     "presence alice show=6 role=0 aff=1 flags=8 jid=alice@example.test/py"}));
    const auto occupants = r.events.occupantsCopy();
    ASSERT_TRUE(occupants[6].actor.has_value());
    EXPECT_EQ(occupants[6].actor->bare(), "listener@example.test");
}

TEST(RoomCorpus, RefusedModeration) {
    Replay r("me");
    // The same requests in the same order as in the capture, so the ids match.
    r.room->kick("bob");
    r.room->setRole("bob", RoleModerator);
    r.room->revokeVoice("bob");
    r.room->ban("bob");
    r.room->destroy();
    r.play("prosody-refused.xml");
    const Lines lines = r.events.lines();
    EXPECT_EQ(Lines(lines.begin() + 4, lines.end()), (Lines{"admin refused 7", "admin refused 10", "admin refused 8",
                                                             "admin refused 12", "admin refused 4"}));
}

TEST(RoomCorpus, DestroyedRoom) {
    Replay r("boss");
    r.play("prosody-destroyed.xml");
    EXPECT_TRUE(r.events.has("presence boss show=6 role=0 aff=3 flags=33"));
    const auto occupants = r.events.occupantsCopy();
    EXPECT_EQ(occupants.back().reason, "the show is over");
    EXPECT_EQ(occupants.back().alternate->bare(), "next@conference.example.test");
}

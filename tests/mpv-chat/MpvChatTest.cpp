// The mpv plugin's logic without mpv: texts, the chat box, options, the
// room's events, the queue to the player's thread and watching together. The player itself is tested live
// (tests/live/mpv_chat_test.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ChatOverlay.h"
#include "EventText.h"
#include "Inbox.h"
#include "PluginOptions.h"
#include "RoomView.h"
#include "Utf16.h"
#include "WatchSync.h"

using namespace mpvchat;

namespace {

const std::string kId = "0123456789abcdef0123456789abcdef0123";  // 36 characters

HostString host(const std::u16string& s) { return HostString(s.begin(), s.end()); }
HostString host(const std::string& utf8) { return toHost(utf8); }

}  // namespace

TEST(MpvChatText, Utf16ToUtf8IsExact) {
    struct Case {
        std::u16string in;
        std::string out;
    };
    const Case cases[] = {
        {u"hello", "hello"},
        {u"\U0001F600 grin", "\xF0\x9F\x98\x80 grin"},            // a surrogate pair
        {u"\u05E9\u05DC\u05D5\u05DD", "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D"},  // right to left, kept in logical order
        {std::u16string(1, u'\xD83D') + u"x", "\xEF\xBF\xBDx"},   // a high surrogate alone
        {std::u16string(1, u'\xDE00'), "\xEF\xBF\xBD"},           // a low surrogate alone
        {std::u16string{u'\xDE00', u'\xD83D'}, "\xEF\xBF\xBD\xEF\xBF\xBD"},  // the pair reversed
    };
    for (const Case& c : cases) EXPECT_EQ(toUtf8(host(c.in)), c.out);
}

TEST(MpvChatText, Utf8ToUtf16ReplacesWhatIsIllFormed) {
    struct Case {
        std::string in;
        std::u16string out;
    };
    const Case cases[] = {
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
        {"\xC0\xAF", u"\uFFFD\uFFFD"},     // overlong: C0 never starts a sequence
        {"\xED\xA0\x80z", u"\uFFFDz"},     // an encoded surrogate
        {"ab\xE2\x82", u"ab\uFFFD"},       // cut short
        {"\xFFok", u"\uFFFDok"},
    };
    for (const Case& c : cases) EXPECT_EQ(toHost(c.in), host(c.out)) << c.in;
}

TEST(MpvChatText, EventTextsSplitAtTheFirstSeparator) {
    const ChatText chat = parseChat(host("NICKNAME=Carol" + kId + ":us_tok_a_tok_b=c"));
    EXPECT_EQ(chat.sender.display, "Carol");
    EXPECT_EQ(chat.sender.identifier, kId);
    EXPECT_EQ(chat.body, "a_tok_b=c");  // the last field runs to the end

    const PresenceText p = parsePresence(host("ID=carol_tok_NICKNAME=Carol" + kId + ":ad_tok_NEWNICKNAME=Caro" + kId + ":us"));
    EXPECT_EQ(p.user, "carol");
    EXPECT_EQ(p.nickname.tag, ":ad");
    EXPECT_EQ(p.newNickname.display, "Caro");

    // Outside the layout a nickname is its own display name; its identifier
    // is cut as the library cuts it.
    const Nickname plain = splitNickname(host("Carol"));
    EXPECT_EQ(plain.display, "Carol");
    EXPECT_EQ(plain.identifier, "Carol");
    EXPECT_EQ(splitNickname(host(u"\U0001F600" + std::u16string(kId.begin(), kId.end()) + u":us")).display,
              "\xF0\x9F\x98\x80");
}

TEST(MpvChatOverlay, OthersTextCannotFormatTheBox) {
    struct Case {
        std::string in, cleaned, escaped;
    };
    const Case cases[] = {
        {"{\\an5\\fs300}big", "{\\an5\\fs300}big", "\\{\\\xE2\x81\xA0" "an5\\\xE2\x81\xA0" "fs300\\}big"},
        {"a\\Nb", "a\\Nb", "a\\\xE2\x81\xA0Nb"},
        {"one\ntwo\tthree\r", "one two three ", "one two three "},
        {"del\x7f c1\xC2\x9B bell\x07", "del c1 bell", "del c1 bell"},
        {"\xE2\x80\xAE" "evil\xE2\x81\xA6" "x", "evilx", "evilx"},  // an override and an isolate go
        {"e\xCC\x81\xCC\x81\xCC\x81\xCC\x81\xCC\x81", "e\xCC\x81\xCC\x81\xCC\x81", "e\xCC\x81\xCC\x81\xCC\x81"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cleanLine(c.in, 100), c.cleaned) << c.in;
        EXPECT_EQ(escapeAss(cleanLine(c.in, 100)), c.escaped) << c.in;
    }
    EXPECT_EQ(cleanLine(std::string(10240, 'x'), 5), "xxxxx\xE2\x80\xA6");
}

TEST(MpvChatOverlay, LinesFadeAndStickyStatesStay) {
    OverlayStyle style;
    style.maxLines = 2;
    style.showSeconds = 10;
    style.fadeSeconds = 2;
    ChatOverlay o(style);
    EXPECT_EQ(o.render(0), "");
    EXPECT_LT(o.nextChange(0), 0);
    o.add(ChatOverlay::Kind::Chat, "one", 0);
    o.add(ChatOverlay::Kind::Chat, "two", 1);
    o.add(ChatOverlay::Kind::Chat, "three", 2);  // "one" goes: two lines at most
    o.setStatus("you were removed", true, 2);
    EXPECT_EQ(o.render(3).find("one"), std::string::npos);
    EXPECT_NE(o.render(3).find("{\\alpha&H00&}{\\1c&HFFFFFF&}two"), std::string::npos);
    EXPECT_DOUBLE_EQ(o.nextChange(3), 8);  // "two" starts fading at 11
    EXPECT_NE(o.render(12).find("{\\alpha&H80&}{\\1c&HFFFFFF&}two"), std::string::npos);  // half way
    EXPECT_TRUE(o.expire(13.5));
    EXPECT_EQ(o.render(20).find("three"), std::string::npos);
    EXPECT_NE(o.render(100).find("you were removed"), std::string::npos);
    EXPECT_EQ(o.boxAlpha(100), 0x50);
}

TEST(MpvChatOptions, ConfFileThenScriptOpts) {
    const PluginOptions o = readOptions("# mine\nserver = example.test\nparley-user=alice\nsync=yes\nfont-size=40\n",
                                        {{"parley-user", "bob@other.test"}, {"parley-room", "4711"}, {"osc-x", "1"}});
    EXPECT_EQ(o.server, "example.test");  // the file's, not the user's domain
    EXPECT_EQ(o.user, "bob");
    EXPECT_EQ(o.room, "4711");
    EXPECT_TRUE(o.sync);
    EXPECT_EQ(o.style.fontSize, 40);
    EXPECT_TRUE(o.problems.empty());

    struct Case {
        KeyValues opts;
        std::string problem;
    };
    const Case bad[] = {
        {{{"parley-password", "x"}}, "parley-password in --script-opts is not used"},
        {{{"parley-sync", "maybe"}}, "parley-sync=maybe in --script-opts is not valid"},
        {{{"parley-font-size", "9999"}}, "parley-font-size=9999 in --script-opts is not valid"},
        {{{"parley-colour", "red"}}, "unknown option parley-colour"},
    };
    for (const Case& c : bad) {
        const PluginOptions p = readOptions("", c.opts);
        ASSERT_EQ(p.problems.size(), 1u);
        EXPECT_EQ(p.problems[0].find(c.problem), 0u) << p.problems[0];
    }
    EXPECT_EQ(readOptions("user=bob@example.test\n", {}).server, "example.test");
}

TEST(MpvChatOptions, TheRoomComesFromTheTitle) {
    const std::string room = roomFromTitle("Night of the Test Pattern (1968).mkv");
    EXPECT_EQ(room, roomFromTitle("night.of.the.test.pattern.1968"));
    EXPECT_EQ(room, roomFromTitle("  NIGHT of the test_pattern  1968 .mp4"));
    EXPECT_NE(room, roomFromTitle("Night of the Test Pattern (1969)"));
    EXPECT_EQ(roomFromTitle("..."), "");
    // Only a media file's extension goes, in any case.
    struct Case {
        std::string a, b;
        bool same;
    };
    const Case cases[] = {
        {"Mr.Bean", "mr bean", true},
        {"Mr.Bean", "Mr", false},
        {"Film.MKV", "film", true},
        {"Film.Opus", "film", true},
        {"Film.srt", "film", false},
        {"Film.mkv.part", "film mkv part", true},
    };
    for (const Case& c : cases) EXPECT_EQ(roomFromTitle(c.a) == roomFromTitle(c.b), c.same) << c.a << " " << c.b;
    const long n = std::stol(room);
    EXPECT_TRUE(n >= 1 && n <= 999999999);
}

namespace {

struct SyncCase {
    std::string body;
    bool seek, setPause;
    std::string logStart;  // empty: nothing logged
};

void expectRemote(WatchSync& sync, const SyncCase& c, const WatchSync::Player& player, double now) {
    const WatchSync::Reply r = sync.remote(c.body, player, now);
    EXPECT_EQ(r.seek, c.seek) << c.body;
    EXPECT_EQ(r.setPause, c.setPause) << c.body;
    EXPECT_EQ(r.log.compare(0, c.logStart.size(), c.logStart), 0) << c.body << ": " << r.log;
    if (c.logStart.empty()) {
        EXPECT_EQ(r.log.find("ignored"), std::string::npos) << r.log;
    }
}

}  // namespace

TEST(MpvChatWatch, OnlyPauseResumeAndSeekWithinTheFile) {
    WatchSync::Player playing{false, 10, 300};
    const SyncCase cases[] = {
        {"ca:watch/1 pause 42.5", true, true, "from the room: pause at 42.5"},
        {"ca:watch/1 play 10.05", false, false, "from the room: play"},  // near enough: no seek
        {"ca:watch/1 play 299.999", true, false, "from the room"},
        {"ca:watch/1 pause 300.001", false, false, "ignored the control message \"ca:watch/1 pause 300.001\": beyond"},
        {"ca:watch/1 play -1", false, false, "ignored the control message \"ca:watch/1 play -1\": not a position"},
        {"ca:watch/1 play 1e3", false, false, "ignored the control message \"ca:watch/1 play 1e3\": not a position"},
        {"ca:watch/1 play 1.2345", false, false, "ignored"},
        {"ca:watch/1 play 1234567890", false, false, "ignored"},
        {"ca:watch/1 play  5", false, false, "ignored"},
        {"ca:watch/1 seek 5", false, false, "ignored the control message \"ca:watch/1 seek 5\": malformed"},
        {"ca:watch/2 play 5", false, false, "ignored the control message \"ca:watch/2 play 5\": a version"},
        {"ca:hello", false, false, "ignored the control message \"ca:hello\": not one for watching together"},
        {"ca:watch/1 state play 50", false, false, ""},  // an answer to a question nobody here asked
        {"ca:watch/1 play " + std::string(100, '1'), false, false, "ignored the control message \"ca:watch/1 play 1"},
    };
    double now = 0;
    for (const SyncCase& c : cases) {
        WatchSync sync;
        expectRemote(sync, c, playing, now += 10);
    }
    // A file whose length is not known: the state now, the place later.
    WatchSync sync;
    expectRemote(sync, {"ca:watch/1 pause 42", false, true, "the file's length is not known"}, {false, 10, 0}, 1);
}

TEST(MpvChatWatch, NothingAppliedIsSentBack) {
    WatchSync sync;
    const WatchSync::Reply r = sync.remote("ca:watch/1 pause 42", {false, 10, 300}, 100);
    ASSERT_TRUE(r.seek && r.setPause);
    EXPECT_EQ(sync.localPause(true, 10, 100.1), "");  // the echo of the applied pause
    EXPECT_EQ(sync.localSeek(true, 42, 100.2), "");   // and of the seek
    EXPECT_EQ(sync.localPause(false, 42, 100.3), "ca:watch/1 play 42.000");  // the viewer's own
    EXPECT_EQ(sync.localSeek(false, 60, 100.4), "ca:watch/1 play 60.000");
    // An expected echo that never came does not swallow a later change.
    sync.remote("ca:watch/1 play 90", {true, 10, 300}, 200);
    EXPECT_EQ(sync.localSeek(false, 90, 203), "ca:watch/1 play 90.000");
}

TEST(MpvChatWatch, ALateJoinerAsksAndTakesOneAnswer) {
    WatchSync asker, other;
    EXPECT_EQ(asker.ask(0), "ca:watch/1 ask");
    const WatchSync::Reply answer = other.remote("ca:watch/1 ask", {true, 120.5, 300}, 0.1);
    EXPECT_EQ(answer.send, "ca:watch/1 state pause 120.500");
    expectRemote(asker, {answer.send, true, true, "joined the others: pause at 120.500"}, {false, 0, 300}, 0.2);
    expectRemote(asker, {"ca:watch/1 state play 5", false, false, ""}, {true, 120.5, 300}, 0.3);  // one answer only
}

// mpv may tell the file's length only after a position from the room came:
// the latest one waits for it, a few seconds at most, and is then checked
// and applied as any other.
TEST(MpvChatWatch, APositionWaitsForTheFilesLength) {
    struct Case {
        const char* name;
        std::vector<std::string> bodies;  // from 1 s on, a tenth apart, the length unknown
        double lengthAt, duration;        // when mpv tells the length, and what it is
        bool seek;
        double position;
        std::string logStart;
    };
    const Case cases[] = {
        {"our question's answer", {"ca:watch/1 state pause 100"}, 1.2, 300, true, 100, "joined the others: pause at 100.000"},
        {"playing: the others went on", {"ca:watch/1 play 100"}, 3, 300, true, 102, "from the room: play at 100.000"},
        {"the latest decides", {"ca:watch/1 pause 50", "ca:watch/1 pause 70"}, 1.5, 300, true, 70, "from the room: pause at 70"},
        {"near enough already", {"ca:watch/1 pause 0.01"}, 1.2, 300, false, 0, "from the room: pause at 0.010"},
        {"beyond the length", {"ca:watch/1 pause 100"}, 1.2, 60, false, 0, "ignored the room's position (pause at 100.000)"},
        {"the length too late", {"ca:watch/1 pause 100"}, 20, 300, false, 0, "the file's length came too late"},
    };
    for (const Case& c : cases) {
        WatchSync sync;
        sync.ask(0.5);
        double now = 1;
        for (const std::string& body : c.bodies) {
            const WatchSync::Reply r = sync.remote(body, {false, 0, 0}, now);
            EXPECT_FALSE(r.seek) << c.name;
            EXPECT_EQ(r.log.rfind("the file's length is not known yet", 0), 0u) << c.name << ": " << r.log;
            now += 0.1;
        }
        const WatchSync::Reply r = sync.lengthKnown({false, 0, c.duration}, c.lengthAt);
        EXPECT_EQ(r.seek, c.seek) << c.name;
        if (c.seek) {
            EXPECT_DOUBLE_EQ(r.position, c.position) << c.name;
            EXPECT_EQ(sync.localSeek(false, c.position, c.lengthAt + 0.5), "") << c.name;  // not sent back
        }
        EXPECT_EQ(r.log.rfind(c.logStart, 0), 0u) << c.name << ": " << r.log;
        EXPECT_EQ(sync.lengthKnown({false, 0, c.duration}, c.lengthAt + 1).log, "") << c.name;  // once
    }
    // A newer position that could be applied at once, or another file,
    // leaves nothing waiting.
    WatchSync sync;
    sync.remote("ca:watch/1 pause 50", {false, 0, 0}, 1);
    sync.remote("ca:watch/1 pause 60", {true, 0, 300}, 1.1);
    EXPECT_FALSE(sync.lengthKnown({true, 60, 300}, 1.2).seek);
    sync.remote("ca:watch/1 pause 50", {false, 0, 0}, 2);
    sync.forgetWaiting();
    EXPECT_EQ(sync.lengthKnown({true, 0, 300}, 2.1).log, "");
}

TEST(MpvChatWatch, AFloodIsCutDown) {
    WatchSync sync;
    int applied = 0;
    for (int i = 0; i < 50; ++i)
        applied += sync.remote("ca:watch/1 pause " + std::to_string(i * 2), {false, 1, 300}, 0.01 * i).seek;
    EXPECT_LE(applied, 7);  // five at once, then two a second
    EXPECT_NE(sync.remote("ca:watch/1 pause 3", {false, 1, 300}, 0.5).log.find("too many"), std::string::npos);

    // What is not applied never uses up what a real pause a moment later
    // needs; questions are answered from a budget of their own.
    struct Flood {
        const char* name;
        std::string body;
        double every;
        int mostAnswers;
    };
    const Flood floods[] = {
        {"answers to another's question", "ca:watch/1 state play 5", 0.001, 0},
        {"malformed", "ca:watch/1 pause nan", 0.001, 0},
        {"questions, ten a second", "ca:watch/1 ask", 0.1, 3 + 1},  // three at once, then one every five seconds
    };
    for (const Flood& f : floods) {
        WatchSync watching;
        int answers = 0;
        for (int i = 0; i < 50; ++i) answers += !watching.remote(f.body, {false, 1, 300}, f.every * i).send.empty();
        EXPECT_LE(answers, f.mostAnswers) << f.name;
        expectRemote(watching, {"ca:watch/1 pause 30", true, true, "from the room: pause at 30"}, {false, 1, 300},
                     f.every * 50);
    }
}

namespace {

struct EventCase {
    int code;
    std::string text;
    std::string line, status;
    int arg4 = 0;
    bool warning = false;
};

// Feeds the events in order; each must produce its line and state.
void expectEvents(RoomView& view, const std::vector<EventCase>& cases) {
    for (const EventCase& c : cases) {
        const HostString text = host(c.text);
        const RoomView::Outcome out = view.onEvent(c.code, c.text.empty() ? nullptr : &text, c.arg4);
        EXPECT_EQ(out.line, c.line) << c.code << " " << c.text;
        EXPECT_EQ(out.status, c.status) << c.code << " " << c.text;
        EXPECT_EQ(out.warning, c.warning) << c.code << " " << c.text;
    }
}

std::string presence(const std::string& user, const std::string& display, const std::string& tag = ":us",
                     const std::string& renamed = "") {
    return "ID=" + user + "_tok_NICKNAME=" + display + kId.substr(0, 35) + user[0] + tag + "_tok_NEWNICKNAME=" +
           (renamed.empty() ? "" : renamed + kId.substr(0, 35) + user[0] + tag);
}

}  // namespace

TEST(MpvChatRoom, EventsBecomeLinesAndStates) {
    const std::string own = kId.substr(0, 35) + "a";
    RoomView view(own, "4711", 160);
    expectEvents(view, {
        {PARLEY_EVENT_CONNECTED, "", "", "connected, joining room 4711..."},
        {PARLEY_EVENT_OCCUPANT_LISTED, presence("carol", "Carol", ":ad"), "", ""},
        {PARLEY_EVENT_OCCUPANT_PRESENT, presence("alice", "Alice"), "1 other viewer here (script-message parley-who lists them)",
         "in room 4711 as Alice"},
        {PARLEY_EVENT_CONTROL_MESSAGE, "ca:watch/1 ask", "", ""},  // history: skipped
        {PARLEY_EVENT_SUBJECT, "NICKNAME=_tok_SUBJECT=", "", ""},
        {PARLEY_EVENT_OCCUPANT_PRESENT, presence("dave", "Dave"), "Dave joined", ""},
        {PARLEY_EVENT_OCCUPANT_PRESENT, presence("dave", "Dave"), "", ""},  // a status change: nothing new
        // Another showing our identifier, and a moderator's tag, is not us.
        {PARLEY_EVENT_OCCUPANT_PRESENT, "ID=eve_tok_NICKNAME=Eve" + own + ":ad_tok_NEWNICKNAME=", "Eve joined", ""},
        {PARLEY_EVENT_ROLE_MODERATOR, "ID=eve_tok_NICKNAME=Eve" + own + ":ad_tok_NEWNICKNAME=", "Eve is now a moderator", ""},
        {PARLEY_EVENT_OCCUPANT_LEFT, "ID=eve_tok_NICKNAME=Eve" + own + ":ad_tok_NEWNICKNAME=", "Eve left", ""},
        {PARLEY_EVENT_CHAT_MESSAGE, "NICKNAME=Carol" + kId + ":us_tok_{\\b1}hi\n", "Carol: {\\b1}hi ", ""},
        {PARLEY_EVENT_ROOM_NOTICE, "This room is {\\b1}locked\n", "room: This room is {\\b1}locked ", ""},
        {PARLEY_EVENT_IDENTIFIER_SHARED, kId.substr(0, 35) + "d",
         "2 viewers show the identifier of Dave: moderation by it does nothing", "", 2, true},
        {PARLEY_EVENT_IDENTIFIER_SHARED, kId.substr(0, 35) + "d", "the identifier of Dave is no longer shared", "", 1},
        {PARLEY_EVENT_IDENTIFIER_SHARED, own, "3 viewers show your identifier: moderation by it does nothing", "", 3, true},
        {PARLEY_EVENT_IDENTIFIER_SHARED, "{\\b1}\x1b", "2 viewers show the identifier {\\b1}: moderation by it does nothing",
         "", 2, true},
        {PARLEY_EVENT_ROLE_VISITOR, presence("dave", "Dave"), "Dave may no longer speak", ""},
        {PARLEY_EVENT_NICK_CHANGED, presence("dave", "Dave", ":us", "David"), "Dave is now David", ""},
        {PARLEY_EVENT_ROLE_MODERATOR, presence("alice", "Alice"), "you are now a moderator", ""},
        {PARLEY_EVENT_MODERATOR_REVOKED, presence("alice", "Alice"), "you are no longer a moderator", ""},
        {PARLEY_EVENT_NICK_CHANGED, presence("alice", "Alice", ":us", "Alicia"), "you are now Alicia", ""},
        {PARLEY_EVENT_SUBJECT, "NICKNAME=Carol" + kId + ":ad_tok_SUBJECT=Film night", "Carol set the subject: Film night", ""},
        {PARLEY_EVENT_KICKED, presence("dave", "David"), "David was kicked", ""},
        {PARLEY_EVENT_ROOM_ERROR_FIRST + 5, "", "the room said forbidden: not allowed", ""},
        {PARLEY_EVENT_NOT_SENT, "late", "not sent: late", "", PARLEY_NOT_SENT_MESSAGE},
        {PARLEY_EVENT_NOT_SENT, "ca:watch/1 pause 3", "", "", PARLEY_NOT_SENT_MESSAGE},  // the log's, not the screen's
        // Out for now: the library joins again, under the room's spelling.
        {PARLEY_EVENT_OCCUPANT_LEFT, presence("alice", "Alicia"), "", "out of room 4711 for now, joining again..."},
        {PARLEY_EVENT_OCCUPANT_PRESENT, presence("alice", "Alicia"), "1 other viewer here (script-message parley-who lists them)",
         "in room 4711 as Alicia"},
        {PARLEY_EVENT_CONNECTION_INTERRUPTED, "", "", "healing: the connection broke, reconnecting...",
         PARLEY_REASON_IO_ERROR},
        {PARLEY_EVENT_CONNECTION_RESTORED, "", "", "in room 4711 as Alicia"},
        {PARLEY_EVENT_OCCUPANT_LEFT, presence("alice", "Alicia"), "you were kicked from room 4711",
         "you were kicked from room 4711", PARLEY_DEPARTURE_KICKED},
        {99999, "", "", ""},  // unknown codes are ignored
        {PARLEY_EVENT_DISCONNECTED + PARLEY_REASON_IO_ERROR, "", "connection lost: the connection broke",
         "connection lost: the connection broke"},
    });
    EXPECT_FALSE(view.inRoom());
    EXPECT_EQ(view.ownName(), "you");  // out of the room

    RoomView refused(own, "1", 160);
    expectEvents(refused, {{PARLEY_EVENT_DISCONNECTED + PARLEY_REASON_AUTHENTICATION_FAILED, "",
                            "cannot log in: wrong user name or password", "cannot log in: wrong user name or password"}});
}

// Rights are the library's word (IsModerator, ...), never a tag an
// occupant typed.
TEST(MpvChatRoom, OccupantsByNameForModeration) {
    const std::string own = kId.substr(0, 35) + "a", bob = kId.substr(0, 35) + "b", carol = kId.substr(0, 35) + "c";
    std::string moderator = own;
    RoomView view(own, "7", 160, [&](const std::string& id) {
        RoomView::Rights r;
        r.moderator = id == moderator;
        r.owner = id == bob;
        return r;
    });
    const auto event = [&](int code, const std::string& text, int arg4 = 0) {
        const HostString t = host(text);
        view.onEvent(code, &t, arg4);
    };
    view.onEvent(PARLEY_EVENT_CONNECTED, nullptr);
    event(PARLEY_EVENT_OCCUPANT_LISTED, presence("carol", "Carol", ":ad"));
    event(PARLEY_EVENT_OCCUPANT_LISTED, presence("bob", "Carol"));
    event(PARLEY_EVENT_OCCUPANT_PRESENT, presence("alice", "Alice"));
    EXPECT_TRUE(view.mayModerate());
    EXPECT_EQ(view.find("Carol").size(), 2u);  // two of that name: the identifier decides
    event(PARLEY_EVENT_IDENTIFIER_SHARED, carol, 2);
    EXPECT_EQ(view.sharedBy(carol), 2);  // moderation by it is not even tried
    EXPECT_EQ(view.sharedBy(bob), 0);
    ASSERT_EQ(view.find(bob).size(), 1u);
    EXPECT_TRUE(view.find("Nobody").empty());
    EXPECT_EQ(view.who(), (std::vector<std::string>{"3 in room 7:", "  Alice (you, moderator)", "  Carol (" + bob + ", owner)",
                                                    "  Carol (" + carol + ", identifier shared)"}));
    moderator.clear();
    EXPECT_FALSE(view.mayModerate());
    // While another shows ours, the library cannot tell: the room decides.
    event(PARLEY_EVENT_IDENTIFIER_SHARED, own, 2);
    EXPECT_TRUE(view.mayModerate());
}

// A hostile occupant's flood is dropped and counted; what our own state
// hangs on still passes, up to a hard limit.
TEST(MpvChatInbox, PastTheLimitOnlyOurOwnStatePasses) {
    const std::string ours = "ID=me_tok_NICKNAME=Me" + kId + ":us_tok_NEWNICKNAME=";
    struct Case {
        const char* name;
        std::uint64_t session;
        int code;
        std::string text;
        bool kept;
    };
    const Case cases[] = {
        {"a message", 1, PARLEY_EVENT_CHAT_MESSAGE, "NICKNAME=Mallory_tok_hi", false},
        {"a message wearing our identifier", 1, PARLEY_EVENT_CHAT_MESSAGE, "NICKNAME=Mallory" + kId + ":us_tok_hi",
         false},
        {"an arrival", 1, PARLEY_EVENT_OCCUPANT_PRESENT, presence("mallory", "Mallory"), false},
        {"a role change", 1, PARLEY_EVENT_ROLE_VISITOR, presence("mallory", "Mallory"), false},
        {"a nickname change", 1, PARLEY_EVENT_NICK_CHANGED, presence("mallory", "Mallory", ":us", "M"), false},
        {"a library log line", 0, 0, "a line", false},
        {"a room notice naming us", 1, PARLEY_EVENT_ROOM_NOTICE, "Me" + kId + ":us invites you", false},
        {"our identifier shown by another", 1, PARLEY_EVENT_IDENTIFIER_SHARED, kId, false},
        {"the connection healing", 1, PARLEY_EVENT_CONNECTION_INTERRUPTED, "", true},
        {"the session's end", 1, PARLEY_EVENT_DISCONNECTED + PARLEY_REASON_IO_ERROR, "", true},
        {"the room's refusal", 1, PARLEY_EVENT_ROOM_ERROR_FIRST + 5, "", true},
        {"our own removal", 1, PARLEY_EVENT_OCCUPANT_LEFT, ours, true},
        {"our own role", 1, PARLEY_EVENT_ROLE_MODERATOR, ours, true},
    };
    for (const Case& c : cases) {
        int wakes = 0;
        Inbox inbox([&] { ++wakes; }, kId, 4, 2);
        for (int i = 0; i < 6; ++i) inbox.push({1, PARLEY_EVENT_CHAT_MESSAGE, 0, true, host("NICKNAME=M_tok_flood")});
        inbox.push({c.session, c.code, 0, !c.text.empty(), host(c.text)});
        std::size_t dropped = 0;
        const std::deque<Inbox::Event> got = inbox.take(dropped);
        ASSERT_EQ(got.size(), c.kept ? 5u : 4u) << c.name;
        EXPECT_EQ(dropped, c.kept ? 2u : 3u) << c.name;
        EXPECT_EQ(wakes, static_cast<int>(got.size())) << c.name;
        if (c.kept) {
            EXPECT_EQ(got.back().code, c.code) << c.name;
        }
        inbox.take(dropped);
        EXPECT_EQ(dropped, 0u) << c.name;  // counted once
    }
    // Past the reserve nothing passes, not even our own.
    Inbox inbox([] {}, kId, 4, 2);
    for (int i = 0; i < 8; ++i) inbox.push({1, PARLEY_EVENT_OCCUPANT_LEFT, 0, true, host(ours)});
    std::size_t dropped = 0;
    EXPECT_EQ(inbox.take(dropped).size(), 6u);
    EXPECT_EQ(dropped, 2u);
}

// Another viewer whose nickname shows our identifier: under a name of its
// own, or as our whole nickname with ":ad" for the tag (the room keeps it
// apart from ours, and texts write a moderator's ":us" as ":ad"). Told by
// identifier, its rename or departure would pass for ours; whatever it
// does, we stay ourselves, in the room, with our rights.
TEST(MpvChatRoom, AnotherShowingOurIdentifierIsNotUs) {
    const std::string own = kId.substr(0, 35) + "a", eveId = kId.substr(0, 35) + "e";
    const std::string ours = "Alice" + own + ":us", eve = "Eve" + own + ":us", twin = "Alice" + own + ":ad";
    const struct {
        const char* name;
        std::string other;  // its nickname as it joins
        int code;
        std::string text;  // after "NICKNAME="
        std::string line;  // empty: not checked
    } cases[] = {
        {"it renames itself", eve, PARLEY_EVENT_NICK_CHANGED, eve + "_tok_NEWNICKNAME=Eve" + eveId + ":us",
         "Eve is now Eve"},
        {"our twin leaves", twin, PARLEY_EVENT_OCCUPANT_LEFT, twin + "_tok_NEWNICKNAME=", ""},
        {"our twin renames itself", twin, PARLEY_EVENT_NICK_CHANGED, twin + "_tok_NEWNICKNAME=Mallory" + eveId + ":us",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RoomView view(own, "9", 160, [&](const std::string& id) {
            RoomView::Rights r;
            r.moderator = id == own;  // we moderate; the other does not
            return r;
        });
        const auto event = [&](int code, const std::string& text, int arg4 = 0) {
            const HostString t = host(text);
            return view.onEvent(code, &t, arg4);
        };
        view.onEvent(PARLEY_EVENT_CONNECTED, nullptr);
        event(PARLEY_EVENT_OCCUPANT_PRESENT, "ID=x_tok_NICKNAME=" + ours + "_tok_NEWNICKNAME=");
        event(PARLEY_EVENT_SUBJECT, "NICKNAME=_tok_SUBJECT=");
        event(PARLEY_EVENT_OCCUPANT_PRESENT, "ID=x_tok_NICKNAME=" + c.other + "_tok_NEWNICKNAME=");
        event(PARLEY_EVENT_IDENTIFIER_SHARED, own, 2);  // as the library follows its arrival
        const RoomView::Outcome out = event(c.code, "ID=x_tok_NICKNAME=" + c.text);
        if (!c.line.empty()) {
            EXPECT_EQ(out.line, c.line);
        }
        EXPECT_TRUE(view.inRoom());
        EXPECT_TRUE(view.live());
        EXPECT_TRUE(view.mayModerate());
        EXPECT_EQ(view.ownName(), "Alice");
        const std::vector<std::string> who = view.who();
        EXPECT_TRUE(std::any_of(who.begin(), who.end(), [](const std::string& l) { return l.rfind("  Alice (you", 0) == 0; }))
            << testing::PrintToString(who);
    }
}

// Pauses from the room share one budget; a command that changes nothing
// (a pause where the player already stands paused) must not spend it, or
// one viewer could silently keep the others' pauses out.
TEST(MpvChatWatch, CommandsThatChangeNothingDoNotUseUpTheBudget) {
    WatchSync sync;
    const WatchSync::Player paused{true, 30, 300};
    double now = 10;
    for (int i = 0; i < 20; ++i, now += 0.4) {
        const WatchSync::Reply r = sync.remote("ca:watch/1 pause 30", paused, now);
        ASSERT_FALSE(r.seek || r.setPause);  // nothing for the viewer to see
    }
    expectRemote(sync, {"ca:watch/1 play 30", false, true, "from the room: play at 30"}, paused, now);
}

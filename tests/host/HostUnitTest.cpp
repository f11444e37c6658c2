// Text conversion, buffers, the member list, the nickname layout, the host's
// log callback, room events before 11025 and what a stanza that will not
// arrive was for the host.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "client/PendingStanza.h"
#include "host/CParley.h"
#include "host/CXMPPMemberListManager.h"
#include "host/CXMPPUtil.h"
#include "host/EventGate.h"
#include "host/HostCommands.h"
#include "host/HostLog.h"
#include "host/TextCodec.h"
#include "support/HostRecorder.h"

using namespace tern;

TEST(TextCodec, WellFormedTextRoundTrips) {
    const std::string utf8 = "ASCII Grüße 世界 🎉 \xf4\x8f\xbf\xbf";
    const std::u16string utf16 = utf8ToUtf16(utf8);
    EXPECT_EQ(utf16.size(), 20u);  // the two characters beyond the BMP take two units each
    EXPECT_EQ(utf16ToUtf8(utf16), utf8);
    EXPECT_EQ(utf8ToUtf16("\xe2\x82\xac"), u"€");
    EXPECT_EQ(utf16ToUtf8(u"\U0001F3AC"), "\xf0\x9f\x8e\xac");
}

TEST(TextCodec, IllFormedInputBecomesReplacementCharacters) {
    struct Case {
        const char* in;
        std::u16string out;
    };
    const Case cases[] = {
        {"a\x80z", u"a\uFFFDz"},               // a lone continuation byte
        {"a\xc3z", u"a\uFFFDz"},               // a truncated sequence
        {"a\xe2\x82z", u"a\uFFFDz"},           // one replacement for the whole truncated part
        {"\xc0\xaf", u"\uFFFD\uFFFD"},         // an overlong form
        {"\xe0\x80\xaf", u"\uFFFD\uFFFD\uFFFD"},  // an overlong three-byte form
        {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},  // an encoded surrogate
        {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
        {"\xff\xfe", u"\uFFFD\uFFFD"},
        {"\xe2\x82", u"\uFFFD"},               // truncated at the end
    };
    for (const Case& c : cases) {
#ifdef _WIN32
        // The system's converter decides how many replacements an invalid
        // sequence becomes (Wine's counts differ from Windows' own); what
        // matters is that the text survives with only replacements there.
        const std::u16string got = utf8ToUtf16(c.in);
        if (got != c.out) {
            EXPECT_FALSE(got.empty()) << c.in;
            EXPECT_EQ(got.find_first_not_of(u"az\uFFFD"), std::u16string::npos) << c.in;
            continue;
        }
#endif
        EXPECT_EQ(utf8ToUtf16(c.in), c.out) << c.in;
    }
    EXPECT_EQ(utf16ToUtf8(std::u16string(u"a") + char16_t(0xD800) + u"b"), "a\xef\xbf\xbd" "b");
    EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xDC00))), "\xef\xbf\xbd");
}

TEST(CXMPPUtil, BuffersAndConversions) {
    CXMPPUtil util;
    CXMPPUtil::Buffer b{7, reinterpret_cast<void*>(0x1)};
    EXPECT_EQ(util.allocBuffer(&b, 0x40000000, 0), CXMPPUtil::ResultInvalidArgument);
    EXPECT_EQ(b.size, 7);  // left as it was
    EXPECT_EQ(util.allocBuffer(nullptr, 4, 0), CXMPPUtil::ResultInvalidArgument);
    EXPECT_EQ(util.allocBuffer(&b, 0, 0), CXMPPUtil::ResultOk);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(util.allocBuffer(&b, 3, 0xAB), CXMPPUtil::ResultOk);
    EXPECT_EQ(static_cast<unsigned char*>(b.data)[2], 0xAB);
    util.freeBuffer(&b);
    EXPECT_EQ(b.size, 0);
    util.freeBuffer(nullptr);

    char16_t* wide = nullptr;
    std::int32_t n = 0;
    ASSERT_EQ(util.utf8ToWide("\xe4\xb8\x96", 3, &wide, &n), CXMPPUtil::ResultOk);
    EXPECT_EQ(n, 1);  // one code unit, no terminator
    std::free(wide);
    EXPECT_EQ(util.utf8ToWide("x", 0, &wide, &n), CXMPPUtil::ResultInvalidArgument);
    char* bytes = nullptr;
    ASSERT_EQ(util.wideToUtf8(u"é", 1, &bytes, &n), CXMPPUtil::ResultOk);
    EXPECT_EQ(n, 4);  // two bytes and two zeros
    EXPECT_STREQ(bytes, "\xc3\xa9");
    std::free(bytes);

    EXPECT_EQ(util.toUtf8String(u""), "");
    EXPECT_EQ(util.toUtf8String(nullptr), "");
    EXPECT_EQ(util.toUtf8String(u"a\u00e9"), "a\xc3\xa9");
    EXPECT_EQ(util.toWideString(std::string("")), u"");
    EXPECT_EQ(util.toWideString(std::string("ok\x80")), u"ok\uFFFD");
}

// Host text on its way to the wire: what XML cannot carry becomes U+FFFD,
// one code unit for one, so that the stream survives and the nickname
// layout (counted from the end) stays.
TEST(CXMPPUtil, WhatXmlCannotCarryBecomesAReplacementCharacter) {
    const char16_t R = 0xFFFD, hi = 0xD83C, lo = 0xDF89;  // U+1F389 as a pair
    struct Case {
        std::u16string in, out;
        std::size_t replaced;
    };
    const Case cases[] = {
        {u"a\fb", {u'a', R, u'b'}, 1},
        {u"\x1b[31mred\x1b[0m", std::u16string(1, R) + u"[31mred" + R + u"[0m", 2},
        {u"tab\tlf\ncr\r\x7f", u"tab\tlf\ncr\r\x7f", 0},
        {{u'\0', 0x1, 0x8, 0xB, 0xE, 0x1F}, std::u16string(6, R), 6},
        {{0xFFFF, 0xFFFE, 0xFFFD, 0xE000, 0xD7FF}, {R, R, R, 0xE000, 0xD7FF}, 2},
        {{u'x', 0xD800}, {u'x', R}, 1},     // a high surrogate at the end
        {{0xDC00, u'y'}, {R, u'y'}, 1},     // a low one alone
        {{lo, hi}, {R, R}, 2},              // the pair reversed
        {{hi, lo}, {hi, lo}, 0},            // a character beyond the BMP
        {{0xD800, hi, lo}, {R, hi, lo}, 1}, // a high one before a pair
        {u"", u"", 0},
    };
    CXMPPUtil util;
    for (const Case& c : cases) {
        std::u16string text = c.in;
        EXPECT_EQ(replaceNonXmlCharacters(text), c.replaced) << utf16ToUtf8(c.out);
        EXPECT_EQ(text, c.out) << utf16ToUtf8(c.out);
        // Through the conversion every host text takes (a zero included).
        char* bytes = nullptr;
        std::int32_t size = 0;
        if (c.in.empty()) continue;
        ASSERT_EQ(util.wideToUtf8(c.in.data(), static_cast<std::int32_t>(c.in.size()), &bytes, &size),
                  CXMPPUtil::ResultOk);
        EXPECT_EQ(std::string(bytes), utf16ToUtf8(c.out)) << utf16ToUtf8(c.out);
        std::free(bytes);
    }
    // A control character in the display name leaves the identifier where it was.
    const std::u16string id = u"0123456789abcdef0123456789abcdef0123";
    const std::u16string sent = util.toWideString(util.toUtf8String((u"Al\fce" + id + u":us").c_str()));
    EXPECT_EQ(cutNickname(sent).identifier, id);
    EXPECT_EQ(cutNickname(sent).displayName, std::u16string(u"Al") + R + u"ce");
}

TEST(MemberList, LookupsAndOrder) {
    CXMPPMemberListManager list;
    EXPECT_FALSE(list.contains(u"a"));
    EXPECT_EQ(list.roleOf(u"a"), 0);
    EXPECT_EQ(list.affiliationOf(u"a"), 0);
    EXPECT_FALSE(list.nicknameOf(u"a").has_value());
    EXPECT_EQ(list.count(), 0);

    list.addMember(u"u1", u"n1", u"id1", 3, 3);
    list.addMember(u"u2", u"n2", u"id2", 0, 2);
    list.addMember(u"u3", u"n3", u"id3", 2, 1);
    list.removeMember(u"nope");
    EXPECT_EQ(list.count(), 3);
    list.removeMember(u"id2");
    EXPECT_EQ(list.count(), 2);
    EXPECT_EQ(list.roleOf(u"id3"), 1);
    EXPECT_EQ(*list.nicknameOf(u"id3"), u"n3");
    EXPECT_FALSE(list.contains(u"ID3"));  // case matters
    list.updateMember(u"u4", u"n4", u"id4", 1, 1);  // unknown: nothing added
    EXPECT_EQ(list.count(), 2);
    list.updateMember(u"u3b", u"n3b", u"id3", 4, 3);
    EXPECT_EQ(*list.nicknameOf(u"id3"), u"n3b");
    EXPECT_EQ(list.affiliationOf(u"id3"), 4);
    // By nickname, only that member.
    list.setRank(u"n1", 0, 1);
    EXPECT_EQ(list.roleOfMember(u"n1"), 1);
    EXPECT_FALSE(list.roleOfMember(u"n1x").has_value());
    EXPECT_EQ(list.addMember(u"u1", u"n1", u"id9", 0, 0), 0);  // nicknames stay unique
    // Renamed to a prefix of its old nickname: found by the new one only.
    list.addMember(u"u5", u"bob", u"id5", 0, 2);
    list.updateMember(u"u5", u"bo", u"id5", 0, 1);
    EXPECT_EQ(list.roleOfMember(u"bo"), 1);
    EXPECT_FALSE(list.roleOfMember(u"bob").has_value());
    EXPECT_EQ(*list.nicknameOf(u"id5"), u"bo");
    list.removeMember(u"id5");
    list.clear();
    EXPECT_EQ(list.count(), 0);
}

TEST(MemberList, ReadersAndWritersOnSeveralThreads) {
    CXMPPMemberListManager list;
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            const std::u16string id = u"id" + std::u16string(1, char16_t(u'a' + i % 20));
            if (list.contains(id))
                list.removeMember(id);
            else
                list.addMember(u"u", u"nick" + id, id, 0, 2);
        }
    });
    std::thread reader([&] {
        for (int i = 0; i < 2000; ++i) {
            if (auto n = list.nicknameOf(u"ida")) {
                EXPECT_EQ(n->substr(0, 4), u"nick");
            }
            (void)list.count();
        }
    });
    writer.join();
    reader.join();
}

// Text of every width, identifiers inside the nickname and not, and a room
// large enough to regrow the index.
TEST(MemberList, EveryShapeOfEntry) {
    const std::u16string id(36, u'7');
    const std::pair<std::u16string, std::u16string> shapes[] = {
        {u"Alice" + id + u":us", id},
        {u"\u0414\u043c\u0438\u0442\u0440\u0438\u0439" + std::u16string(36, u'8') + u":us", std::u16string(36, u'8')},
        {u"\u00e9t\u00e9", u"\u00e9"},
        {u"\U0001F600x", u"\U0001F600"},
        {u"n", u"outside"},
    };
    CXMPPMemberListManager list;
    for (int i = 0; i < 5; ++i) list.addMember(u"u", shapes[i].first, shapes[i].second, i, i + 1);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(*list.nicknameOf(shapes[i].second), shapes[i].first) << i;
        EXPECT_EQ(list.roleOf(shapes[i].second), i + 1);
        EXPECT_EQ(list.affiliationOf(shapes[i].second), i);
    }
    EXPECT_FALSE(list.contains(u"\u00c9"));
    list.updateMember(u"u", u"renamed", u"outside", 2, 2);
    EXPECT_EQ(*list.nicknameOf(u"outside"), u"renamed");
    EXPECT_EQ(list.roleOfMember(u"renamed"), 2);

    for (int i = 0; i < 3000; ++i) {
        const std::u16string id = u"id" + std::u16string(1, char16_t(0x100 + i));
        list.addMember(u"u", u"nick" + id, id, 0, i % 4);
    }
    for (int i = 0; i < 3000; i += 2) list.removeMember(u"id" + std::u16string(1, char16_t(0x100 + i)));
    EXPECT_EQ(list.count(), 1505);
    for (int i = 1; i < 3000; i += 2) ASSERT_EQ(list.roleOf(u"id" + std::u16string(1, char16_t(0x100 + i))), i % 4);
}

// Occupants choose their nicknames, and with them the identifiers they
// show: one shown by several names nobody until one is left, whichever
// comes or goes, and by nickname each is still itself.
TEST(MemberList, AnIdentifierShownBySeveralNamesNobody) {
    enum Op { Add, Leave, RemoveById, UpdateById };
    const struct {
        Op op;
        const char16_t* nick;
        int role;          // for Add and UpdateById
        int holders;       // of "id" afterwards
        int roleById;      // roleOf("id") afterwards: 0 while it names nobody
        const char16_t* named;  // nicknameOf("id") afterwards
    } steps[] = {
        {Add, u"bob", 3, 1, 3, u"bob"},
        {Add, u"eve", 1, 2, 0, nullptr},    // shows Bob's identifier
        {RemoveById, nullptr, 0, 2, 0, nullptr},  // names nobody: removes nobody
        {UpdateById, u"x", 2, 2, 0, nullptr},     // ...and updates nobody
        {Add, u"mallory", 2, 3, 0, nullptr},
        {Leave, u"bob", 0, 2, 0, nullptr},        // the first one goes; the others still share it
        {Leave, u"mallory", 0, 1, 1, u"eve"},     // one left: it names her
        {Add, u"bob", 3, 2, 0, nullptr},
        {Leave, u"eve", 0, 1, 3, u"bob"},
        {RemoveById, nullptr, 0, 0, 0, nullptr},
    };
    CXMPPMemberListManager list;
    list.addMember(u"u", u"other", u"id2", 4, 3);
    int i = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(i++);
        switch (s.op) {
            case Add: EXPECT_EQ(list.addMember(u"u", s.nick, u"id", 0, s.role), s.holders); break;
            case Leave: EXPECT_EQ(list.removeNickname(s.nick), s.holders + 1); break;
            case RemoveById: list.removeMember(u"id"); break;
            case UpdateById: list.updateMember(u"u", s.nick, u"id", 4, s.role); break;
        }
        EXPECT_EQ(list.holders(u"id"), s.holders);
        EXPECT_EQ(list.contains(u"id"), s.holders > 0);
        EXPECT_EQ(list.roleOf(u"id"), s.roleById);
        EXPECT_EQ(list.affiliationOf(u"id"), 0);
        EXPECT_EQ(list.nicknameOf(u"id"), s.named ? std::optional<std::u16string>(s.named) : std::nullopt);
        EXPECT_EQ(list.roleOf(u"id2"), 3);  // another identifier is untouched
    }
    EXPECT_EQ(list.removeNickname(u"nobody"), 0);
    EXPECT_EQ(list.count(), 1);
}

// However many show one identifier, every operation finds its way
// directly; and a room past the limit is not listed, but for ourselves.
TEST(MemberList, ManyShowingOneIdentifierAndTheLimit) {
    CXMPPMemberListManager list;
    const std::u16string id(36, u'b');
    const auto nick = [&](std::size_t i) { return u"n" + utf8ToUtf16(std::to_string(i)) + id + u":us"; };
    const std::size_t max = CXMPPMemberListManager::kMaxMembers;
    for (std::size_t i = 0; i < max; ++i) ASSERT_EQ(list.addMember(u"u", nick(i), id, 0, 2), static_cast<int>(i + 1));
    EXPECT_EQ(list.addMember(u"u", nick(max), id, 0, 2), 0);
    EXPECT_EQ(list.addMember(u"u", u"someone else", u"x", 0, 2), 0);
    EXPECT_EQ(list.addMember(u"u", u"me", u"mine", 0, 2, true), 1);  // our own still gets in
    EXPECT_EQ(list.addMember(u"u", u"me too", u"mine", 0, 2, true), 0);  // but only one place more
    EXPECT_EQ(list.count(), static_cast<int>(max) + 1);
    EXPECT_EQ(list.holders(id), static_cast<int>(max));
    // The first ones go first, then the rest from the end.
    for (std::size_t i = 0; i < max / 2; ++i) ASSERT_EQ(list.removeNickname(nick(i)), static_cast<int>(max - i));
    for (std::size_t i = max - 1; i > max / 2; --i) ASSERT_EQ(list.removeNickname(nick(i)), static_cast<int>(i - max / 2 + 1));
    EXPECT_EQ(*list.nicknameOf(id), nick(max / 2));
    EXPECT_EQ(list.addMember(u"u", u"room again", u"x", 0, 2), 1);
}

// Reasons up to NotConnected reach the host as 21024 + reason; later ones,
// and none at all, do not.
TEST(HostEvents, DisconnectReasonsInTheTable) {
    testsupport::HostRecorder events;
    CParley session(&events, &testsupport::HostRecorder::callback);
    for (const int e : {0, 7, 17, 18, 19, -1}) session.handleDisconnected(static_cast<ConnectionError>(e));
    EXPECT_EQ(events.codes(), "21024 21031 21041 21042");
}

// Room events wait for 11025, in order: a full room's list and more; past
// the bound (in count or text) the rest are dropped, never the session's
// own events. Threads that raise while the gate opens lose nothing either.
TEST(HostEvents, RoomEventsBeforeTheConnectionWaitWithinBounds) {
    const std::u16string line(80, u'x'), big(64 * 1024, u'y');
    const struct {
        const char* name;
        std::size_t count;
        const std::u16string* text;
        std::size_t kept;
    } rows[] = {
        {"a full room's list", 2 * RoomOccupants::kMaxOccupants, &line, 2 * RoomOccupants::kMaxOccupants},
        {"more events than the bound", EventGate::kMaxHeld + 3, nullptr, EventGate::kMaxHeld},
        {"more text than the bound", 100, &big, EventGate::kMaxHeldUnits / big.size()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EventGate gate;
        gate.close();
        for (std::size_t i = 0; i < row.count; ++i) ASSERT_TRUE(gate.hold(11029, static_cast<std::int32_t>(i), 0, row.text));
        EXPECT_FALSE(gate.hold(PARLEY_EVENT_NOT_SENT, 0, 2, &line));
        const std::vector<EventGate::Event> held = gate.open();
        ASSERT_EQ(held.size(), row.kept);
        for (std::size_t i = 0; i < held.size(); ++i) ASSERT_EQ(held[i].arg3, static_cast<std::int32_t>(i));
        EXPECT_FALSE(gate.hold(11029, 0, 0, &line));
    }
    EventGate gate;
    gate.close();
    std::vector<std::int32_t> passed[2];
    std::thread raisers[2];
    for (int t = 0; t < 2; ++t)
        raisers[t] = std::thread([&, t] {
            for (std::int32_t i = 0; i < 2000; ++i)
                if (!gate.hold(11029, i, t, nullptr)) passed[t].push_back(i);
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::vector<EventGate::Event> held = gate.open();
    for (std::thread& r : raisers) r.join();
    for (int t = 0; t < 2; ++t) {
        std::vector<std::int32_t> all;
        for (const EventGate::Event& e : held)
            if (e.arg4 == t) all.push_back(e.arg3);
        all.insert(all.end(), passed[t].begin(), passed[t].end());
        ASSERT_EQ(all.size(), 2000u);
        for (std::int32_t i = 0; i < 2000; ++i) ASSERT_EQ(all[static_cast<std::size_t>(i)], i);
    }
}

// Every event parley.h declares has its name in the examples' table (a
// range by its name without _FIRST) and a row in the host authors' reference.
TEST(HostEvents, EveryEventNamedAndDocumented) {
    const auto read = [](const std::string& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };
    const std::string header = read(PARLEY_TEST_DATA "/../../include/parley.h");
    const std::string reference = read(PARLEY_TEST_DATA "/../../docs/events.md");
    const std::regex declared("PARLEY_EVENT_([A-Z_]+) = ([0-9]+)");
    int seen = 0;
    for (std::sregex_iterator m(header.begin(), header.end(), declared), end; m != end && seen < 100; ++m, ++seen) {
        const std::string name = (*m)[1];
        if (name.size() > 5 && name.compare(name.size() - 5, 5, "_LAST") == 0) continue;
        const std::string expected = std::regex_replace(name, std::regex("_FIRST$"), "");
        EXPECT_STREQ(eventName(std::stoi((*m)[2])), expected.c_str()) << name;
        EXPECT_NE(reference.find("`PARLEY_EVENT_" + name), std::string::npos) << name << " is not in events.md";
    }
    EXPECT_GE(seen, 30);
}

TEST(NicknameLayout, CutsAndRoomNumbers) {
    const std::u16string id = u"0123456789abcdef0123456789abcdef0123";
    auto parts = cutNickname(u"Alice" + id + u":us");
    EXPECT_EQ(parts.displayName, u"Alice");
    EXPECT_EQ(parts.identifier, id);
    EXPECT_EQ(parts.tag, u":us");
    parts = cutNickname(u"short");
    EXPECT_EQ(parts.displayName, u"");
    EXPECT_EQ(parts.identifier, u"short");
    EXPECT_EQ(parts.tag, u"ort");
    EXPECT_EQ(cutNickname(id + u":us").displayName, u"");

    EXPECT_EQ(roomNumber("4711"), 4711);
    EXPECT_EQ(roomNumber("  -12abc"), -12);
    EXPECT_EQ(roomNumber("lobby"), 0);
    EXPECT_EQ(roomNumber("99999999999999"), INT32_MAX);
}

namespace {

// A log callback that blocks until released, or that changes the callback
// from inside its own call.
struct LogGate {
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false, released = false, changeInside = false, changed = false;
};

void PARLEY_CALL gateLog(void* context, int32_t, int32_t, const TextBuffer*) {
    auto* gate = static_cast<LogGate*>(context);
    if (gate->changeInside) {
        HostLog::instance().setCallback(nullptr, nullptr, 0);  // must not wait for this very call
        gate->changed = true;
        return;
    }
    std::unique_lock<std::mutex> lock(gate->mutex);
    gate->entered = true;
    gate->cv.notify_all();
    gate->cv.wait_for(lock, std::chrono::seconds(30), [&] { return gate->released; });
}

void PARLEY_CALL quietLog(void*, int32_t, int32_t, const TextBuffer*) {}

}  // namespace

// A host frees the old context once the change returns: a call under way on
// another thread must have ended by then.
TEST(HostLogCallback, AChangeWaitsForCallsUnderWay) {
    struct Case {
        const char* name;
        ParleyLogCallback next;
        bool inside;
    };
    const Case cases[] = {
        {"to null, from another thread", nullptr, false},
        {"to another callback, from another thread", quietLog, false},
        {"to null, from inside the call on its own thread", nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogGate gate;
        gate.changeInside = c.inside;
        HostLog::instance().setCallback(gateLog, &gate, LogDebug);
        std::thread logger([] { HostLog::instance().handleLogMessage(LogError, LogAreaClient, "a line"); });
        if (c.inside) {
            logger.join();
            EXPECT_TRUE(gate.changed);
            continue;
        }
        {
            std::unique_lock<std::mutex> lock(gate.mutex);
            EXPECT_TRUE(gate.cv.wait_for(lock, std::chrono::seconds(30), [&] { return gate.entered; }));
        }
        bool releasedFirst = false;
        std::thread changer([&] {
            HostLog::instance().setCallback(c.next, nullptr, LogDebug);
            std::lock_guard<std::mutex> lock(gate.mutex);
            releasedFirst = gate.released;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room to return too early
        {
            std::lock_guard<std::mutex> lock(gate.mutex);
            gate.released = true;
        }
        gate.cv.notify_all();
        changer.join();
        logger.join();
        EXPECT_TRUE(releasedFirst);
    }
    HostLog::instance().setCallback(nullptr, nullptr, 0);
}

// A stanza of the session's that will not arrive, as the host's request it
// came from (PARLEY_EVENT_NOT_SENT's arg4 and text); the session's own
// stanzas and those for anywhere else are none.
TEST(HostCommands, WhatAStanzaThatWillNotArriveWasForTheHost) {
    using Kind = HostCommands::Kind;
    const std::string room = "4711@conference.example.test", admin = "http://jabber.org/protocol/muc#admin";
    const std::u16string id = u"0123456789abcdef0123456789abcdef0123";
    const std::string id8(id.begin(), id.end());
    const auto moderation = [&](const std::string& item) {
        return "<iq type='set' id='x'><query xmlns='" + admin + "'>" + item + "</query></iq>";
    };
    const struct {
        const char* name;
        std::string to, xml;
        bool hosts;
        Kind kind;
        std::u16string text;
    } rows[] = {
        {"a message", room, "<message type='groupchat'><body>hé 👋</body></message>", true, Kind::Message, u"hé 👋"},
        {"a subject", room, "<message type='groupchat'><subject>topic</subject></message>", true, Kind::Subject,
         u"topic"},
        {"a subject with a body", room, "<message><subject>topic</subject><body>b</body></message>", true,
         Kind::Subject, u"topic"},
        {"a chat state alone", room, "<message><active xmlns='http://jabber.org/protocol/chatstates'/></message>",
         false, Kind::Message, u""},
        {"a nickname change", room, "<presence to='" + room + "/Zoë" + id8 + ":us'/>", true, Kind::Nickname,
         u"Zoë" + id + u":us"},
        {"the join", room, "<presence to='" + room + "/me'><x xmlns='http://jabber.org/protocol/muc'/></presence>",
         false, Kind::Message, u""},
        {"the leave", room, "<presence type='unavailable' to='" + room + "/me'/>", false, Kind::Message, u""},
        {"a destruction", room,
         "<iq type='set'><query xmlns='http://jabber.org/protocol/muc#owner'><destroy/></query></iq>", true,
         Kind::Destruction, u""},
        {"the room's configuration", room,
         "<iq type='set'><query xmlns='http://jabber.org/protocol/muc#owner'><x xmlns='jabber:x:data'/></query></iq>",
         false, Kind::Message, u""},
        // The host named the occupant by the 36 units before the tag.
        {"a kick", room, moderation("<item nick='Zoë😀" + id8 + ":us' role='none'/>"), true, Kind::Moderation, id},
        {"a nickname that is nothing but the identifier", room, moderation("<item nick='" + id8 + ":us' role='none'/>"),
         true, Kind::Moderation, id},
        {"a nickname shorter than an identifier", room, moderation("<item nick='bob' role='none'/>"), true,
         Kind::Moderation, u"bob"},
        {"an item without a nickname", room, moderation("<item jid='x@example.test' affiliation='outcast'/>"), false,
         Kind::Message, u""},
        {"a disco query to the room", room, "<iq type='get'><query xmlns='http://jabber.org/protocol/disco#info'/></iq>",
         false, Kind::Message, u""},
        {"a message to someone else", "4712@conference.example.test",
         "<message type='groupchat'><body>hi</body></message>", false, Kind::Message, u""},
        {"the roster", "", "<iq type='get'><query xmlns='jabber:iq:roster'/></iq>", false, Kind::Message, u""},
        {"not XML", room, "<message><body>cut", false, Kind::Message, u""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PendingStanza stanza;
        stanza.text = row.xml;
        stanza.to = row.to;
        stanza.name = row.xml.substr(1, row.xml.find_first_of(" >") - 1);
        Kind kind = Kind::Message;
        std::u16string text = u"unchanged";
        EXPECT_EQ(HostCommands::fromStanza(stanza, room, kind, text), row.hosts);
        if (!row.hosts) continue;
        EXPECT_EQ(kind, row.kind);
        EXPECT_EQ(text, row.text);
    }
}

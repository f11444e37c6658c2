// The keepalive on the wire: the probe after an idle interval, what counts
// as an answer, the end of a connection whose probe goes unanswered, and
// the answers to others' pings.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "client/KeepAlive.h"
#include "support/FakeSession.h"
#include "support/LogRecorder.h"

using namespace tern;
using testsupport::FakeSession;
using testsupport::LogRecorder;

namespace {

// Receive passes until done() holds; at most two seconds.
bool pumpUntil(FakeSession& s, const std::function<bool()>& done) {
    for (int i = 0; i < 1000; ++i) {
        s.client->receive(0);
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

const char* const kPingPrefix = "<iq type='get' id='";
const char* const kPingSuffix = "' to='example.test'><ping xmlns='urn:xmpp:ping'/></iq>";

// Waits for the probe and returns its id.
std::string awaitPing(FakeSession& s) {
    std::string out;
    EXPECT_TRUE(pumpUntil(s, [&] { return !(out += s.sent()).empty(); }));
    const std::size_t start = std::string(kPingPrefix).size();
    const std::size_t end = out.find('\'', start);
    EXPECT_EQ(out.substr(0, start), kPingPrefix);
    EXPECT_EQ(out.substr(end), kPingSuffix);
    return out.substr(start, end - start);
}

struct Case {
    const char* name;
    std::function<std::string(const std::string& pingId)> answer;  // empty: silence
    bool survives;
};

}  // namespace

TEST(KeepAlive, ProbeAfterIdleAndWhatCountsAsAnAnswer) {
    const Case cases[] = {
        {"result", [](const std::string& id) { return "<iq type='result' id='" + id + "' from='example.test'/>"; },
         true},
        // A server that does not know the ping still answered.
        {"error", [](const std::string& id) {
             return "<iq type='error' id='" + id + "' from='example.test'><error type='cancel'>"
                    "<service-unavailable xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>";
         }, true},
        // Any data is life, also what does not answer the ping.
        {"other stanza", [](const std::string&) { return std::string("<presence from='a@example.test/x'/>"); }, true},
        {"whitespace", [](const std::string&) { return std::string(" "); }, true},
        {"silence", [](const std::string&) { return std::string(); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSession s;
        s.login();
        LogRecorder log(s.client->logInstance());
        s.client->setKeepAlive(30, 150);
        const std::string id = awaitPing(s);
        const std::string answer = c.answer(id);
        if (!answer.empty()) s.says(answer);
        if (c.survives) {
            // The next probe comes after another idle interval, with a new id.
            EXPECT_NE(awaitPing(s), id);
            EXPECT_TRUE(s.listener.disconnects.empty());
        } else {
            EXPECT_TRUE(pumpUntil(s, [&] { return !s.listener.disconnects.empty(); }));
            ASSERT_EQ(s.listener.disconnects.size(), 1u);
            EXPECT_EQ(s.listener.disconnects[0], IoError);
            bool said = false;
            for (const auto& line : log.lines())
                said |= line.text.rfind("keepalive: the ping to example.test went unanswered for ", 0) == 0;
            EXPECT_TRUE(said);
            EXPECT_EQ(s.sent(), "");  // no stream close into a dead connection
        }
    }
}

// The wait for data ends when the probe is due, counted from the last data;
// every write has the probe's answer time as its deadline, and the default
// one when the probe is off.
TEST(KeepAlive, TheWaitForDataEndsWhenTheProbeIsDue) {
    FakeSession s;
    s.login();
    s.client->receive(-1);
    EXPECT_GT(s.fake->lastWaitUs, 59000000);  // the default idle interval, 60 s
    EXPECT_LE(s.fake->lastWaitUs, 60000000);
    s.client->setKeepAlive(2000, 150);
    EXPECT_EQ(s.fake->writeTimeoutMs, 150);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    s.says(" ");  // data: the idle interval starts again
    s.client->receive(-1);
    EXPECT_GT(s.fake->lastWaitUs, 1500000);
    s.client->setKeepAlive(0, 0);
    EXPECT_EQ(s.fake->writeTimeoutMs, KeepAlive::kDefaultTimeoutMs);
    s.client->receive(-1);
    EXPECT_EQ(s.fake->lastWaitUs, -1);
    EXPECT_EQ(s.sent(), "");
}

TEST(KeepAlive, PingsAreAnsweredAndListed) {
    FakeSession s;
    s.login();
    s.says("<iq type='get' id='p1' from='room@conference.example.test/nick'><ping xmlns='urn:xmpp:ping'/></iq>");
    EXPECT_EQ(s.sent(), "<iq type='result' id='p1' to='room@conference.example.test/nick'/>");
    s.says("<iq type='get' id='p2'><ping xmlns='urn:xmpp:ping'/></iq>");  // from the server itself
    EXPECT_EQ(s.sent(), "<iq type='result' id='p2'/>");
}

// With stream management an unanswered <r/> marks the link dead even while
// other data keeps arriving (a half-open link can still deliver): the
// session then resumes on a new connection.
TEST(KeepAlive, AnUnansweredAckRequestIsADeadLinkWhateverElseArrives) {
    FakeSession s;
    s.login(true);
    LogRecorder log(s.client->logInstance());
    s.client->setKeepAlive(30, 150);
    s.client->streamManagement()->setFirstPause(1);
    std::string out;
    EXPECT_TRUE(pumpUntil(s, [&] { return (out += s.sent()).find("<r xmlns='urn:xmpp:sm:3'/>") != std::string::npos; }));
    EXPECT_TRUE(pumpUntil(s, [&] {
        s.says("<presence from='a@example.test/x'/>");
        return s.fake->connects == 2;
    }));
    EXPECT_TRUE(log.contains("went unanswered"));
    EXPECT_TRUE(s.listener.disconnects.empty());
}

// Occupant presences and group-chat messages through a joined room to its
// handler, in process over the fake transport (no sockets), fed in
// 1024-byte chunks as a connection delivers them.
#include <chrono>
#include <cstdio>
#include <string>

#include "StreamGenerator.h"
#include "services/MUCRoom.h"
#include "support/FakeSession.h"

using namespace tern;
using Clock = std::chrono::steady_clock;

namespace {

struct Counter : MUCRoomHandler {
    long presences = 0, messages = 0;
    void onOccupantPresence(MUCRoom*, OccupantInfo, PresenceShow) override { ++presences; }
    void onRoomMessage(MUCRoom*, const std::string&, const std::string&, bool, const std::string&, bool) override {
        ++messages;
    }
    bool onRoomCreated(MUCRoom*) override { return true; }
    void onRoomSubject(MUCRoom*, const std::string&, const std::string&) override {}
    void onInviteDeclined(MUCRoom*, const JID&, const std::string&) override {}
    void onRoomError(MUCRoom*, StanzaError) override {}
    void onRoomInfo(MUCRoom*, int, const std::string&, std::unique_ptr<XmlDataForm>) override {}
    void onRoomItems(MUCRoom*, const DiscoItemList&) override {}
};

void feed(testsupport::FakeSession& s, const std::string& stream) {
    for (std::size_t off = 0; off < stream.size(); off += 1024) s.says(stream.substr(off, 1024));
}

}  // namespace

int main() {
    testsupport::FakeSession s("listener@example.test/parley", "pw");
    s.login();
    if (!s.listener.has("connected")) {
        std::fprintf(stderr, "muc_bench: the scripted login did not complete\n");
        return 1;
    }
    Counter counter;
    MUCRoom room(s.client.get(), JID("4711@conference.example.test/me"), &counter, nullptr);
    room.joinRoom();
    s.sent();

    // 1000 occupants join, then all of them leave.
    bench::Rng rng(3);
    std::string joins, leaves;
    for (int i = 0; i < 1000; ++i) {
        const std::string nick = bench::nickname(rng);
        const std::string item = "<item affiliation='none' role='participant' jid='user" + std::to_string(i) +
                                 "@example.test/desktop' tc='" + std::to_string(i % 5) + "'/>";
        joins += "<presence from='4711@conference.example.test/" + nick + "' to='listener@example.test/parley'>"
                 "<c xmlns='http://jabber.org/protocol/caps' hash='sha-1' node='http://example.test/caps' "
                 "ver='q07IKJEyjvHSyhy//CH0CxmKi8w='/><x xmlns='http://jabber.org/protocol/muc#user'>" + item + "</x></presence>";
        leaves += "<presence type='unavailable' from='4711@conference.example.test/" + nick +
                  "' to='listener@example.test/parley'><x xmlns='http://jabber.org/protocol/muc#user'>" + item +
                  "</x></presence>";
    }
    const std::string churn = joins + leaves;
    const int rounds = 50;
    auto t0 = Clock::now();
    for (int r = 0; r < rounds; ++r) feed(s, churn);
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("occupant presences: %ld in %.3f s: %.0f presences/s (1000 occupants joining and leaving, %d rounds)\n",
                counter.presences, secs, counter.presences / secs, rounds);

    std::string messages;
    const int kMessages = 200000;
    for (int i = 0; i < kMessages; ++i) bench::appendGroupchat(messages, rng, i);
    t0 = Clock::now();
    feed(s, messages);
    secs = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("group-chat messages: %ld in %.3f s: %.0f messages/s through the room to its handler\n",
                counter.messages, secs, counter.messages / secs);
    if (counter.messages != kMessages || counter.presences != 2000L * rounds) {
        std::fprintf(stderr, "muc_bench: the room handed on %ld of %d messages and %ld of %ld presences\n",
                     counter.messages, kMessages, counter.presences, 2000L * rounds);
        return 1;
    }
    return 0;
}

// A session healed across a server restart, measured in the test network
// namespace against Prosody (heal.test: stream management, persistent and
// archived rooms): from the moment the restart begins to the first message
// said meanwhile reaching the host, median of 5; beside it, as the
// baseline, the time the server itself takes to come back (until it
// accepts connections), in the same rounds. A round whose session does not
// heal fails the run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "parley.h"
#include "support/FaultProxy.h"
#include "support/HostRecorder.h"
#include "support/Peer.h"

using Clock = std::chrono::steady_clock;
using testsupport::HostEvent;
using testsupport::HostRecorder;
using testsupport::P;
using testsupport::Peer;

namespace {

std::u16string wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }
double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

const std::string kDomain = "heal.test";
const int kPort = 5252, kProxyPort = 5263;
const std::string kNick = "Bench00000000-1111-2222-3333-444444444444:us";
const std::string kPeerNick = "Peer99999999-8888-7777-6666-555555555555:us";

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One restart under a host and an occupant: {server back, message healed}
// in ms from the restart's start; negative when the session did not heal.
std::pair<double, double> round() {
    const std::string room = testsupport::uniqueName("hb"), roomJid = room + "@conference." + kDomain;
    const std::string user = testsupport::uniqueName("hbh"), peerJid = testsupport::uniqueName("hbp") + "@" + kDomain;
    Peer::registerAccount(user + "@" + kDomain, "pw", kPort);
    Peer::registerAccount(peerJid, "pw", kPort);
    testsupport::FaultProxy proxy(kProxyPort, kPort);
    auto peer = std::make_unique<Peer>(peerJid + "/py", "pw", kPort);
    peer->command("join", {{"room", roomJid}, {"nick", kPeerNick}});
    HostRecorder host;
    void* session = SetLogin(P(wide(user).c_str()), P(u"pw"), P(wide(room).c_str()), P(wide(kNick).c_str()),
                             P(wide(kDomain).c_str()), P(u"bench"), &host, &HostRecorder::callback);
    if (!host.waitForCode(PARLEY_EVENT_OCCUPANT_PRESENT, 15000)) return {-1, -1};
    peer.reset();
    const Clock::time_point start = Clock::now();
    const std::string restart = std::string(PARLEY_TESTENV_SCRIPT) + " restart prosody-heal";
    if (std::system(restart.c_str()) != 0) return {-1, -1};
    const double back = msSince(start);
    peer = std::make_unique<Peer>(peerJid + "/py", "pw", kPort);
    peer->command("join", {{"room", roomJid}, {"nick", kPeerNick}});
    peer->command("say", {{"room", roomJid}, {"body", "said meanwhile"}});
    const bool healed = host.waitForText(PARLEY_EVENT_CHAT_MESSAGE, "NICKNAME=" + kPeerNick + "_tok_said meanwhile", 60000);
    const double delivered = msSince(start);
    const bool quiet = !host.waitFor([](const HostEvent& e) { return e.code >= 21024 && e.code <= 21042; }, 0);
    GetLogOut(session);
    return {back, healed && quiet ? delivered : -1};
}

}  // namespace

int main() {
    SetEncryptionPolicy(PARLEY_ENCRYPTION_ALLOW_PLAINTEXT);  // the server here is plain TCP
    std::vector<double> back, healed;
    for (int i = 0; i < 5; ++i) {
        const auto r = round();
        if (r.second < 0) {
            std::fprintf(stderr, "heal_bench: round %d: the session did not heal\n", i + 1);
            return 1;
        }
        back.push_back(r.first);
        healed.push_back(r.second);
        std::printf("round %d: server back after %.0f ms, first message said meanwhile delivered after %.0f ms\n", i + 1,
                    r.first, r.second);
    }
    std::printf("server back (baseline)   median %.0f ms\n", median(back));
    std::printf("healed, message caught up median %.0f ms\n", median(healed));
    std::printf("heal_vs_server_restart: %.2f\n", median(healed) / median(back));
    return 0;
}

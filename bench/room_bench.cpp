// Large rooms through the C interface, in the test network namespace:
// - a scripted server answers a join with N occupants (N = 10, 100, 1000,
//   5000), then our own presence and one message. Each size runs in fresh
//   processes (this program with --one N; medians of five), so that no size
//   inherits another's heap; each reports the CPU the session's thread
//   spends from 11025 to our own 11027, and the RSS and heap the process
//   holds, beyond what it held before SetLogin, once the message is in. The
//   per-occupant figures are slopes against the smallest size, which carries
//   the session's own cost;
// - the same with every occupant's nickname showing one identifier (N =
//   1000, 5000, 10000), as occupants who choose to collide make it: the
//   join's CPU against the distinct identifiers';
// - K sessions (50, then 100) in one process, all in one room on the test
//   Prosody, after one session has been in and out (what loads once is no
//   session's own): RSS and heap per session once every session counts K
//   occupants, and from the two crowds the part per occupant known.
// A session that does not get in, hear of every occupant or receive the
// message ends the run with an error.
#include <malloc.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "parley.h"
#include "support/HostRecorder.h"
#include "support/Peer.h"
#include "support/XmppTestServer.h"

using testsupport::P;

namespace {

const int kSizes[] = {10, 100, 1000, 5000};
const int kSharedSizes[] = {1000, 5000, 10000};
constexpr int kRounds = 5;  // fresh processes per size; medians
const int kCrowds[] = {50, 100};
const std::string kOwnNick = "Bench00000000-1111-2222-3333-444444444444:us";

[[noreturn]] void failRun(const std::string& why) {
    std::fprintf(stderr, "room_bench: %s\n", why.c_str());
    std::exit(1);
}

std::u16string wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

long rssBytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

long heapBytes() {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<long>(m.uordblks + m.hblkhd);
}

// One session's events, counted on the session's thread.
struct Watch {
    std::atomic<int> listed{0};
    std::atomic<bool> connected{false}, own{false}, message{false}, ended{false};
    double cpuConnected = 0, cpuOwn = 0;
    static int32_t PARLEY_CALL callback(void* c, int32_t code, int32_t, int32_t, const TextBuffer*) {
        auto* w = static_cast<Watch*>(c);
        if (code == PARLEY_EVENT_CONNECTED) {
            w->cpuConnected = threadCpuMs();
            w->connected = true;
        } else if (code == PARLEY_EVENT_OCCUPANT_LISTED) {
            ++w->listed;
        } else if (code == PARLEY_EVENT_OCCUPANT_PRESENT && !w->own) {
            w->cpuOwn = threadCpuMs();  // others before us are listed (11054): the first 11027 is ours
            w->own = true;
        } else if (code == PARLEY_EVENT_CHAT_MESSAGE) {
            w->message = true;
        } else if (code >= PARLEY_EVENT_DISCONNECTED && code <= PARLEY_EVENT_DISCONNECTED + 18) {
            w->ended = true;
        }
        return 0;
    }
};

template <typename Done>
bool waitUntil(Done done, int ms) {
    for (int i = 0; i < ms / 10 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

// ---- one size against the scripted server (the child's side) ------------------

int runOne(int n) {
    SetEncryptionPolicy(PARLEY_ENCRYPTION_ALLOW_PLAINTEXT);  // the scripted server offers PLAIN
    const long rss0 = rssBytes(), heap0 = heapBytes();
    Watch w;
    const std::u16string nick = wide(kOwnNick);
    void* s = SetLogin(P(u"user"), P(u"pw"), P(u"4711"), P(nick.c_str()), P(u"fake.test"), P(u"bench"), &w,
                       &Watch::callback);
    if (!s) failRun("SetLogin made no session");
    if (!waitUntil([&] { return w.message || w.ended; }, 120000) || !w.message)
        failRun(std::to_string(n) + " occupants: the message did not arrive");
    const int listed = w.listed, count = GetUserTotalCount(s);
    if (listed != n || count != n + 1)
        failRun(std::to_string(n) + " occupants: " + std::to_string(listed) + " listed, " + std::to_string(count) +
                " counted");
    const long rss = rssBytes() - rss0, heap = heapBytes() - heap0;
    GetLogOut(s);
    std::printf("%d %.3f %ld %ld\n", n, w.cpuOwn - w.cpuConnected, rss, heap);
    return 0;
}

// The join's answer: N occupants (with one identifier between them when
// shared), our own presence, one message.
std::string joinAnswer(int n, bool shared) {
    std::string out;
    out.reserve(static_cast<std::size_t>(n) * 260 + 600);
    char nick[64], jid[64];
    for (int i = 0; i < n; ++i) {
        std::snprintf(nick, sizeof nick, "Guest%05d%08d-0000-0000-0000-000000000000:us", i, shared ? 7 : i);
        std::snprintf(jid, sizeof jid, "guest%05d@fake.test/player", i);
        out += "<presence from='4711@conference.fake.test/";
        out += nick;
        out += "'><x xmlns='http://jabber.org/protocol/muc#user'><item jid='";
        out += jid;
        out += i % 50 ? "' affiliation='none' role='participant'/></x></presence>"
                      : "' affiliation='member' role='moderator'/></x></presence>";
    }
    out += "<presence from='4711@conference.fake.test/" + kOwnNick +
           "'><x xmlns='http://jabber.org/protocol/muc#user'><item jid='user@fake.test/bench' affiliation='none' "
           "role='participant'/><status code='110'/></x></presence>";
    out += "<message type='groupchat' from='4711@conference.fake.test/Guest0000000000000-0000-0000-0000-"
           "000000000000:us'><body>hello, everyone</body></message>";
    return out;
}

struct SizeFigures {
    int n;
    double cpuMs;
    long rss, heap;
};

SizeFigures measureOnce(const char* self, int n, bool shared) {
    testsupport::XmppTestServer server(15300);  // fake.test's SRV port
    server.onJoin({joinAnswer(n, shared)});
    const std::string command = std::string(self) + " --one " + std::to_string(n);
    FILE* child = popen(command.c_str(), "r");
    if (!child) failRun("cannot start " + command);
    SizeFigures f{};
    const int got = std::fscanf(child, "%d %lf %ld %ld", &f.n, &f.cpuMs, &f.rss, &f.heap);
    const int status = pclose(child);
    if (got != 4 || status != 0 || f.n != n) failRun("the session with " + std::to_string(n) + " occupants failed");
    return f;
}

template <typename T>
T median(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

SizeFigures measureSize(const char* self, int n, bool shared = false) {
    std::vector<double> cpu;
    std::vector<long> rss, heap;
    for (int i = 0; i < kRounds; ++i) {
        const SizeFigures f = measureOnce(self, n, shared);
        cpu.push_back(f.cpuMs);
        rss.push_back(f.rss);
        heap.push_back(f.heap);
    }
    return {n, median(cpu), median(rss), median(heap)};
}

// ---- K sessions in one room on Prosody (the child's side) ------------------------

// Session i of the crowd logs in as prefix + i and waits until it is in.
void* joinCrowd(Watch& w, const std::string& userPrefix, int i, const std::string& room) {
    char id[40];
    std::snprintf(id, sizeof id, "%08d-1111-2222-3333-444444444444", i);
    const std::u16string user = wide(userPrefix + std::to_string(i));
    const std::u16string nick = wide("Crowd" + std::string(id) + ":us");
    const std::u16string roomName = wide(room);
    void* s = SetLogin(P(user.c_str()), P(u"pw"), P(roomName.c_str()), P(nick.c_str()), P(u"example.test"),
                       P(u"crowd"), &w, &Watch::callback);
    if (!s) failRun("SetLogin made no session");
    if (!waitUntil([&] { return w.own || w.ended; }, 30000) || !w.own)
        failRun("session " + std::to_string(i) + " did not get into room " + room);
    return s;
}

int runCrowd(int k, const std::string& userPrefix, const std::string& room) {
    SetEncryptionPolicy(PARLEY_ENCRYPTION_ALLOW_PLAINTEXT);  // example.test is plain TCP
    {
        // What the first session loads once (libraries' pages, the
        // resolver's state) is no session's own.
        Watch w;
        GetLogOut(joinCrowd(w, userPrefix, k, room + "warm"));
    }
    const long rss0 = rssBytes(), heap0 = heapBytes();
    std::vector<std::unique_ptr<Watch>> watches;
    std::vector<void*> sessions;
    for (int i = 0; i < k; ++i) {
        watches.push_back(std::make_unique<Watch>());
        sessions.push_back(joinCrowd(*watches.back(), userPrefix, i, room));
    }
    const bool everyoneSeen = waitUntil(
        [&] {
            for (void* s : sessions)
                if (GetUserTotalCount(s) != k) return false;
            return true;
        },
        120000);
    if (!everyoneSeen) failRun(std::to_string(k) + " sessions: not every session counts " + std::to_string(k));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long rss = rssBytes() - rss0, heap = heapBytes() - heap0;
    for (void* s : sessions) GetLogOut(s);
    std::printf("%d %ld %ld\n", k, rss, heap);
    return 0;
}

struct CrowdFigures {
    long rss, heap;
};

CrowdFigures measureCrowd(const char* self, int k) {
    const std::string prefix = testsupport::uniqueName("crowd") + "u";
    for (int i = 0; i <= k; ++i) {  // one more for the warm-up
        const std::u16string user = wide(prefix + std::to_string(i));
        testsupport::HostRecorder reg;
        void* h = SetRegistration(P(u"example.test"), P(user.c_str()), P(u"pw"), &reg,
                                  &testsupport::HostRecorder::callback);
        if (!h || WaitRegistration(h, 15000) != 1 || !reg.waitForCode(PARLEY_EVENT_REGISTERED, 0))
            failRun("could not register " + testsupport::toUtf8(user) + "@example.test");
    }
    const std::string room = std::to_string(7000 + k) + testsupport::uniqueName("crowd");
    const std::string command = std::string(self) + " --crowd " + std::to_string(k) + " " + prefix + " " + room;
    FILE* child = popen(command.c_str(), "r");
    if (!child) failRun("cannot start " + command);
    int got = 0;
    CrowdFigures f{};
    const int read = std::fscanf(child, "%d %ld %ld", &got, &f.rss, &f.heap);
    if (read != 3 || pclose(child) != 0 || got != k) failRun("the crowd of " + std::to_string(k) + " failed");
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("PARLEY_TESTENV")) {
        std::fprintf(stderr, "room_bench runs inside the test environment (scripts/bench room)\n");
        return 2;
    }
    if (argc == 3 && std::string(argv[1]) == "--one") return runOne(std::atoi(argv[2]));
    if (argc == 5 && std::string(argv[1]) == "--crowd") return runCrowd(std::atoi(argv[2]), argv[3], argv[4]);
    SetEncryptionPolicy(PARLEY_ENCRYPTION_ALLOW_PLAINTEXT);
    char selfPath[4096];
    const ssize_t length = readlink("/proc/self/exe", selfPath, sizeof selfPath - 1);
    if (length <= 0) failRun("cannot tell where this program is");
    selfPath[length] = '\0';
    const char* self = selfPath;

    std::vector<SizeFigures> sizes;
    for (int n : kSizes) sizes.push_back(measureSize(self, n));
    const SizeFigures& base = sizes.front();
    std::printf("a join with N occupants from the scripted server, then our own presence and one message "
                "(each size in %d fresh processes, medians):\n", kRounds);
    std::printf("  %5s %12s %14s %14s %14s %16s %16s\n", "N", "join CPU ms", "CPU us/occ.", "RSS added kB",
                "heap added kB", "RSS B/occupant", "heap B/occupant");
    for (const SizeFigures& f : sizes) {
        const double extra = f.n - base.n;
        std::printf("  %5d %12.2f %14.2f %14.1f %14.1f", f.n, f.cpuMs, f.cpuMs * 1e3 / f.n, f.rss / 1024.0,
                    f.heap / 1024.0);
        if (extra > 0)
            std::printf(" %16.0f %16.0f\n", (f.rss - base.rss) / extra, (f.heap - base.heap) / extra);
        else
            std::printf(" %16s %16s\n", "(base)", "(base)");
    }
    const SizeFigures& k1 = sizes[2];
    const SizeFigures& k5 = sizes[3];

    std::vector<SizeFigures> shared;
    for (int n : kSharedSizes) shared.push_back(measureSize(self, n, true));
    std::printf("the same, every occupant's nickname showing one identifier:\n");
    std::printf("  %5s %12s %14s %20s\n", "N", "join CPU ms", "CPU us/occ.", "against distinct");
    for (const SizeFigures& f : shared) {
        std::printf("  %5d %12.2f %14.2f", f.n, f.cpuMs, f.cpuMs * 1e3 / f.n);
        if (f.n == k1.n || f.n == k5.n)
            std::printf(" %20.2f\n", f.cpuMs / (f.n == k1.n ? k1 : k5).cpuMs);
        else
            std::printf(" %20s\n", "");
    }

    CrowdFigures crowd[2];
    for (int i = 0; i < 2; ++i) crowd[i] = measureCrowd(self, kCrowds[i]);
    std::printf("K sessions in one process, all in one room on Prosody (example.test):\n");
    for (int i = 0; i < 2; ++i)
        std::printf("  K = %3d: %8.1f kB RSS per session, %8.1f kB heap\n", kCrowds[i],
                    crowd[i].rss / 1024.0 / kCrowds[i], crowd[i].heap / 1024.0 / kCrowds[i]);
    // K sessions hold K * (own + K * known): two crowds give both parts.
    const double perKnown = (crowd[1].rss - 2.0 * crowd[0].rss) / (100.0 * 100 - 2 * 50.0 * 50);
    const double heapPerKnown = (crowd[1].heap - 2.0 * crowd[0].heap) / (100.0 * 100 - 2 * 50.0 * 50);
    std::printf("  of which per occupant known to a session: %.0f B RSS, %.0f B heap; the session's own: %.1f kB RSS\n",
                perKnown, heapPerKnown, (crowd[0].rss - 2500 * perKnown) / 50 / 1024.0);

    std::printf("room_join_cpu_5000_vs_1000: %.2f\n", k5.cpuMs / k1.cpuMs);
    std::printf("room_join_cpu_shared_10000_vs_1000: %.2f\n", shared[2].cpuMs / shared[0].cpuMs);
    std::printf("room_join_cpu_shared_vs_distinct_5000: %.2f\n", shared[1].cpuMs / k5.cpuMs);
    std::printf("room_rss_per_occupant: %.0f B (5000 against 10)\n", (k5.rss - base.rss) / double(k5.n - base.n));
    std::printf("room_rss_per_session_100: %.1f kB\n", crowd[1].rss / 1024.0 / 100);
    return 0;
}

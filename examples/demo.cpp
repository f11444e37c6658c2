// The demo: two hosts, on the C interface only, register, join one room and
// talk, with a moderation step, every event printed as it arrives.
//   parley-demo [server [ca-file]]
// (default example.test: the test environment's plain Prosody; scripts/demo
// runs it against tls.test over STARTTLS, trusting the environment's
// certificate authority).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "HostEvents.h"
#include "parley.h"

namespace {

std::mutex printMutex;

struct Host {
    std::string name;
    std::string user;
    std::string nick;
    std::string id;
    void* session = nullptr;
};

int32_t onEvent(void* context, int32_t code, int32_t arg3, int32_t arg4, const TextBuffer* text) {
    auto* host = static_cast<Host*>(context);
    std::lock_guard<std::mutex> lock(printMutex);
    std::printf("[%-4s] %s\n", host->name.c_str(), describe(code, arg3, arg4, text).c_str());
    std::fflush(stdout);
    return 0;
}

void onLog(void*, int32_t level, int32_t, const TextBuffer* line) {
    const std::string text = line ? toUtf8(line->text, line->length) : std::string();
    if (level < 2 && text != "connection encryption active") return;
    std::lock_guard<std::mutex> lock(printMutex);
    std::printf("       log: %s\n", text.c_str());
}

void pause(int ms = 400) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void say(const Host& h, const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(printMutex);
        std::printf("[%-4s] says: %s\n", h.name.c_str(), line.c_str());
    }
    SetChatMessage(h.session, toHost(line).c_str());
    pause();
}

void step(const char* what) {
    std::lock_guard<std::mutex> lock(printMutex);
    std::printf("-- %s\n", what);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string server = argc > 1 ? argv[1] : "example.test";
    if (argc > 2) SetTrustedCAFile(toHost(argv[2]).c_str());
    // The log line that tells the stream is encrypted, and every error.
    SetLogCallback(onLog, nullptr, 0);
    const std::string tag = std::to_string(std::time(nullptr) % 100000);
    Host anna{"Anna", "anna" + tag, "", "aaaaaaaa-0000-4000-8000-0000000" + tag.substr(0, 5)};
    Host ben{"Ben", "ben" + tag, "", "bbbbbbbb-0000-4000-8000-0000000" + tag.substr(0, 5)};
    for (Host* h : {&anna, &ben}) {
        while (h->id.size() < 36) h->id += "0";
        h->nick = h->name + h->id + ":us";
    }

    step("registering two accounts through SetRegistration");
    for (Host* h : {&anna, &ben}) {
        void* handle = SetRegistration(toHost(server).c_str(), toHost(h->user).c_str(), toHost("secret").c_str(), h,
                                       onEvent);
        if (!handle || WaitRegistration(handle, 20000) != 1) {
            std::fprintf(stderr, "registration of %s did not finish\n", h->user.c_str());
            return 1;
        }
    }

    step("logging both in to room 4711 through SetLogin");
    for (Host* h : {&anna, &ben}) {
        h->session = SetLogin(toHost(h->user).c_str(), toHost("secret").c_str(), toHost("4711").c_str(),
                              toHost(h->nick).c_str(), toHost(server).c_str(), toHost("demo").c_str(), h, onEvent);
        pause(800);
    }

    step("a conversation");
    say(anna, "Hello Ben! The film starts in five minutes 🎬");
    say(ben, "Grüße, Anna — I'm ready 🍿");
    SetSubject(anna.session, toHost("Tonight: Metropolis (1927)").c_str());
    pause();
    say(anna, "<tc>{\"cmd\":\"play\",\"pos\":0}</tc>");
    say(anna, "ca:volume=40");

    step("moderation: Anna (the room's owner) takes Ben's voice, then gives it back");
    SetWriteBlock(anna.session, toHost(ben.id).c_str());
    pause();
    {
        std::lock_guard<std::mutex> lock(printMutex);
        std::printf("[Anna] IsWriteBlock(Ben) = %d, members = %d\n", IsWriteBlock(anna.session, toHost(ben.id).c_str()),
                    GetUserTotalCount(anna.session));
    }
    say(ben, "can anyone hear me?");
    SetCancel(anna.session, toHost(ben.id).c_str());
    pause();
    say(ben, "thanks!");
    SetModerator(anna.session, toHost(ben.id).c_str());
    pause();
    SetNickName(ben.session, toHost("Benjamin" + ben.id + ":us").c_str());
    pause();

    step("logging out");
    GetLogOut(ben.session);
    pause();
    GetLogOut(anna.session);
    step("done");
    return 0;
}

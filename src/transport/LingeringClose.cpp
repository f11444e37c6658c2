#include "transport/LingeringClose.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tern {

namespace {

using Clock = std::chrono::steady_clock;
constexpr long long kSliceUs = 100000;  // how often a close looks whether the process is ending
// Closes under way at most; beyond them a socket closes at once (a host
// that logs out again and again from a server that reads nothing).
constexpr int kMostLingering = 16;

// The closes under way. At exit (or when the library is unloaded) they are
// told to stop, and waited for: each looks at least every kSliceUs.
struct Closes {
    ~Closes() {
        std::unique_lock<std::mutex> lock(mutex);
        ending = true;
        done.wait_for(lock, std::chrono::seconds(2), [this] { return running == 0; });
    }
    std::mutex mutex;
    std::condition_variable done;
    int running = 0;
    bool ending = false;
};

Closes& closes() {
    static Closes all;
    return all;
}

bool ending() {
    Closes& c = closes();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.ending;
}

long long usUntil(Clock::time_point t) {
    const long long left = std::chrono::duration_cast<std::chrono::microseconds>(t - Clock::now()).count();
    return left < 0 ? 0 : left < kSliceUs ? left : kSliceUs;
}

void linger(platform::SocketHandle s, std::string unsent, int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t offset = 0;
    while (offset < unsent.size() && Clock::now() < deadline && !ending()) {
        const long n = platform::sendSome(s, unsent.data() + offset, unsent.size() - offset);
        if (n > 0)
            offset += static_cast<std::size_t>(n);
        else if (n == platform::kWouldBlock)
            platform::waitWritable(s, usUntil(deadline), nullptr);
        else
            break;  // the peer is gone
    }
    if (offset == unsent.size()) {
        platform::shutdownWrite(s);
        // What the peer still sends (a server that was only stopped answers
        // all it read) is read and dropped up to its own end: closed with
        // unread data, the socket would reset what it has not yet delivered.
        char buffer[4096];
        while (Clock::now() < deadline && !ending()) {
            const long n = platform::receiveSome(s, buffer, sizeof buffer);
            if (n == platform::kWouldBlock)
                platform::waitReadable(s, usUntil(deadline), nullptr);
            else if (n <= 0)
                break;
        }
    }
    platform::closeSocket(s);
}

}  // namespace

void closeLingering(platform::SocketHandle socket, std::string unsent, int timeoutMs) {
    Closes& c = closes();
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        if (c.ending || c.running >= kMostLingering) {
            platform::closeSocket(socket);
            return;
        }
        ++c.running;
    }
    platform::keepCodeLoaded();  // the thread may outlive the host's hold on the library
    try {
        std::thread([socket, unsent = std::move(unsent), timeoutMs]() mutable {
            linger(socket, std::move(unsent), timeoutMs);
            Closes& all = closes();
            std::lock_guard<std::mutex> lock(all.mutex);
            --all.running;
            all.done.notify_all();
        }).detach();
    } catch (...) {
        // No thread to be had: closed at once, as it always was.
        platform::closeSocket(socket);
        std::lock_guard<std::mutex> lock(c.mutex);
        --c.running;
    }
}

}  // namespace tern

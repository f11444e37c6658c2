// The host hears that it is connected (11025) before anything about its
// room. The room is joined in the same write as the session's first
// requests, so its events can come first; they wait here until then.
#ifndef PARLEY_HOST_EVENTGATE_H
#define PARLEY_HOST_EVENTGATE_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace tern {

class EventGate {
public:
    struct Event {
        std::int32_t code;
        std::int32_t arg3;
        std::int32_t arg4;
        bool hasText;
        std::u16string text;
    };
    // Room events wait from now on.
    void close();
    // True when the event waits (kept, text copied); false to raise it now.
    bool hold(std::int32_t code, std::int32_t arg3, std::int32_t arg4, const std::u16string* text);
    // Lets everything through from now on; returns what waited, in order.
    std::vector<Event> open();
    bool isOpen() const { return open_.load(std::memory_order_acquire); }

private:
    std::mutex mutex_;
    std::atomic<bool> open_{true};  // read without the lock by every event once open
    std::vector<Event> held_;
};

}  // namespace tern

#endif

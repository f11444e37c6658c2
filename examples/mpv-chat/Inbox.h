// Events from other threads (the session's, the library's log) to the
// plugin's loop. Bounded: a hostile occupant's flood of messages, arrivals
// or role changes is dropped and counted, while what the viewer's own state
// hangs on (the connection, the room's answers, events about ourselves)
// still passes, up to a hard limit on everything.
#ifndef PARLEY_MPV_INBOX_H
#define PARLEY_MPV_INBOX_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "Utf16.h"

namespace mpvchat {

class Inbox {
public:
    struct Event {
        std::uint64_t session;  // which login; 0 for a library log line
        int code;
        int arg4;
        bool hasText;
        HostString text;
    };
    // wake: tells the loop that there is something (mpv_wakeup); own: our
    // occupant identifier, which the texts of events about us carry.
    Inbox(std::function<void()> wake, const std::string& own, std::size_t limit = 5000, std::size_t reserve = 200);
    void push(Event event);
    // Everything queued; dropped: how many were dropped since the last take.
    std::deque<Event> take(std::size_t& dropped);

private:
    bool vital(const Event& event) const;

    const std::function<void()> wake_;
    const HostString own_;
    const std::size_t limit_, reserve_;
    std::mutex mutex_;
    std::deque<Event> events_;
    std::size_t dropped_ = 0;
};

}  // namespace mpvchat

#endif

// The host hears that it is connected (11025) before anything about its
// room. The room is joined in the same write as the session's first
// requests, so its events can come first; they wait here until then. A
// server that sends more than a full room's worth before the session is
// up loses the rest, but for a small reserve kept for what the host cannot
// do without (our own presence, the subject), so that others' flood cannot
// hide that we are in.
#ifndef PARLEY_HOST_EVENTGATE_H
#define PARLEY_HOST_EVENTGATE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "services/RoomOccupants.h"

namespace tern {

class LogExport;

class EventGate {
public:
    // Two events for each occupant of a room as full as a session lists
    // it, with a third again for its history and subject.
    static constexpr std::size_t kMaxHeld = 3 * RoomOccupants::kMaxOccupants;
    static constexpr std::size_t kMaxHeldUnits = 4u << 20;  // of text (8 MB)
    static constexpr std::size_t kReserved = 64;            // ours, past the bounds

    struct Event {
        std::int32_t code;
        std::int32_t arg3;
        std::int32_t arg4;
        bool hasText;
        std::u16string text;
    };
    // Room events wait from now on; log hears of any dropped.
    void close(const LogExport* log = nullptr);
    // True when the event waits (kept, text copied) or, past the bound, is
    // dropped; false to raise it now. ours: about our own presence or the
    // subject, kept past the bounds within the reserve.
    bool hold(std::int32_t code, std::int32_t arg3, std::int32_t arg4, const std::u16string* text,
              bool ours = false);
    // Lets everything through from now on; returns what waited, in order.
    std::vector<Event> open();
    bool isOpen() const { return open_.load(std::memory_order_acquire); }

private:
    std::mutex mutex_;
    std::atomic<bool> open_{true};  // read without the lock by every event once open
    std::vector<Event> held_;
    std::size_t heldUnits_ = 0;
    std::size_t reserveUsed_ = 0;
    bool dropping_ = false;
    const LogExport* log_ = nullptr;
};

}  // namespace tern

#endif

#include "host/EventGate.h"

#include "client/LogExport.h"
#include "parley.h"

namespace tern {

namespace {
// What the host hears of the connection itself, of a registration, or of
// its own requests.
bool aboutTheSession(std::int32_t code) {
    return code == PARLEY_EVENT_CONNECTED || code == PARLEY_EVENT_REGISTERED || code == PARLEY_EVENT_NOT_SENT ||
           code == PARLEY_EVENT_CONNECTION_INTERRUPTED || code == PARLEY_EVENT_CONNECTION_RESTORED ||
           code == PARLEY_EVENT_REGISTRATION_CONFLICT ||
           (code >= PARLEY_EVENT_DISCONNECTED && code <= PARLEY_EVENT_DISCONNECTED + PARLEY_REASON_NOT_CONNECTED);
}
}  // namespace

void EventGate::close(const LogExport* log) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
    held_.clear();
    heldUnits_ = 0;
    reserveUsed_ = 0;
    dropping_ = false;
    log_ = log;
}

bool EventGate::hold(std::int32_t code, std::int32_t arg3, std::int32_t arg4, const std::u16string* text,
                     bool ours) {
    if (open_.load(std::memory_order_acquire)) return false;
    const LogExport* log = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (open_ || aboutTheSession(code)) return false;
        const std::size_t units = text ? text->size() : 0;
        const bool within = held_.size() < kMaxHeld && heldUnits_ + units <= kMaxHeldUnits;
        if (within || (ours && reserveUsed_ < kReserved && units <= kMaxHeldUnits / kReserved)) {
            if (within)
                heldUnits_ += units;
            else
                ++reserveUsed_;
            held_.push_back({code, arg3, arg4, text != nullptr, text ? *text : std::u16string()});
            return true;
        }
        if (!dropping_) log = log_;
        dropping_ = true;
    }
    // Written without the lock: the host's log callback may raise events.
    if (log)
        log->log(LogWarning, LogAreaClient,
                 std::to_string(kMaxHeld) + " room events, or " + std::to_string(kMaxHeldUnits) +
                     " units of their text, came before the login was complete; later ones are dropped");
    return true;
}

std::vector<EventGate::Event> EventGate::open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    std::vector<Event> out;
    out.swap(held_);
    heldUnits_ = 0;
    reserveUsed_ = 0;
    return out;
}

}  // namespace tern

#include "host/EventGate.h"

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

void EventGate::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
    held_.clear();
}

bool EventGate::hold(std::int32_t code, std::int32_t arg3, std::int32_t arg4, const std::u16string* text) {
    if (open_.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_ || aboutTheSession(code)) return false;
    held_.push_back({code, arg3, arg4, text != nullptr, text ? *text : std::u16string()});
    return true;
}

std::vector<EventGate::Event> EventGate::open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    std::vector<Event> out;
    out.swap(held_);
    return out;
}

}  // namespace tern

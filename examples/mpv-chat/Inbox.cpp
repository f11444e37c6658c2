#include "Inbox.h"

namespace mpvchat {

Inbox::Inbox(std::function<void()> wake, const std::string& own, std::size_t limit, std::size_t reserve)
    : wake_(std::move(wake)), own_(toHost(own)), limit_(limit), reserve_(reserve) {}

bool Inbox::vital(const Event& e) const {
    if (e.session == 0) return false;
    const int c = e.code;
    if (c == PARLEY_EVENT_CONNECTED || (c >= PARLEY_EVENT_DISCONNECTED && c <= PARLEY_EVENT_DISCONNECTED + 18) ||
        c == PARLEY_EVENT_CONNECTION_INTERRUPTED || c == PARLEY_EVENT_CONNECTION_RESTORED ||
        (c >= PARLEY_EVENT_ROOM_ERROR_FIRST && c <= PARLEY_EVENT_ROOM_ERROR_LAST) || c == PARLEY_EVENT_ROOM_DESTROYED)
        return true;
    // Our own arrival, role, nickname or removal. A message cannot be
    // about us, whoever it names; nor can the room's notices (an occupant
    // makes the room send them, invitations for one) or the word that our
    // identifier is shared (anyone may show it, as often as it likes): they
    // change no state of ours.
    if (c == PARLEY_EVENT_CHAT_MESSAGE || c == PARLEY_EVENT_TAGGED_MESSAGE || c == PARLEY_EVENT_CONTROL_MESSAGE ||
        c == PARLEY_EVENT_SUBJECT || c == PARLEY_EVENT_NOT_SENT || c == PARLEY_EVENT_ROOM_NOTICE ||
        c == PARLEY_EVENT_IDENTIFIER_SHARED)
        return false;
    return !own_.empty() && e.text.find(own_) != HostString::npos;
}

void Inbox::push(Event event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Past the limit only what our state hangs on; past the reserve
        // (someone else wearing our identifier in a nickname) nothing.
        const std::size_t n = events_.size();
        if (n >= limit_ + reserve_ || (n >= limit_ && !vital(event))) {
            ++dropped_;
            return;
        }
        events_.push_back(std::move(event));
    }
    wake_();
}

std::deque<Inbox::Event> Inbox::take(std::size_t& dropped) {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped = dropped_;
    dropped_ = 0;
    std::deque<Event> out;
    out.swap(events_);
    return out;
}

}  // namespace mpvchat

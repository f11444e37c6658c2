#include "client/Timers.h"

#include <algorithm>

namespace tern {

void Timers::add(TimerHandler* handler) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (std::find(handlers_.begin(), handlers_.end(), handler) == handlers_.end()) handlers_.push_back(handler);
}

void Timers::remove(TimerHandler* handler) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    handlers_.erase(std::remove(handlers_.begin(), handlers_.end(), handler), handlers_.end());
}

long long Timers::untilDue(TimerHandler::Clock::time_point now) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    long long nearest = -1;
    for (TimerHandler* h : handlers_) {
        const long long due = h->untilDue(now);
        if (due >= 0 && (nearest < 0 || due < nearest)) nearest = due;
    }
    return nearest;
}

void Timers::fire(TimerHandler::Clock::time_point now) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const std::vector<TimerHandler*> snapshot = handlers_;
    for (TimerHandler* h : snapshot) {
        if (std::find(handlers_.begin(), handlers_.end(), h) == handlers_.end()) continue;  // removed meanwhile
        if (h->untilDue(now) == 0) h->onTimer(now);
    }
}

}  // namespace tern

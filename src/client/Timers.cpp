#include "client/Timers.h"

#include <algorithm>

#include "client/PendingStanza.h"

namespace tern {

void Timers::add(TimerHandler* handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(handlers_.begin(), handlers_.end(), handler) == handlers_.end()) handlers_.push_back(handler);
}

void Timers::remove(TimerHandler* handler) {
    std::unique_lock<std::mutex> lock(mutex_);
    handlers_.erase(std::remove(handlers_.begin(), handlers_.end(), handler), handlers_.end());
    if (firingThread_ == std::this_thread::get_id()) return;
    idle_.wait(lock, [&] { return firing_ != handler; });
}

long long Timers::untilDue(TimerHandler::Clock::time_point now) {
    long long nearest = -1;
    for (TimerHandler* h : snapshot()) {
        if (!begin(h)) continue;
        const long long due = h->untilDue(now);
        end();
        if (due >= 0 && (nearest < 0 || due < nearest)) nearest = due;
    }
    return nearest;
}

void Timers::fire(TimerHandler::Clock::time_point now) {
    for (TimerHandler* h : snapshot()) {
        if (!begin(h)) continue;  // removed meanwhile
        if (h->untilDue(now) == 0) h->onTimer(now);
        end();
    }
}

void Timers::resumed(TimerHandler::Clock::time_point now) {
    for (TimerHandler* h : snapshot()) {
        if (!begin(h)) continue;
        h->onResumed(now);
        end();
    }
}

void Timers::sessionRenewing() {
    for (TimerHandler* h : snapshot()) {
        if (!begin(h)) continue;
        h->onSessionRenewing();
        end();
    }
}

void Timers::sessionRenewed(TimerHandler::Clock::time_point now, std::vector<PendingStanza>& pending) {
    for (TimerHandler* h : snapshot()) {
        if (!begin(h)) continue;
        h->onSessionRenewed(now, pending);
        end();
    }
}

std::vector<TimerHandler*> Timers::snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return handlers_;
}

bool Timers::begin(TimerHandler* handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(handlers_.begin(), handlers_.end(), handler) == handlers_.end()) return false;
    firing_ = handler;
    firingThread_ = std::this_thread::get_id();
    return true;
}

void Timers::end() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        firing_ = nullptr;
        firingThread_ = std::thread::id();
    }
    idle_.notify_all();
}

}  // namespace tern

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

template <typename F>
void Timers::each(F&& f) {
    constexpr std::size_t kOnStack = 8;
    TimerHandler* onStack[kOnStack];
    std::vector<TimerHandler*> onHeap;
    TimerHandler** list = onStack;
    std::size_t count;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        count = handlers_.size();
        if (count > kOnStack) {
            onHeap = handlers_;
            list = onHeap.data();
        } else {
            std::copy(handlers_.begin(), handlers_.end(), onStack);
        }
    }
    for (std::size_t i = 0; i < count; ++i)
        if (turnTo(list[i])) f(list[i]);  // skipped when removed meanwhile
    if (count) turnTo(nullptr);
}

long long Timers::untilDue(TimerHandler::Clock::time_point now) {
    long long nearest = -1;
    each([&](TimerHandler* h) {
        const long long due = h->untilDue(now);
        if (due >= 0 && (nearest < 0 || due < nearest)) nearest = due;
    });
    return nearest;
}

void Timers::fire(TimerHandler::Clock::time_point now) {
    each([&](TimerHandler* h) {
        if (h->untilDue(now) == 0) h->onTimer(now);
    });
}

void Timers::resumed(TimerHandler::Clock::time_point now) {
    each([&](TimerHandler* h) { h->onResumed(now); });
}

void Timers::sessionRenewing() {
    each([](TimerHandler* h) { h->onSessionRenewing(); });
}

void Timers::sessionRenewed(TimerHandler::Clock::time_point now, std::vector<PendingStanza>& pending) {
    each([&](TimerHandler* h) { h->onSessionRenewed(now, pending); });
}

bool Timers::turnTo(TimerHandler* handler) {
    bool listed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listed = handler && std::find(handlers_.begin(), handlers_.end(), handler) != handlers_.end();
        firing_ = listed ? handler : nullptr;
        firingThread_ = listed ? std::this_thread::get_id() : std::thread::id();
    }
    idle_.notify_all();  // whoever waits to remove the handler that fired last
    return listed;
}

}  // namespace tern

// Deadlines of the services on a session (a room's join that goes
// unanswered, its periodic self-ping). The engine bounds its wait for data
// by the nearest one and fires those due on the receiving thread, so
// nothing polls.
#ifndef TERN_CLIENT_TIMERS_H
#define TERN_CLIENT_TIMERS_H

#include <chrono>
#include <mutex>
#include <vector>

namespace tern {

class TimerHandler {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~TimerHandler() = default;
    // Microseconds until onTimer has something to do; -1 for nothing.
    virtual long long untilDue(Clock::time_point now) = 0;
    virtual void onTimer(Clock::time_point now) = 0;
};

class Timers {
public:
    void add(TimerHandler* handler);
    // Returns once a firing of the handler on another thread has ended.
    void remove(TimerHandler* handler);
    // The nearest deadline in microseconds; -1 for none.
    long long untilDue(TimerHandler::Clock::time_point now);
    void fire(TimerHandler::Clock::time_point now);

private:
    // Held while firing: a handler removed elsewhere is not called after
    // its removal returns; recursive, so a handler may remove itself.
    std::recursive_mutex mutex_;
    std::vector<TimerHandler*> handlers_;
};

}  // namespace tern

#endif

// Deadlines of the services on a session (a room's join that goes
// unanswered, its periodic self-ping). The engine bounds its wait for data
// by the nearest one and fires those due on the receiving thread, so
// nothing polls. Handlers fire without any lock of the engine held.
#ifndef TERN_CLIENT_TIMERS_H
#define TERN_CLIENT_TIMERS_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace tern {

class TimerHandler {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~TimerHandler() = default;
    // Microseconds until onTimer has something to do; -1 for nothing.
    virtual long long untilDue(Clock::time_point now) = 0;
    virtual void onTimer(Clock::time_point now) = 0;
    // The connection was suspended and its session resumed: deadlines that
    // ran meanwhile start afresh.
    virtual void onResumed(Clock::time_point) {}
};

class Timers {
public:
    void add(TimerHandler* handler);
    // Returns once a firing of the handler on another thread has ended; a
    // handler may remove itself while it fires.
    void remove(TimerHandler* handler);
    // The nearest deadline in microseconds; -1 for none.
    long long untilDue(TimerHandler::Clock::time_point now);
    void fire(TimerHandler::Clock::time_point now);
    void resumed(TimerHandler::Clock::time_point now);

private:
    std::vector<TimerHandler*> snapshot();
    // Marks the handler as firing when it is still listed.
    bool begin(TimerHandler* handler);
    void end();

    std::mutex mutex_;
    std::condition_variable idle_;
    std::vector<TimerHandler*> handlers_;
    TimerHandler* firing_ = nullptr;
    std::thread::id firingThread_;
};

}  // namespace tern

#endif

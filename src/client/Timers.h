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

struct PendingStanza;

// A service's part in the life of the session: its deadlines, and what it
// does when a lost session comes back, resumed or made afresh.
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
    // The server forgot the session; a new one is being made.
    virtual void onSessionRenewing() {}
    // The new session is up. pending holds what the old one had sent and the
    // server never acknowledged: a service takes (removes) what it will
    // send again itself.
    virtual void onSessionRenewed(Clock::time_point, std::vector<PendingStanza>&) {}
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
    void sessionRenewing();
    void sessionRenewed(TimerHandler::Clock::time_point now, std::vector<PendingStanza>& pending);

private:
    // Calls f for each handler listed when it began and still listed when
    // its turn comes, marked as firing meanwhile (remove waits for that).
    // Runs once for every read of the session: the list is copied onto the
    // stack while it is short, and one lock both ends a turn and begins the
    // next.
    template <typename F>
    void each(F&& f);
    // Ends the turn of the handler firing, if any, and begins handler's when
    // it is still listed (null: none).
    bool turnTo(TimerHandler* handler);

    std::mutex mutex_;
    std::condition_variable idle_;
    std::vector<TimerHandler*> handlers_;
    TimerHandler* firing_ = nullptr;
    std::thread::id firingThread_;
};

}  // namespace tern

#endif

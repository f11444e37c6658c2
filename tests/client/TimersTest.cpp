#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "client/Timers.h"

using namespace tern;

namespace {

// Due after `due` microseconds (-1: nothing to do); counts its firings and
// may remove another handler, or itself, when it fires.
struct Handler : TimerHandler {
    long long due = -1;
    int fired = 0;
    Timers* timers = nullptr;
    TimerHandler* removes = nullptr;
    long long untilDue(Clock::time_point) override { return due; }
    void onTimer(Clock::time_point) override {
        ++fired;
        if (removes) timers->remove(removes);
    }
};

}  // namespace

// A few handlers, and more than are copied onto the stack: the nearest
// deadline wins, only those due fire, and one removed by an earlier
// handler's firing is skipped in the same round.
TEST(Timers, NearestDeadlineAndFiringWhateverTheCount) {
    for (const std::size_t count : {3u, 12u}) {
        Timers timers;
        std::vector<std::unique_ptr<Handler>> handlers;
        for (std::size_t i = 0; i < count; ++i) {
            handlers.push_back(std::make_unique<Handler>());
            handlers.back()->due = i % 2 ? 0 : 500 + static_cast<long long>(i);
            handlers.back()->timers = &timers;
            timers.add(handlers.back().get());
        }
        handlers[1]->removes = handlers[count - 1].get();
        EXPECT_EQ(timers.untilDue(TimerHandler::Clock::now()), 0) << count;
        handlers[1]->due = 7;
        EXPECT_EQ(timers.untilDue(TimerHandler::Clock::now()), count > 3 ? 0 : 7) << count;
        handlers[1]->due = 0;
        timers.fire(TimerHandler::Clock::now());
        for (std::size_t i = 0; i < count; ++i) {
            const bool removedBeforeItsTurn = i == count - 1;
            EXPECT_EQ(handlers[i]->fired, i % 2 && !removedBeforeItsTurn ? 1 : 0) << count << " handler " << i;
        }
    }
}

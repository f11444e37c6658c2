// Threads nobody joins (a session that releases itself, a registration) are
// counted here, and the process's exit waits (briefly) until they are done:
// their last steps never overlap the destruction of globals.
#ifndef TERN_HOST_DETACHEDTHREADS_H
#define TERN_HOST_DETACHEDTHREADS_H

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "transport/Platform.h"
#include "transport/TLSDefault.h"

namespace tern {

class DetachedThreads {
public:
    // Made on first use, after every namespace-scope global: destroyed
    // before them at exit.
    static DetachedThreads& instance() {
        static DetachedThreads threads;
        return threads;
    }
    // Before the thread starts: its last steps run the library's code after
    // finished(), so the code stays loaded whatever the host unloads.
    void started() {
        platform::keepCodeLoaded();
        std::lock_guard<std::mutex> lock(mutex_);
        ++running_;
    }
    // The thread's very last step.
    void finished() {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        done_.notify_all();
    }
    ~DetachedThreads() {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait_for(lock, std::chrono::seconds(5), [this] { return running_ == 0; });
    }

private:
    // The TLS implementation is set up first, so that at exit it is torn
    // down only after the wait for these threads.
    DetachedThreads() { TLSDefault::initialiseProcess(); }
    std::mutex mutex_;
    std::condition_variable done_;
    int running_ = 0;
};

}  // namespace tern

#endif

#include "host/HostLog.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/TextCodec.h"

namespace tern {

HostLog& HostLog::instance() {
    static HostLog log;
    return log;
}

HostLog::HostLog() {
    if (const char* v = std::getenv("PARLEY_LOG")) {
        if (std::strcmp(v, "debug") == 0) stderrLevel_ = LogDebug;
        else if (std::strcmp(v, "warning") == 0) stderrLevel_ = LogWarning;
        else if (std::strcmp(v, "error") == 0) stderrLevel_ = LogError;
    }
}

int HostLog::effectiveLevel() const {
    std::lock_guard<std::mutex> lock(callbackMutex_);
    int level = stderrLevel_;
    if (callback_ && (level < 0 || callbackLevel_ < level)) level = callbackLevel_;
    return level;
}

void HostLog::attach(LogExport& log) {
    std::lock_guard<std::mutex> lock(exportsMutex_);
    exports_.insert(&log);
    const int level = effectiveLevel();
    if (level >= 0) log.addReceiver(this, level, LogAreaAll);
}

void HostLog::detach(LogExport& log) {
    {
        std::lock_guard<std::mutex> lock(exportsMutex_);
        exports_.erase(&log);
    }
    // Outside the lock: the removal waits for our calls under way on other
    // threads, and a host's callback among them may be changing the
    // callback, which takes the lock.
    log.removeReceiver(this);
}

// Nobody listens: a filter that takes nothing. Not a removal, which would
// wait for calls under way and so could wait for a thread that waits here.
static void route(LogExport& log, HostLog* receiver, int level) {
    if (level >= 0)
        log.addReceiver(receiver, level, LogAreaAll);
    else
        log.addReceiver(receiver, INT_MAX, 0);
}

// Once this returns the host may free the old context, so calls to the old
// callback under way on other threads are waited for. The wait cannot hang
// on the library: neither this class (handleLogMessage below) nor
// LogExport::log holds a lock while the callback runs, and none is held
// here while waiting, so a call under way is taken off as soon as the
// host's callback returns. Only a host whose callback itself waits for the
// thread that is changing it would hang, and parley.h says not to. A
// thread that is itself inside a call does not wait at all: its own call
// cannot end first, and two callbacks each changing the callback would
// wait for each other for ever.
void HostLog::setCallback(ParleyLogCallback callback, void* context, int minLevel) {
    {
        std::unique_lock<std::mutex> lock(callbackMutex_);
        callback_ = callback;
        context_ = context;
        callbackLevel_ = minLevel < LogDebug ? LogDebug : minLevel;
        const std::uint64_t changed = ++generation_;
        const std::thread::id self = std::this_thread::get_id();
        const auto onThisThread = [&](const Call& c) { return c.thread == self; };
        if (std::none_of(calls_.begin(), calls_.end(), onThisThread))
            callDone_.wait(lock, [&] {
                return std::none_of(calls_.begin(), calls_.end(), [&](const Call& c) { return c.generation < changed; });
            });
    }
    std::lock_guard<std::mutex> lock(exportsMutex_);
    const int level = effectiveLevel();
    for (LogExport* log : exports_) route(*log, this, level);
}

void HostLog::handleLogMessage(int level, int area, const std::string& message) {
    ParleyLogCallback callback;
    void* context;
    int callbackLevel;
    std::uint64_t generation;
    const std::thread::id self = std::this_thread::get_id();
    {
        std::lock_guard<std::mutex> lock(callbackMutex_);
        callback = callback_;
        context = context_;
        callbackLevel = callbackLevel_;
        generation = generation_;
        if (callback && level >= callbackLevel) calls_.push_back({generation, self});
    }
    if (stderrLevel_ >= 0 && level >= stderrLevel_)
        std::fprintf(stderr, "parley[%d:%x] %s\n", level, static_cast<unsigned>(area), message.c_str());
    if (!callback || level < callbackLevel) return;
    {
        // Recorded with the callback it read; taken off however it ends.
        struct Done {
            HostLog& log;
            std::uint64_t generation;
            std::thread::id thread;
            ~Done() {
                {
                    std::lock_guard<std::mutex> lock(log.callbackMutex_);
                    const auto it = std::find_if(log.calls_.begin(), log.calls_.end(), [&](const Call& c) {
                        return c.generation == generation && c.thread == thread;
                    });
                    if (it != log.calls_.end()) log.calls_.erase(it);
                }
                log.callDone_.notify_all();
            }
        } done{*this, generation, self};
        const std::u16string text = utf8ToUtf16(message);
        const TextBuffer line{static_cast<std::int32_t>(text.size()), reinterpret_cast<const ParleyChar*>(text.data())};
        callback(context, level, area, &line);
    }
}

}  // namespace tern

#include "client/LogExport.h"

#include <algorithm>

namespace tern {

bool LogExport::wants(int level, int area) const {
    if (nobodyTakes(level, area)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : receivers_)
        if (level >= entry.second.minLevel && (area & entry.second.areaMask) != 0) return true;
    return false;
}

void LogExport::log(int level, int area, const std::string& message) const {
    if (nobodyTakes(level, area)) return;
    std::vector<LogExportHandler*> targets;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : receivers_)
            if (level >= entry.second.minLevel && (area & entry.second.areaMask) != 0) targets.push_back(entry.first);
    }
    const std::thread::id self = std::this_thread::get_id();
    for (LogExportHandler* r : targets) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (receivers_.find(r) == receivers_.end()) continue;  // removed meanwhile
            calls_.push_back({r, self});
        }
        r->handleLogMessage(level, area, message);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto it = std::find_if(calls_.begin(), calls_.end(),
                                         [&](const Call& c) { return c.receiver == r && c.thread == self; });
            if (it != calls_.end()) calls_.erase(it);
        }
        callDone_.notify_all();
    }
}

void LogExport::summarize() {
    int lowest = INT_MAX, areas = 0;
    for (const auto& entry : receivers_) {
        lowest = std::min(lowest, entry.second.minLevel);
        areas |= entry.second.areaMask;
    }
    lowestLevel_.store(lowest, std::memory_order_release);
    areas_.store(areas, std::memory_order_release);
}

void LogExport::addReceiver(LogExportHandler* receiver, int minLevel, int areaMask) {
    if (!receiver) return;
    std::lock_guard<std::mutex> lock(mutex_);
    receivers_[receiver] = Filter{minLevel, areaMask};
    summarize();
}

void LogExport::removeReceiver(LogExportHandler* receiver) {
    std::unique_lock<std::mutex> lock(mutex_);
    receivers_.erase(receiver);
    summarize();
    // A call on another thread may still be running: wait for it. One on
    // this thread (the receiver removing itself) must not be waited for.
    const std::thread::id self = std::this_thread::get_id();
    callDone_.wait(lock, [&] {
        return std::none_of(calls_.begin(), calls_.end(),
                            [&](const Call& c) { return c.receiver == receiver && c.thread != self; });
    });
}

}  // namespace tern

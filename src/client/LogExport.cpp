#include "client/LogExport.h"

#include <vector>

namespace tern {

bool LogExport::wants(int level, int area) const {
    if (count_.load(std::memory_order_acquire) == 0) return false;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (const auto& entry : receivers_)
        if (level >= entry.second.minLevel && (area & entry.second.areaMask) != 0) return true;
    return false;
}

void LogExport::log(int level, int area, const std::string& message) const {
    if (count_.load(std::memory_order_acquire) == 0) return;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    // Walk a snapshot: a receiver may change the map from its callback.
    std::vector<LogExportHandler*> targets;
    for (const auto& entry : receivers_)
        if (level >= entry.second.minLevel && (area & entry.second.areaMask) != 0)
            targets.push_back(entry.first);
    for (LogExportHandler* r : targets) {
        if (receivers_.find(r) == receivers_.end()) continue;  // removed meanwhile
        r->handleLogMessage(level, area, message);
    }
}

void LogExport::addReceiver(LogExportHandler* receiver, int minLevel, int areaMask) {
    if (!receiver) return;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    receivers_[receiver] = Filter{minLevel, areaMask};
    count_.store(static_cast<int>(receivers_.size()), std::memory_order_release);
}

void LogExport::removeReceiver(LogExportHandler* receiver) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    receivers_.erase(receiver);
    count_.store(static_cast<int>(receivers_.size()), std::memory_order_release);
}

}  // namespace tern

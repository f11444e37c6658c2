// Collects log lines for assertions.
#ifndef PARLEY_TESTS_SUPPORT_LOGRECORDER_H
#define PARLEY_TESTS_SUPPORT_LOGRECORDER_H

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "client/LogExport.h"

namespace testsupport {

struct LogLine {
    int level;
    int area;
    std::string text;
};

class LogRecorder : public tern::LogExportHandler {
public:
    explicit LogRecorder(tern::LogExport& log, int minLevel = tern::LogDebug, int mask = tern::LogAreaAll)
        : log_(log) {
        log_.addReceiver(this, minLevel, mask);
    }
    ~LogRecorder() override { log_.removeReceiver(this); }
    void handleLogMessage(int level, int area, const std::string& message) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back({level, area, message});
    }
    std::vector<LogLine> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    bool has(int level, int area, const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::any_of(lines_.begin(), lines_.end(), [&](const LogLine& l) {
            return l.level == level && l.area == area && l.text == text;
        });
    }
    bool contains(const std::string& fragment) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::any_of(lines_.begin(), lines_.end(),
                           [&](const LogLine& l) { return l.text.find(fragment) != std::string::npos; });
    }

private:
    tern::LogExport& log_;
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
};

}  // namespace testsupport

#endif

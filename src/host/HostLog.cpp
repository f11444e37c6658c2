#include "host/HostLog.h"

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
    std::lock_guard<std::mutex> lock(exportsMutex_);
    log.removeReceiver(this);
    exports_.erase(&log);
}

void HostLog::setCallback(ParleyLogCallback callback, void* context, int minLevel) {
    {
        std::lock_guard<std::mutex> lock(callbackMutex_);
        callback_ = callback;
        context_ = context;
        callbackLevel_ = minLevel < LogDebug ? LogDebug : minLevel;
    }
    std::lock_guard<std::mutex> lock(exportsMutex_);
    const int level = effectiveLevel();
    for (LogExport* log : exports_) {
        if (level >= 0)
            log->addReceiver(this, level, LogAreaAll);
        else
            log->removeReceiver(this);
    }
}

void HostLog::handleLogMessage(int level, int area, const std::string& message) {
    ParleyLogCallback callback;
    void* context;
    int callbackLevel;
    {
        std::lock_guard<std::mutex> lock(callbackMutex_);
        callback = callback_;
        context = context_;
        callbackLevel = callbackLevel_;
    }
    if (stderrLevel_ >= 0 && level >= stderrLevel_)
        std::fprintf(stderr, "parley[%d:%x] %s\n", level, static_cast<unsigned>(area), message.c_str());
    if (callback && level >= callbackLevel) {
        const std::u16string text = utf8ToUtf16(message);
        const TextBuffer line{static_cast<std::int32_t>(text.size()), reinterpret_cast<const ParleyChar*>(text.data())};
        callback(context, level, area, &line);
    }
}

}  // namespace tern

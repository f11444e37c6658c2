// The host's view of the log: every session's LogExport forwards to the
// callback given to SetLogCallback, and to standard error when PARLEY_LOG
// names a level.
#ifndef TERN_HOST_HOSTLOG_H
#define TERN_HOST_HOSTLOG_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "client/LogExport.h"
#include "parley.h"

namespace tern {

class HostLog : public LogExportHandler {
public:
    static HostLog& instance();

    void attach(LogExport& log);
    void detach(LogExport& log);
    // Returns once calls to the callback it replaces have returned, except
    // from inside a call on this thread (see the definition).
    void setCallback(ParleyLogCallback callback, void* context, int minLevel);

    void handleLogMessage(int level, int area, const std::string& message) override;

private:
    HostLog();
    // The lowest level anyone wants, or -1 when nobody listens.
    int effectiveLevel() const;

    std::mutex exportsMutex_;  // never held while a line is being delivered
    std::set<LogExport*> exports_;
    // Guards the callback and the calls under way; never held while the
    // callback runs.
    mutable std::mutex callbackMutex_;
    std::condition_variable callDone_;
    ParleyLogCallback callback_ = nullptr;
    void* context_ = nullptr;
    int callbackLevel_ = LogError;
    // Bumped by every change: a call remembers which callback it runs.
    std::uint64_t generation_ = 0;
    struct Call {
        std::uint64_t generation;
        std::thread::id thread;
    };
    std::vector<Call> calls_;
    int stderrLevel_ = -1;
};

}  // namespace tern

#endif

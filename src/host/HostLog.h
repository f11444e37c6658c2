// The host's view of the log: every session's LogExport forwards to the
// callback given to SetLogCallback, and to standard error when PARLEY_LOG
// names a level.
#ifndef TERN_HOST_HOSTLOG_H
#define TERN_HOST_HOSTLOG_H

#include <mutex>
#include <set>

#include "client/LogExport.h"
#include "parley.h"

namespace tern {

class HostLog : public LogExportHandler {
public:
    static HostLog& instance();

    void attach(LogExport& log);
    void detach(LogExport& log);
    void setCallback(ParleyLogCallback callback, void* context, int minLevel);

    void handleLogMessage(int level, int area, const std::string& message) override;

private:
    HostLog();
    // The lowest level anyone wants, or -1 when nobody listens.
    int effectiveLevel() const;

    std::mutex exportsMutex_;  // never held while a line is being delivered
    std::set<LogExport*> exports_;
    mutable std::mutex callbackMutex_;
    ParleyLogCallback callback_ = nullptr;
    void* context_ = nullptr;
    int callbackLevel_ = LogError;
    int stderrLevel_ = -1;
};

}  // namespace tern

#endif

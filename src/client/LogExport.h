// The protocol stack's single logging channel.
//
// Messages go to every receiver whose minimum level and area mask accept
// them, synchronously, unformatted. Receivers may be added and removed from
// any thread at any time, also from inside handleLogMessage; once removal
// returns, that receiver is not called again.
#ifndef TERN_CLIENT_LOGEXPORT_H
#define TERN_CLIENT_LOGEXPORT_H

#include <atomic>
#include <map>
#include <mutex>
#include <string>

namespace tern {

enum LogLevel { LogDebug = 0, LogWarning = 1, LogError = 2 };

enum LogArea {
    LogAreaClient = 4,
    LogAreaClientBase = 8,
    LogAreaDns = 32,
    LogAreaConnection = 256,
    LogAreaXmlIncoming = 0x2000,
    LogAreaXmlOutgoing = 0x4000,
    LogAreaAll = 0xFFFFFFF,
};

class LogExportHandler {
public:
    virtual ~LogExportHandler() = default;
    virtual void handleLogMessage(int level, int area, const std::string& message) = 0;
};

class LogExport {
public:
    LogExport() = default;
    // A copy starts without receivers: they registered with the original.
    LogExport(const LogExport&) : LogExport() {}
    LogExport& operator=(const LogExport&) { return *this; }
    virtual ~LogExport() = default;

    void log(int level, int area, const std::string& message) const;

    // Whether log(level, area, ...) would reach anyone; lets callers skip
    // building expensive messages (a serialised stanza) nobody reads.
    bool wants(int level, int area) const;

    // Registers or re-filters a receiver (one entry per receiver).
    void addReceiver(LogExportHandler* receiver, int minLevel, int areaMask);
    void removeReceiver(LogExportHandler* receiver);

private:
    struct Filter {
        int minLevel;
        int areaMask;
    };
    // Recursive so that a receiver may log, add or remove from its callback.
    mutable std::recursive_mutex mutex_;
    std::map<LogExportHandler*, Filter> receivers_;
    std::atomic<int> count_{0};
};

}  // namespace tern

#endif

// The protocol stack's single logging channel.
//
// Messages go to every receiver whose minimum level and area mask accept
// them, synchronously, unformatted, without any lock of this class held (a
// receiver may block on anything, the host's own locks included). Receivers
// may be added and removed from any thread at any time, also from inside
// handleLogMessage; once removal returns, that receiver is not called again.
#ifndef TERN_CLIENT_LOGEXPORT_H
#define TERN_CLIENT_LOGEXPORT_H

#include <atomic>
#include <climits>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
    // Calls under way, so that a removal from another thread waits for them.
    struct Call {
        LogExportHandler* receiver;
        std::thread::id thread;
    };
    mutable std::mutex mutex_;
    mutable std::condition_variable callDone_;
    std::map<LogExportHandler*, Filter> receivers_;
    mutable std::vector<Call> calls_;
    // What any receiver takes, so that most lines are turned away
    // without the lock: the lowest level and every area of all of them.
    void summarize();
    std::atomic<int> lowestLevel_{INT_MAX};
    std::atomic<int> areas_{0};
    bool nobodyTakes(int level, int area) const {
        return level < lowestLevel_.load(std::memory_order_acquire) || (area & areas_.load(std::memory_order_acquire)) == 0;
    }
};

}  // namespace tern

#endif

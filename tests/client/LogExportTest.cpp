#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "client/LogExport.h"

using namespace tern;

namespace {
struct Recorder : LogExportHandler {
    std::vector<std::pair<int, std::string>> lines;
    void handleLogMessage(int level, int area, const std::string& message) override {
        lines.emplace_back(level * 100000 + area, message);
    }
};
}  // namespace

TEST(LogExport, FiltersByLevelAndArea) {
    LogExport log;
    log.log(LogError, LogAreaClient, "nobody listens");

    Recorder outgoing, errors;
    log.addReceiver(&outgoing, LogWarning, LogAreaXmlOutgoing);
    log.addReceiver(&errors, LogError, LogAreaAll);
    log.log(LogDebug, LogAreaXmlOutgoing, "<presence/>");  // below level 1
    log.log(LogWarning, LogAreaXmlOutgoing, "sent");
    log.log(LogError, LogAreaDns | LogAreaXmlOutgoing, "both bits");  // shares one bit
    log.log(LogError, LogAreaConnection, "conn");
    EXPECT_EQ(outgoing.lines.size(), 2u);
    EXPECT_EQ(outgoing.lines[0].second, "sent");
    EXPECT_EQ(errors.lines.size(), 2u);
    EXPECT_TRUE(log.wants(LogWarning, LogAreaXmlOutgoing));
    EXPECT_FALSE(log.wants(LogDebug, LogAreaXmlOutgoing));

    log.addReceiver(&outgoing, LogDebug, LogAreaXmlIncoming);  // re-filters, one entry
    log.log(LogDebug, LogAreaXmlIncoming, "in");
    EXPECT_EQ(outgoing.lines.size(), 3u);

    log.removeReceiver(&outgoing);
    log.removeReceiver(&errors);
    log.log(LogError, LogAreaAll, "gone");
    EXPECT_EQ(outgoing.lines.size(), 3u);
    EXPECT_FALSE(log.wants(LogError, LogAreaAll));
}

TEST(LogExport, ReceiverMayRemoveItselfWhileCalled) {
    LogExport log;
    struct SelfRemover : LogExportHandler {
        LogExport* log = nullptr;
        int calls = 0;
        void handleLogMessage(int, int, const std::string&) override {
            ++calls;
            log->removeReceiver(this);
            log->log(LogError, LogAreaAll, "nested");
        }
    } r;
    r.log = &log;
    log.addReceiver(&r, LogDebug, LogAreaAll);
    log.log(LogError, LogAreaAll, "x");
    log.log(LogError, LogAreaAll, "y");
    EXPECT_EQ(r.calls, 1);
}

TEST(LogExport, ReceiversComeAndGoWhileOtherThreadsLog) {
    LogExport log;
    struct Counter : LogExportHandler {
        std::atomic<int> n{0};
        void handleLogMessage(int, int, const std::string&) override { ++n; }
    };
    Counter steady;
    log.addReceiver(&steady, LogDebug, LogAreaAll);
    std::vector<std::thread> loggers;
    for (int t = 0; t < 2; ++t)
        loggers.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) log.log(LogDebug, LogAreaClient, "line");
        });
    for (int i = 0; i < 2000; ++i) {
        Counter transient;
        log.addReceiver(&transient, LogDebug, LogAreaAll);
        log.removeReceiver(&transient);  // after this it must never be called again
    }
    for (auto& t : loggers) t.join();
    EXPECT_EQ(steady.n.load(), 40000);
}

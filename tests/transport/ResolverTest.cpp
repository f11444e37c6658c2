// Server address resolution. The ordering rules run anywhere; the lookups
// only inside the test network namespace (scripts/testenv), whose dnsmasq
// serves the .test zone, so that no query reaches this machine's resolver.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "client/LogExport.h"
#include "support/FaultServer.h"
#include "support/LogRecorder.h"
#include "transport/NetworkTCPC.h"
#include "transport/Resolver.h"

using namespace tern;
using testsupport::FaultServer;
using testsupport::LogRecorder;
using platform::SrvRecord;

#define REQUIRE_TESTENV()                                                      \
    do {                                                                       \
        if (!std::getenv("PARLEY_TESTENV")) GTEST_SKIP() << "needs scripts/testenv"; \
    } while (0)

namespace {
HostList hosts(std::initializer_list<std::pair<const char*, int>> l) {
    HostList out;
    for (const auto& p : l) out.push_back({p.first, p.second});
    return out;
}
}  // namespace

TEST(SrvOrder, PriorityFirstThenWeightedRandomWithinAPriority) {
    const std::vector<SrvRecord> records = {
        {"z-primary.example.", 5222, 0, 0},
        {"a-backup.example.", 5222, 10, 0},
        {".", 5222, 0, 0},  // not offered: left out
        {"b.example.", 5223, 5, 1},
        {"c.example.", 5224, 5, 99},
        {"z-primary.example.", 5222, 0, 0},  // duplicate
    };
    // randomBelow always 0: the first record of the running sum wins.
    EXPECT_EQ(orderSrvRecords(records, [](std::uint32_t) { return 0u; }),
              hosts({{"z-primary.example", 5222}, {"b.example", 5223}, {"c.example", 5224}, {"a-backup.example", 5222}}));
    // The largest random number picks the last record of the running sum.
    EXPECT_EQ(orderSrvRecords(records, [](std::uint32_t n) { return n - 1; }),
              hosts({{"z-primary.example", 5222}, {"c.example", 5224}, {"b.example", 5223}, {"a-backup.example", 5222}}));
    EXPECT_TRUE(orderSrvRecords({{".", 5222, 0, 0}}, [](std::uint32_t) { return 0u; }).empty());
    // The same target on two ports is two services: both are tried.
    EXPECT_EQ(orderSrvRecords({{"h", 5222, 1, 0}, {"h", 5269, 2, 0}}, [](std::uint32_t) { return 0u; }),
              hosts({{"h", 5222}, {"h", 5269}}));
}

TEST(Resolve, OneSrvTargetIsFoundAndConnected) {
    REQUIRE_TESTENV();
    EXPECT_EQ(resolveClientService("srv.test", nullptr), hosts({{"host1.srv.test", 15222}}));
    FaultServer server(FaultServer::NeverAnswer, "", "127.0.0.1", 15222);
    const platform::SocketHandle s = connectResolved("srv.test", nullptr);
    ASSERT_GE(s, 0);
    platform::closeSocket(s);
}

TEST(Resolve, LowerPriorityNumberIsTriedFirstAndBackupOnRefusal) {
    REQUIRE_TESTENV();
    // The backup's name sorts first; priority decides.
    EXPECT_EQ(resolveClientService("twosrv.test", nullptr),
              hosts({{"primary.twosrv.test", 15223}, {"backup.twosrv.test", 15224}}));
    FaultServer backup(FaultServer::NeverAnswer, "", "127.0.0.1", 15224);
    LogExport log;
    LogRecorder lines(log);
    struct Null : NetworkDataHandler {
        void onDataReceived(NetworkUtil*, const std::string&) override {}
        void onConnected(NetworkUtil*) override {}
        void onDisconnected(NetworkUtil* c, ConnectionError) override { c->cleanup(); }
    } h;
    NetworkTCPC c(&h, &log, "twosrv.test", -1);
    ASSERT_EQ(c.connect(), NoError);
    EXPECT_TRUE(lines.contains("127.0.0.1:15223 refused the connection"));
    EXPECT_TRUE(lines.contains("connecting to backup.twosrv.test at 127.0.0.1:15224"));
}

TEST(Resolve, WeightsShareOutTheFirstPlace) {
    REQUIRE_TESTENV();
    std::map<std::string, int> first;
    for (int i = 0; i < 300; ++i) {
        const HostList h = resolveClientService("weighted.test", nullptr);
        ASSERT_EQ(h.size(), 2u);
        ++first[h.front().host];
    }
    // 90 to 10: far from both 50:50 and all-or-nothing.
    EXPECT_GT(first["heavy.weighted.test"], 225);
    EXPECT_GT(first["light.weighted.test"], 5);
}

TEST(Resolve, NoSrvRecordFallsBackToTheDomainOnPort5222) {
    REQUIRE_TESTENV();
    LogExport log;
    LogRecorder lines(log);
    EXPECT_EQ(resolveClientService("nosrv.test", &log), hosts({{"nosrv.test", 5222}}));
    EXPECT_TRUE(lines.has(LogWarning, LogAreaDns, "notice: no SRV record found for nosrv.test, using default port."));
    FaultServer server(FaultServer::NeverAnswer, "", "127.0.0.2", 5222);
    const platform::SocketHandle s = connectResolved("nosrv.test", &log);
    ASSERT_GE(s, 0);
    platform::closeSocket(s);
}

TEST(Resolve, EmptyDomainAndUnknownNames) {
    REQUIRE_TESTENV();
    LogExport log;
    LogRecorder lines(log);
    EXPECT_TRUE(resolveClientService("", &log).empty());
    EXPECT_TRUE(lines.has(LogWarning, LogAreaDns, "notice: no SRV record found for , using default port."));
    EXPECT_EQ(connectResolved("", &log), kSocketDnsError);
    EXPECT_EQ(connectTo("nowhere.test", 5222), kSocketDnsError);

    struct Null : NetworkDataHandler {
        std::vector<ConnectionError> seen;
        void onDataReceived(NetworkUtil*, const std::string&) override {}
        void onConnected(NetworkUtil*) override {}
        void onDisconnected(NetworkUtil* c, ConnectionError e) override {
            seen.push_back(e);
            c->cleanup();
        }
    } h;
    NetworkTCPC c(&h, &log, "nowhere.test", 5222);
    EXPECT_EQ(c.connect(), DnsError);
    EXPECT_TRUE(lines.has(LogError, LogAreaConnection, "nowhere.test: host not found"));
    EXPECT_EQ(h.seen, std::vector<ConnectionError>{DnsError});
    EXPECT_EQ(c.state(), StateDisconnected);
}

TEST(Resolve, TargetsThatFailAreSkippedInOrder) {
    REQUIRE_TESTENV();
    EXPECT_EQ(resolveClientService("failover.test", nullptr),
              hosts({{"missing.failover.test", 15227}, {"refusing.failover.test", 15228},
                     {"listening.failover.test", 15229}}));
    FaultServer server(FaultServer::NeverAnswer, "", "127.0.0.1", 15229);
    const platform::SocketHandle s = connectResolved("failover.test", nullptr);
    ASSERT_GE(s, 0);
    platform::closeSocket(s);
    // When every target fails the result is "refused", even if some did not resolve.
    EXPECT_EQ(connectResolved("allrefuse.test", nullptr), kSocketRefused);
}

TEST(Resolve, ServiceNotOfferedMeansNoFallback) {
    REQUIRE_TESTENV();
    LogExport log;
    LogRecorder lines(log);
    EXPECT_TRUE(resolveClientService("dot.test", &log).empty());
    EXPECT_TRUE(lines.contains("says the service is not offered at dot.test"));
    EXPECT_FALSE(lines.contains("no SRV record found"));
    EXPECT_EQ(connectResolved("dot.test", &log), kSocketDnsError);
}

TEST(Resolve, EveryAddressFamilyIsTried) {
    REQUIRE_TESTENV();
    {
        FaultServer v6(FaultServer::NeverAnswer, "", "::1", 15232);
        const platform::SocketHandle s = connectTo("v6only.test", 15232);
        ASSERT_GE(s, 0);
        platform::closeSocket(s);
    }
    // dual.test has ::1 and 127.0.0.3; only the IPv4 one listens.
    FaultServer v4(FaultServer::NeverAnswer, "", "127.0.0.3", 15233);
    const platform::SocketHandle s = connectTo("dual.test", 15233);
    ASSERT_GE(s, 0);
    platform::closeSocket(s);
}

TEST(SrvOrder, DirectTlsTargetsFirstOnEqualPriority) {
    auto t = [](const char* host, int port, int priority, bool direct) { return ServiceHost{host, port, priority, direct}; };
    const HostList direct = {t("d1", 5223, 0, true), t("d2", 5223, 10, true)};
    const HostList starttls = {t("s1", 5222, 0, false), t("s0", 5222, 5, false), t("s2", 5222, 10, false)};
    EXPECT_EQ(mergeClientTargets(direct, starttls),
              (HostList{t("d1", 5223, 0, true), t("s1", 5222, 0, false), t("s0", 5222, 5, false),
                        t("d2", 5223, 10, true), t("s2", 5222, 10, false)}));
    EXPECT_EQ(mergeClientTargets({}, starttls), starttls);  // without direct TLS nothing changes
}

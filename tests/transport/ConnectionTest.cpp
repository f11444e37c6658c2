// NetworkTCPC against the fault server on loopback (numeric addresses only:
// nothing here asks DNS).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "client/LogExport.h"
#include "support/FaultServer.h"
#include "support/LogRecorder.h"
#include "transport/NetworkTCPC.h"

using namespace tern;
using testsupport::FaultServer;
using testsupport::LogRecorder;
using Clock = std::chrono::steady_clock;

namespace {

struct Recorder : NetworkDataHandler {
    std::mutex m;
    std::string data;
    int connected = 0;
    std::vector<ConnectionError> disconnects;
    bool cleanupOnDisconnect = true;
    void onDataReceived(NetworkUtil*, const std::string& d) override {
        std::lock_guard<std::mutex> l(m);
        data += d;
    }
    void onConnected(NetworkUtil*) override {
        std::lock_guard<std::mutex> l(m);
        ++connected;
    }
    void onDisconnected(NetworkUtil* c, ConnectionError e) override {
        {
            std::lock_guard<std::mutex> l(m);
            disconnects.push_back(e);
        }
        if (cleanupOnDisconnect) c->cleanup();  // as the stream engine does
    }
};

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Receives until the predicate holds or the connection ends (bounded).
template <typename Pred>
ConnectionError receiveUntil(NetworkTCPC& c, Pred done) {
    for (int i = 0; i < 500 && !done(); ++i) {
        const ConnectionError e = c.receiveOnce(10000);
        if (e != NoError) return e;
    }
    return NoError;
}

}  // namespace

TEST(Connection, RefusedConnectReportsAndCanRetryAfterCleanup) {
    LogExport log;
    LogRecorder lines(log);
    Recorder r;
    r.cleanupOnDisconnect = false;
    NetworkTCPC c(&r, &log, "127.0.0.1", FaultServer::closedPort());
    EXPECT_EQ(c.connect(), ConnectionRefused);
    EXPECT_TRUE(lines.has(LogError, LogAreaConnection, "127.0.0.1: connection refused"));
    ASSERT_EQ(r.disconnects, std::vector<ConnectionError>{ConnectionRefused});
    EXPECT_EQ(c.state(), StateConnecting);
    // Without cleanup a second connect does nothing.
    EXPECT_EQ(c.connect(), NoError);
    EXPECT_EQ(r.disconnects.size(), 1u);
    c.cleanup();
    EXPECT_EQ(c.state(), StateDisconnected);
    EXPECT_EQ(c.connect(), ConnectionRefused);
    EXPECT_EQ(r.disconnects.size(), 2u);
}

TEST(Connection, NoHandlerOrOpenSocketRefusesToConnect) {
    NetworkTCPC orphan(nullptr, nullptr, "127.0.0.1", 1);
    EXPECT_EQ(orphan.connect(), NotConnected);

    FaultServer server(FaultServer::NeverAnswer);
    Recorder r;
    NetworkTCPC c(&r, nullptr, "127.0.0.1", server.port());
    ASSERT_EQ(c.connect(), NoError);
    EXPECT_EQ(r.connected, 1);
    EXPECT_EQ(c.state(), StateConnected);
    EXPECT_EQ(c.connect(), NotConnected);  // a socket is open
    EXPECT_EQ(r.connected, 1);
    std::unique_ptr<NetworkUtil> copy(c.clone());
    EXPECT_EQ(copy->state(), StateDisconnected);
    EXPECT_EQ(copy->server(), "127.0.0.1");
    EXPECT_EQ(copy->port(), server.port());
    EXPECT_EQ(copy->receiveOnce(0), NotConnected);
    EXPECT_FALSE(copy->send("x"));
}

TEST(Connection, PeerCloseEndsTheLoopWithStreamClosed) {
    FaultServer server(FaultServer::AcceptAndClose);
    Recorder r;
    NetworkTCPC c(&r, nullptr, "127.0.0.1", server.port());
    ASSERT_EQ(c.connect(), NoError);
    EXPECT_EQ(c.receiveLoop(), StreamClosed);
    EXPECT_EQ(r.disconnects, std::vector<ConnectionError>{StreamClosed});
    EXPECT_EQ(c.receiveLoop(), NotConnected);  // after cleanup
    EXPECT_EQ(c.receiveOnce(0), NotConnected);
}

TEST(Connection, ResetMidStreamDeliversTheDataThenIoError) {
    FaultServer server(FaultServer::ResetMidStream, "<stream:stream>partial");
    Recorder r;
    NetworkTCPC c(&r, nullptr, "127.0.0.1", server.port());
    ASSERT_EQ(c.connect(), NoError);
    ASSERT_TRUE(c.send(std::string(100, 'x')));  // unread data makes the close a reset
    EXPECT_EQ(c.receiveLoop(), IoError);
    EXPECT_EQ(r.data, "<stream:stream>partial");
    EXPECT_EQ(r.disconnects, std::vector<ConnectionError>{IoError});
}

TEST(Connection, ZeroBytesReachTheHandlerWholeAndAreCounted) {
    const std::string payload("a\0b\0\0c", 6);
    FaultServer server(FaultServer::SendPayload, payload);
    Recorder r;
    NetworkTCPC c(&r, nullptr, "127.0.0.1", server.port());
    ASSERT_EQ(c.connect(), NoError);
    receiveUntil(c, [&] {
        std::lock_guard<std::mutex> l(r.m);
        return r.data.size() >= payload.size();
    });
    EXPECT_EQ(r.data, payload);
    int in = -1, out = -1;
    c.statistics(in, out);
    EXPECT_EQ(in, 6);
    EXPECT_EQ(out, 0);
    c.cleanup();
    c.statistics(in, out);
    EXPECT_EQ(in, 0);
    EXPECT_EQ(out, 0);
}

TEST(Connection, SlowReaderMeetsPartialWritesAndGetsEveryByte) {
    FaultServer server(FaultServer::SlowReader);
    Recorder r;
    NetworkTCPC c(&r, nullptr, "127.0.0.1", server.port());
    ASSERT_EQ(c.connect(), NoError);
    std::string big(4 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
    ASSERT_TRUE(c.send(big));
    EXPECT_EQ(c.totalBytesSent(), big.size());
    for (int i = 0; i < 1000 && server.received().size() < big.size(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(server.received() == big);
    EXPECT_FALSE(c.send(""));
}

TEST(Connection, WritingToAClosedPeerFailsWithoutSignal) {
    FaultServer server(FaultServer::AcceptAndClose);
    Recorder r;
    r.cleanupOnDisconnect = false;
    NetworkTCPC c(&r, nullptr, "127.0.0.1", server.port());
    ASSERT_EQ(c.connect(), NoError);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    bool failed = false;
    for (int i = 0; i < 200 && !failed; ++i) failed = !c.send(std::string(65536, 'y'));
    EXPECT_TRUE(failed);  // and the process is still here: no SIGPIPE
    ASSERT_FALSE(r.disconnects.empty());
    EXPECT_EQ(r.disconnects.front(), IoError);
}

// A peer that reads nothing (a dead link whose other end still holds the
// connection): the write ends at its deadline as a broken connection.
TEST(Connection, AWriteThePeerNeverTakesEndsAtItsDeadline) {
    FaultServer server(FaultServer::NeverAnswer);
    Recorder r;
    r.cleanupOnDisconnect = false;
    NetworkTCPC c(&r, nullptr, "127.0.0.1", server.port());
    c.setWriteTimeout(200);
    ASSERT_EQ(c.connect(), NoError);
    // Wake-ups for the wait for data (the host's calls) do not restart it:
    // the write fails while they still come (for at most 30 s).
    std::atomic<bool> waking{true}, wakerGaveUp{false};
    std::thread waker([&] {
        int i = 0;
        for (; i < 1500 && waking; ++i) {
            c.wake();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        wakerGaveUp = i == 1500;
    });
    bool failed = false;
    for (int i = 0; i < 4000 && !failed; ++i) failed = !c.send(std::string(65536, 'z'));
    const bool stillWaking = !wakerGaveUp;
    waking = false;
    waker.join();
    EXPECT_TRUE(failed);
    EXPECT_TRUE(stillWaking);
    ASSERT_FALSE(r.disconnects.empty());
    EXPECT_EQ(r.disconnects.front(), IoError);
}

// A write stuck on a peer that reads nothing, cut short by a disconnect:
// after lingerOnClose, cleanup returns at once, and the rest of that write
// and whatever was sent after it reach the peer, whole and in order, once
// it reads again; then the end of the stream.
TEST(Connection, ALingeringCloseFinishesTheStreamOnceThePeerReads) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int small = 64 * 1024;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);  // the peer holds little
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
    Recorder r;
    r.cleanupOnDisconnect = false;
    NetworkTCPC c(&r, nullptr, "127.0.0.1", ntohs(a.sin_port));
    ASSERT_EQ(c.connect(), NoError);
    const int peer = ::accept(listener, nullptr, nullptr);
    const std::string block(1 << 20, 'a');
    auto writer = std::async(std::launch::async, [&] {
        for (int i = 0; i < 8; ++i) c.send(block);  // more than both sides' buffers
    });
    EXPECT_EQ(writer.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout) << "not stuck";
    c.disconnect();
    ASSERT_EQ(writer.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    c.send("tail");
    // Longer than the wait below: a cleanup that waited for the peer to
    // read would not return before the peer reads.
    c.lingerOnClose(60000);
    auto cleaned = std::async(std::launch::async, [&] { c.cleanup(); });
    ASSERT_EQ(cleaned.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "cleanup waits for the peer";
    timeval patience{5, 0};  // each read; the end of the stream ends the loop
    setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    const auto started = Clock::now();
    std::string received;
    char buffer[65536];
    for (ssize_t n = 1; n > 0 && received.size() <= 8 * block.size() + 4 && secondsSince(started) < 30;) {
        n = ::recv(peer, buffer, sizeof buffer, 0);
        if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(received.size(), 8 * block.size() + 4);
    EXPECT_EQ(received.substr(received.size() - 5), "atail");
    EXPECT_TRUE(r.disconnects.empty());
    ::close(peer);
    ::close(listener);
}

TEST(Connection, DisconnectFromAnotherThreadEndsAnEndlessWaitAtOnce) {
    FaultServer server(FaultServer::NeverAnswer);
    Recorder r;
    NetworkTCPC c(&r, nullptr, "127.0.0.1", server.port());
    ASSERT_EQ(c.connect(), NoError);

    auto loop = std::async(std::launch::async, [&] { return c.receiveLoop(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    c.disconnect();
    // The wait has no end of its own: only the disconnect can end it.
    ASSERT_EQ(loop.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(loop.get(), NotConnected);
    EXPECT_TRUE(r.disconnects.empty());
    c.cleanup();

    // receiveOnce without a time limit wakes for cleanup as well.
    ASSERT_EQ(c.connect(), NoError);
    auto once = std::async(std::launch::async, [&] { return c.receiveOnce(-1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    c.cleanup();
    ASSERT_EQ(once.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(once.get(), NotConnected);
    EXPECT_EQ(c.state(), StateDisconnected);
}

TEST(Connection, TimedReceiveReturnsNothingWhenSilent) {
    FaultServer server(FaultServer::NeverAnswer);
    Recorder r;
    NetworkTCPC c(&r, nullptr, "127.0.0.1", server.port());
    ASSERT_EQ(c.connect(), NoError);
    EXPECT_EQ(c.receiveOnce(10), NoError);
    EXPECT_EQ(c.receiveOnce(20000), NoError);
    EXPECT_TRUE(r.data.empty());
}

TEST(Connection, SilentAddressTimesOutAfterTheBound) {
    FaultServer silent(FaultServer::Silent);
    LogExport log;
    LogRecorder lines(log);
    Recorder r;
    r.cleanupOnDisconnect = false;
    NetworkTCPC c(&r, &log, "127.0.0.1", silent.port());
    c.setConnectTimeout(300);
    const auto started = Clock::now();
    EXPECT_EQ(c.connect(), ConnectionRefused);
    // The bound set, not the 10 s default, ended the attempt.
    EXPECT_GE(secondsSince(started), 0.25);
    EXPECT_LT(secondsSince(started), 9.0);
    EXPECT_TRUE(lines.contains("did not answer within 300 ms"));
    EXPECT_TRUE(lines.has(LogError, LogAreaConnection, "127.0.0.1: connection refused"));
}

TEST(Connection, DisconnectOrCleanupAbortsAConnectInProgress) {
    FaultServer silent(FaultServer::Silent);
    for (bool useCleanup : {false, true}) {
        Recorder r;
        NetworkTCPC c(&r, nullptr, "127.0.0.1", silent.port());
        ASSERT_EQ(c.connectTimeout(), NetworkTCPUtil::kDefaultConnectTimeoutMs);
        auto attempt = std::async(std::launch::async, [&] { return c.connect(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        if (useCleanup)
            c.cleanup();
        else
            c.disconnect();
        // Well before the 10 s the attempt would take by itself.
        ASSERT_EQ(attempt.wait_for(std::chrono::seconds(8)), std::future_status::ready);
        EXPECT_EQ(attempt.get(), NotConnected);
        EXPECT_TRUE(r.disconnects.empty());  // the one who cancelled knows
        c.cleanup();
        EXPECT_EQ(c.state(), StateDisconnected);
    }
}

TEST(Connection, ConcurrentSendsDisconnectsAndCleanups) {
    // For ThreadSanitizer: every operation that may come from another thread,
    // at once, against a live connection.
    FaultServer server(FaultServer::SlowReader);
    Recorder r;
    NetworkTCPC c(&r, nullptr, "127.0.0.1", server.port());
    ASSERT_EQ(c.connect(), NoError);
    std::atomic<bool> stop{false};
    std::thread receiver([&] {
        while (!stop) {
            if (c.receiveOnce(1000) != NoError) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::vector<std::thread> senders;
    for (int t = 0; t < 2; ++t)
        senders.emplace_back([&] {
            for (int i = 0; i < 200; ++i) c.send(std::string(512, 's'));
        });
    for (auto& s : senders) s.join();
    int in, out;
    c.statistics(in, out);
    c.disconnect();
    c.cleanup();
    stop = true;
    receiver.join();
    EXPECT_EQ(c.state(), StateDisconnected);
}

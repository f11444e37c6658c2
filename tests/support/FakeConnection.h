// A transport that plays the server inside the test: what the engine sends
// is collected, and the test delivers the server's bytes itself. Everything
// runs on the test's thread, so negotiation is deterministic and byte-exact.
#ifndef PARLEY_TESTS_SUPPORT_FAKECONNECTION_H
#define PARLEY_TESTS_SUPPORT_FAKECONNECTION_H

#include <mutex>
#include <string>
#include <vector>

#include "transport/NetworkUtil.h"

namespace testsupport {

class FakeConnection : public tern::NetworkUtil {
public:
    explicit FakeConnection(tern::NetworkDataHandler* handler) : NetworkUtil(handler, "fake.test", 5222) {}

    tern::ConnectionError connect() override {
        if (refuse) {
            handler_->onDisconnected(this, tern::ConnectionRefused);
            return tern::ConnectionRefused;
        }
        state_ = tern::StateConnected;
        ++connects;
        handler_->onConnected(this);
        return tern::NoError;
    }
    tern::ConnectionError receiveOnce(int timeoutUs) override {
        lastWaitUs = timeoutUs;
        return state_ == tern::StateConnected ? tern::NoError : tern::NotConnected;
    }
    bool send(const std::string& data) override {
        if (state_ != tern::StateConnected || data.empty()) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        sent_.push_back(data);
        return true;
    }
    tern::ConnectionError receiveLoop() override { return tern::NotConnected; }
    void disconnect() override {}
    void cleanup() override { state_ = tern::StateDisconnected; }
    void statistics(int& in, int& out) override { in = out = 0; }
    void setWriteTimeout(int ms) override { writeTimeoutMs = ms; }
    tern::NetworkUtil* clone() const override { return new FakeConnection(handler_); }

    // The server's side.
    void serverSays(const std::string& xml) { handler_->onDataReceived(this, xml); }
    void serverCloses() { handler_->onDisconnected(this, tern::StreamClosed); }

    // Everything sent since the last call, concatenated.
    std::string takeSent() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string all;
        for (const std::string& s : sent_) all += s;
        sent_.clear();
        return all;
    }
    std::vector<std::string> takeWrites() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        out.swap(sent_);
        return out;
    }

    bool refuse = false;
    int connects = 0;
    int lastWaitUs = 0;  // what the last receive pass was allowed to wait
    int writeTimeoutMs = 0;

private:
    std::mutex mutex_;
    std::vector<std::string> sent_;
};

}  // namespace testsupport

#endif

// A Client on its own receiving thread, as a host runs it, for live tests.
#ifndef PARLEY_TESTS_SUPPORT_LIVECLIENT_H
#define PARLEY_TESTS_SUPPORT_LIVECLIENT_H

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <memory>
#include <thread>

#include "client/Client.h"
#include "support/Listener.h"
#include "support/TestEnv.h"

namespace testsupport {

class LiveClient {
public:
    // The client trusts the test environment's authority, as a host
    // trusts its own; tests of refused certificates replace the list.
    explicit LiveClient(std::unique_ptr<tern::Client> client) : client_(std::move(client)) {
        client_->addNetworkListener(&listener);
        if (!testAuthority().empty()) client_->setCACerts({testAuthority()});
        // PARLEY_CAPTURE=FILE appends every received element to FILE, one per
        // line: raw material for the wire corpus.
        if (const char* path = std::getenv("PARLEY_CAPTURE")) {
            capture_.open(path, std::ios::app);
            client_->logInstance().addReceiver(&capturer_, tern::LogDebug, tern::LogAreaXmlIncoming);
        }
    }
    ~LiveClient() {
        stop();
        client_->logInstance().removeReceiver(&capturer_);
    }

    tern::Client& operator*() { return *client_; }
    tern::Client* operator->() { return client_.get(); }

    // Connects on the receiving thread and keeps receiving until stopped.
    void start() {
        thread_ = std::thread([this] {
            if (!client_->connect(false)) return;
            while (!stop_ && client_->receive(200000) == tern::NoError) {
            }
        });
    }
    bool waitConnected(int ms = 15000) { return listener.waitFor("connected", ms); }
    bool waitDisconnected(int ms = 15000) { return listener.waitFor("disconnected", ms); }

    // Leaves the stream and joins the receiving thread.
    void stop() {
        stop_ = true;
        client_->disconnect();
        if (thread_.joinable()) thread_.join();
    }

    RecordingListener listener;

private:
    struct Capturer : tern::LogExportHandler {
        std::ofstream* out;
        std::mutex m;
        explicit Capturer(std::ofstream* o) : out(o) {}
        void handleLogMessage(int, int, const std::string& message) override {
            std::lock_guard<std::mutex> l(m);
            *out << message << "\n";
        }
    };
    std::ofstream capture_;
    Capturer capturer_{&capture_};
    std::unique_ptr<tern::Client> client_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

}  // namespace testsupport

#endif

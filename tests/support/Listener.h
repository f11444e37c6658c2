// A NetworkListener that records everything it hears, in order.
#ifndef PARLEY_TESTS_SUPPORT_LISTENER_H
#define PARLEY_TESTS_SUPPORT_LISTENER_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "client/Handlers.h"
#include "client/PendingStanza.h"

namespace testsupport {

class RecordingListener : public tern::NetworkListener {
public:
    void handleConnected() override { add("connected"); }
    void handleDisconnected(tern::ConnectionError e) override {
        {
            std::lock_guard<std::mutex> l(mutex_);
            disconnects.push_back(e);
        }
        add("disconnected:" + std::to_string(e));
    }
    void handleBindError(tern::ResourceBindError e) override { add("bind-error:" + std::to_string(e)); }
    void handleSessionError(tern::SessionCreateError e) override { add("session-error:" + std::to_string(e)); }
    bool handleTlsConnected(const tern::CertificateInfo& info) override {
        {
            std::lock_guard<std::mutex> l(mutex_);
            certificate = info;
        }
        add("tls");
        return acceptCertificate && (!requireValidCertificate || info.chainValid);
    }
    void handleStreamEvent(tern::StreamEvent e) override { add("event:" + std::to_string(e)); }
    void handleSessionRenewed() override { add("renewed"); }
    void handleNotSent(const tern::PendingStanza& stanza, tern::NotSentReason reason) override {
        add(std::string(reason == tern::NotSentReason::Refused ? "refused:" : "unsent:") + stanza.text);
    }

    std::vector<std::string> events() const {
        std::lock_guard<std::mutex> l(mutex_);
        return events_;
    }
    std::string joined() const {
        std::string out;
        for (const std::string& e : events()) out += (out.empty() ? "" : " ") + e;
        return out;
    }
    bool has(const std::string& e) const {
        for (const std::string& x : events())
            if (x == e) return true;
        return false;
    }
    // Waits (bounded) until the event has been heard.
    bool waitFor(const std::string& e, int ms = 10000) {
        std::unique_lock<std::mutex> l(mutex_);
        return cv_.wait_for(l, std::chrono::milliseconds(ms), [&] {
            for (const std::string& x : events_)
                if (x == e || x.rfind(e, 0) == 0) return true;
            return false;
        });
    }
    void clear() {
        std::lock_guard<std::mutex> l(mutex_);
        events_.clear();
        disconnects.clear();
    }

    bool acceptCertificate = true;
    bool requireValidCertificate = false;  // refuse what does not verify, as a host does
    tern::CertificateInfo certificate;  // the last one offered
    std::vector<tern::ConnectionError> disconnects;

private:
    void add(const std::string& e) {
        std::lock_guard<std::mutex> l(mutex_);
        events_.push_back(e);
        cv_.notify_all();  // under the lock: see HostRecorder
    }
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> events_;
};

}  // namespace testsupport

#endif

#include "transport/NetworkTCPUtil.h"

#include <chrono>
#include <climits>

#include "client/LogExport.h"
#include "transport/LingeringClose.h"

namespace tern {

NetworkTCPUtil::NetworkTCPUtil(NetworkDataHandler* handler, LogExport* log, const std::string& server, int port)
    : NetworkUtil(handler, server, port), log_(log) {
    buffer_.reserve(kBufferSize + 1);
}

NetworkTCPUtil::~NetworkTCPUtil() { cleanup(); }

void NetworkTCPUtil::interrupt() {
    cancel_ = true;
    waker_.signal();
}

bool NetworkTCPUtil::send(const std::string& data) {
    bool failed = false;
    bool interrupted = false;
    bool stalled = false;
    bool rewake = false;  // a wake-up meant for the wait for data, taken here
    {
        std::lock_guard<std::mutex> lock(sendLock_);
        const platform::SocketHandle s = socket_.load();
        if (data.empty() || s < 0) return false;
        // A connection that is ending never waits: what it cannot take now
        // waits behind the rest of the write it cut short, for a lingering
        // close (else it goes with the socket).
        if (cancel_.load() || !unsent_.empty()) {
            unsent_ += data;
            bytesSent_ += data.size();
            return writeUnsent(s);
        }
        std::size_t offset = 0;
        // Since when the peer has taken nothing: the deadline counts from
        // there, whatever wakes the wait meanwhile.
        std::chrono::steady_clock::time_point stuckSince;
        bool stuck = false;
        while (offset < data.size()) {
            const long n = platform::sendSome(s, data.data() + offset, data.size() - offset);
            if (n > 0) {
                offset += static_cast<std::size_t>(n);
                stuck = false;
                continue;
            }
            if (n == platform::kWouldBlock) {
                if (!stuck) stuckSince = std::chrono::steady_clock::now();
                stuck = true;
                const long long limitUs = static_cast<long long>(writeTimeoutMs_.load()) * 1000;
                const long long waitedUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                               std::chrono::steady_clock::now() - stuckSince)
                                               .count();
                const platform::WaitResult w =
                    limitUs <= 0          ? platform::waitWritable(s, -1, &waker_)
                    : waitedUs >= limitUs ? platform::WaitResult::Timeout
                                          : platform::waitWritable(s, limitUs - waitedUs, &waker_);
                if (w == platform::WaitResult::Ready) continue;
                if (w == platform::WaitResult::Woken) {
                    // Only a cancel ends the write; a wake-up is passed on
                    // once it is done.
                    if (!cancel_.load()) waker_.clear();
                    if (!cancel_.load()) {
                        rewake = true;
                        continue;
                    }
                    waker_.signal();
                    unsent_.assign(data, offset, std::string::npos);
                    interrupted = true;
                    break;
                }
                // A peer that takes nothing for that long is gone (a dead
                // NAT mapping, a pulled cable): waiting on would hold every
                // other writer, the keepalive's probe among them.
                stalled = w == platform::WaitResult::Timeout;
            }
            failed = true;
            break;
        }
        bytesSent_ += data.size();
        if (rewake) waker_.signal();
    }
    if (failed) {
        if (stalled && log_)
            log_->log(LogError, LogAreaConnection,
                      server_ + ": the peer took nothing written for " + std::to_string(writeTimeoutMs_.load()) +
                          " ms; the connection is dead");
        if (handler_) handler_->onDisconnected(this, IoError);
        return false;
    }
    return !interrupted;
}

ConnectionError NetworkTCPUtil::receiveLoop() {
    if (socket_.load() < 0) return NotConnected;
    while (!cancel_.load()) {
        const ConnectionError e = receiveOnce(-1);
        if (e != NoError) return e;
    }
    return NotConnected;
}

void NetworkTCPUtil::wake() {
    if (state_ == StateConnected && !cancel_.load()) waker_.signal();
}

void NetworkTCPUtil::disconnect() {
    interrupt();
    // Returns only once a receive cycle in progress has finished.
    std::lock_guard<std::mutex> lock(receiveLock_);
}

bool NetworkTCPUtil::writeUnsent(platform::SocketHandle s) {
    while (!unsent_.empty()) {
        const long n = platform::sendSome(s, unsent_.data(), unsent_.size());
        if (n == platform::kWouldBlock) return false;
        if (n <= 0) {
            unsent_.clear();  // the peer is gone: nothing will take it
            return false;
        }
        unsent_.erase(0, static_cast<std::size_t>(n));
    }
    return true;
}

void NetworkTCPUtil::cleanup() {
    interrupt();
    std::lock_guard<std::mutex> sendLock(sendLock_);
    std::lock_guard<std::mutex> receiveLock(receiveLock_);
    const platform::SocketHandle s = socket_.exchange(platform::kInvalidSocket);
    const int lingerMs = lingerMs_.exchange(0);
    if (lingerMs > 0 && s >= 0)
        closeLingering(s, std::move(unsent_), lingerMs);
    else
        platform::closeSocket(s);
    unsent_.clear();
    state_ = StateDisconnected;
    cancel_ = true;
    bytesReceived_ = 0;
    bytesSent_ = 0;
}

void NetworkTCPUtil::statistics(int& bytesReceived, int& bytesSent) {
    auto saturate = [](std::uint64_t v) { return v > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(v); };
    bytesReceived = saturate(bytesReceived_.load());
    bytesSent = saturate(bytesSent_.load());
}

}  // namespace tern

#include "transport/NetworkTCPC.h"

#include "client/LogExport.h"
#include "transport/Resolver.h"

namespace tern {

NetworkTCPC::NetworkTCPC(NetworkDataHandler* handler, LogExport* log, const std::string& server, int port)
    : NetworkTCPUtil(handler, log, server, port) {}

NetworkUtil* NetworkTCPC::clone() const { return new NetworkTCPC(handler_, log_, server_, port_); }

ConnectionError NetworkTCPC::connect() {
    {
        std::lock_guard<std::mutex> lock(sendLock_);
        if (!handler_ || socket_.load() >= 0) return NotConnected;
        if (state_ != StateDisconnected) return NoError;
        state_ = StateConnecting;
        waker_.clear();
    }
    // Looked up and connected without the lock: the log lines this writes
    // reach the host, which may send meanwhile; cleanup() ends it through
    // the waker.
    ConnectOptions options;
    options.timeoutMs = connectTimeoutMs_;
    options.waker = &waker_;
    options.directTls = allowDirectTls_;
    ServiceHost chosen;
    platform::SocketHandle s = port_ == -1 ? connectResolved(server_, log_, options, &chosen)
                                           : connectTo(server_, static_cast<unsigned short>(port_), options, log_);
    {
        std::lock_guard<std::mutex> lock(sendLock_);
        if (s >= 0 && state_ != StateConnecting) {
            platform::closeSocket(s);  // cleaned up meanwhile
            s = kSocketCancelled;
        }
        directTls_ = s >= 0 && port_ == -1 && chosen.directTls;
        if (s >= 0) {
            socket_ = s;
            state_ = StateConnected;
            cancel_ = false;
        }
    }
    if (s == kSocketCancelled) {
        if (log_) log_->log(LogDebug, LogAreaConnection, server_ + ": connection attempt cancelled");
        return NotConnected;
    }
    if (s < 0) {
        const bool dns = s == kSocketDnsError;
        if (log_) log_->log(LogError, LogAreaConnection, server_ + (dns ? ": host not found" : ": connection refused"));
        const ConnectionError e = dns ? DnsError : ConnectionRefused;
        handler_->onDisconnected(this, e);
        return e;
    }
    handler_->onConnected(this);
    return NoError;
}

ConnectionError NetworkTCPC::receiveOnce(int timeoutUs) {
    ConnectionError result = NoError;
    bool received = false;
    {
        std::lock_guard<std::mutex> lock(receiveLock_);
        const platform::SocketHandle s = socket_.load();
        if (cancel_.load() || s < 0) return NotConnected;
        // Read first and wait only when nothing is there: a busy connection
        // then costs one system call per read.
        buffer_.resize(kBufferSize);
        long n = platform::receiveSome(s, &buffer_[0], kBufferSize);
        if (n == platform::kWouldBlock) {
            const platform::WaitResult w = platform::waitReadable(s, timeoutUs, &waker_);
            if (w == platform::WaitResult::Woken) {
                if (cancel_.load()) return NotConnected;
                waker_.clear();  // a wake-up: the caller has work to do
                if (cancel_.load()) {
                    waker_.signal();  // a cancel that came meanwhile stays seen
                    return NotConnected;
                }
                return NoError;
            }
            if (w != platform::WaitResult::Ready) return NoError;
            n = platform::receiveSome(s, &buffer_[0], kBufferSize);
            if (n == platform::kWouldBlock) return NoError;
        }
        if (n > 0) {
            bytesReceived_ += static_cast<std::uint64_t>(n);
            buffer_.resize(static_cast<std::size_t>(n));
            received = true;
        } else {
            result = n == 0 ? StreamClosed : IoError;
        }
    }
    if (result != NoError) {
        if (handler_) handler_->onDisconnected(this, result);
        return result;
    }
    if (received && handler_) handler_->onDataReceived(this, buffer_);
    return NoError;
}

}  // namespace tern

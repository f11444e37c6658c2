// What every TCP connection has, whatever its direction: the socket, the
// receive buffer, the two locks, the byte counters and the cancel flag.
#ifndef TERN_TRANSPORT_NETWORKTCPUTIL_H
#define TERN_TRANSPORT_NETWORKTCPUTIL_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "transport/NetworkUtil.h"
#include "transport/Platform.h"

namespace tern {

class LogExport;

class NetworkTCPUtil : public NetworkUtil {
public:
    static constexpr int kBufferSize = 1024;
    static constexpr int kDefaultConnectTimeoutMs = 10000;

    NetworkTCPUtil(NetworkDataHandler* handler, LogExport* log, const std::string& server, int port);
    ~NetworkTCPUtil() override;

    // Writes all of data, however many socket writes it takes; false when
    // there is no socket, data is empty, a write fails (reported as IoError)
    // or a disconnect from another thread ends a write that had to wait.
    bool send(const std::string& data) override;
    // Receive cycles until disconnect; each waits without a time limit but
    // wakes at once when another thread disconnects.
    ConnectionError receiveLoop() override;
    // Sets the cancel flag and wakes a connect or a wait for data in progress.
    void disconnect() override;
    // Only a connected socket's wait for data: a connection attempt would
    // take the wake-up for a cancel.
    void wake() override;
    // Closes the socket and resets; safe from any thread at any time. After
    // lingerOnClose the socket closes on a thread of its own (see
    // LingeringClose) once what the stream still had to say is written.
    void cleanup() override;
    void lingerOnClose(int ms) override { lingerMs_ = ms; }
    // The counters, saturated at the largest 32-bit value.
    void statistics(int& bytesReceived, int& bytesSent) override;

    std::uint64_t totalBytesReceived() const { return bytesReceived_.load(); }
    std::uint64_t totalBytesSent() const { return bytesSent_.load(); }
    // Time a write may wait for the peer to take data (0: no limit); past
    // it the connection counts as dead (IoError).
    void setWriteTimeout(int ms) override { writeTimeoutMs_ = ms > 0 ? ms : 0; }
    // Time allowed for each connection attempt (each address of each target).
    void setConnectTimeout(int ms) { connectTimeoutMs_ = ms > 0 ? ms : kDefaultConnectTimeoutMs; }
    int connectTimeout() const { return connectTimeoutMs_; }
    bool cancelled() const { return cancel_.load(); }

protected:
    // Wakes a blocked connect, wait or write on another thread.
    void interrupt();

    LogExport* log_;
    std::mutex sendLock_;     // connect, send, first half of cleanup
    std::mutex receiveLock_;  // receive cycles, disconnect, second half of cleanup
    std::string buffer_;      // receive buffer, reused for every read
    std::atomic<platform::SocketHandle> socket_{platform::kInvalidSocket};
    std::atomic<std::uint64_t> bytesReceived_{0};
    std::atomic<std::uint64_t> bytesSent_{0};
    std::atomic<bool> cancel_{true};
    std::atomic<int> connectTimeoutMs_{kDefaultConnectTimeoutMs};
    std::atomic<int> writeTimeoutMs_{0};
    std::atomic<int> lingerMs_{0};
    // Written after a cancel, or the rest of a write a cancel cut short:
    // the stream stays whole for a lingering close. Guarded by sendLock_.
    std::string unsent_;
    bool writeUnsent(platform::SocketHandle s);
    platform::Waker waker_;
};

}  // namespace tern

#endif

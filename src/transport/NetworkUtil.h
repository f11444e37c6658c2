// The abstract byte transport under the XML stream.
#ifndef TERN_TRANSPORT_NETWORKUTIL_H
#define TERN_TRANSPORT_NETWORKUTIL_H

#include <atomic>
#include <string>

#include "ConnectionError.h"

namespace tern {

class NetworkUtil;

// Receives what happens on a connection. Calls come on the thread that drives
// the connection, never while the connection holds a lock, so a handler may
// send, disconnect or clean up from inside them.
class NetworkDataHandler {
public:
    virtual ~NetworkDataHandler() = default;
    // Exactly the bytes of one read, zero bytes included.
    virtual void onDataReceived(NetworkUtil* connection, const std::string& data) = 0;
    virtual void onConnected(NetworkUtil* connection) = 0;
    virtual void onDisconnected(NetworkUtil* connection, ConnectionError reason) = 0;
};

class NetworkUtil {
public:
    NetworkUtil(NetworkDataHandler* handler, const std::string& server, int port)
        : handler_(handler), server_(server), port_(port) {}
    NetworkUtil(const NetworkUtil&) = delete;
    NetworkUtil& operator=(const NetworkUtil&) = delete;
    virtual ~NetworkUtil() = default;

    virtual ConnectionError connect() = 0;
    // One receive cycle waiting at most timeoutUs microseconds (-1: no limit).
    virtual ConnectionError receiveOnce(int timeoutUs) = 0;
    virtual bool send(const std::string& data) = 0;
    virtual ConnectionError receiveLoop() = 0;
    virtual void disconnect() = 0;
    virtual void cleanup() {}
    virtual void statistics(int& bytesReceived, int& bytesSent) = 0;
    // A new, unconnected connection like this one, owned by the caller.
    virtual NetworkUtil* clone() const = 0;

    // Ends a wait for data on the receiving thread, which goes round once
    // more (work was queued for it); nothing else changes.
    virtual void wake() {}
    // The client ends the connection itself: its cleanup may take up to ms
    // to write what the stream still has to say, without anyone waiting.
    virtual void lingerOnClose(int) {}
    // How long a write may wait for the peer (0: no limit).
    virtual void setWriteTimeout(int) {}
    // XEP-0368: whether _xmpps-client targets may be tried, and whether the
    // connection made goes to one (TLS starts at once, without STARTTLS).
    virtual void allowDirectTls(bool) {}
    virtual bool directTls() const { return false; }

    ConnectionState state() const { return state_.load(); }
    NetworkDataHandler* handler() const { return handler_; }
    const std::string& server() const { return server_; }
    int port() const { return port_; }

protected:
    NetworkDataHandler* handler_;
    std::atomic<ConnectionState> state_{StateDisconnected};
    std::string server_;
    int port_;  // -1: find the server through DNS SRV
};

}  // namespace tern

#endif

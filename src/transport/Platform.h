// The thin layer between the transport and the operating system: sockets,
// waits with a wake-up, name and service lookup, random bytes. POSIX here
// (Platform_posix.cpp); a Windows sibling implements the same functions.
#ifndef TERN_TRANSPORT_PLATFORM_H
#define TERN_TRANSPORT_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tern {
namespace platform {

using SocketHandle = std::intptr_t;
constexpr SocketHandle kInvalidSocket = -1;

// A descriptor that another thread can make readable to end a wait at once.
// It stays signalled until cleared.
class Waker {
public:
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    void signal();
    void clear();
    std::intptr_t handle() const { return read_; }

private:
    std::intptr_t read_ = -1;
    std::intptr_t write_ = -1;
};

struct NetAddress {
    unsigned char storage[128] = {};
    int length = 0;
    int family = 0;
    std::string text;  // numeric form for log lines, "[::1]:5222"
};

// Every address of a host name, in the order the system prefers (IPv6 and
// IPv4 alike); empty when the name does not resolve.
std::vector<NetAddress> resolveHost(const std::string& host, unsigned short port);

// A non-blocking stream socket for the address's family, or kInvalidSocket.
SocketHandle openStreamSocket(const NetAddress& address);
void closeSocket(SocketHandle s);
// No more is written: the peer reads the end of the stream after the rest.
void shutdownWrite(SocketHandle s);

enum class ConnectOutcome { Connected, Refused, TimedOut, Cancelled };
ConnectOutcome connectWithin(SocketHandle s, const NetAddress& address, int timeoutMs, Waker* waker);

enum class WaitResult { Ready, Timeout, Woken, Error };
// timeoutUs -1 waits without limit; a signalled waker ends the wait.
WaitResult waitReadable(SocketHandle s, long long timeoutUs, Waker* waker);
// Ready when writable, even if the waker is signalled; Timeout after
// timeoutUs (-1: no limit).
WaitResult waitWritable(SocketHandle s, long long timeoutUs, Waker* waker);

constexpr long kWouldBlock = -2;
// Bytes read (> 0), 0 when the peer closed, -1 on error, kWouldBlock.
long receiveSome(SocketHandle s, char* buffer, std::size_t length);
// Bytes written (>= 0), -1 on error, kWouldBlock. Never raises SIGPIPE.
long sendSome(SocketHandle s, const char* data, std::size_t length);

struct SrvRecord {
    std::string target;
    int port = 0;
    int priority = 0;
    int weight = 0;
};
enum class DnsStatus { Ok, NoRecords, Failed };
// Records of type SRV for the name, in answer order. Thread-safe.
DnsStatus querySrv(const std::string& name, std::vector<SrvRecord>& records);

// Bytes from the operating system's cryptographic random source.
void fillRandom(void* buffer, std::size_t length);

// Keeps the library's code mapped until the process ends, even when the host
// unloads it: called before a thread of the library's own starts (a close
// that lingers, a session that releases itself, a registration), which may
// still be running the library's code when the host lets go of it.
void keepCodeLoaded();

}  // namespace platform
}  // namespace tern

#endif

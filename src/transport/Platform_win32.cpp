// Windows Sockets 2, select with a wake-up socket, DnsQuery_A and
// BCryptGenRandom. Every user of Winsock (a socket, a waker, a name lookup)
// takes its own WSAStartup and gives it back with WSACleanup, so the count
// stays balanced whatever the host does.
#include "transport/Platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <bcrypt.h>
#include <windns.h>

#include <climits>
#include <cstring>
#include <stdexcept>

namespace tern {
namespace platform {

namespace {

SOCKET sock(SocketHandle s) { return static_cast<SOCKET>(s); }

bool startWinsock() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

// A relative time-out for select; null waits without limit.
struct Timeout {
    explicit Timeout(long long us) : infinite(us < 0) {
        if (infinite) return;
        value.tv_sec = static_cast<long>(us / 1000000);
        value.tv_usec = static_cast<long>(us % 1000000);
    }
    timeval* get() { return infinite ? nullptr : &value; }
    bool infinite;
    timeval value{};
};

}  // namespace

// The waker is a UDP socket on loopback that sends a byte to itself: select
// sees it readable beside the connection's socket.
Waker::Waker() {
    if (!startWinsock()) throw std::runtime_error("cannot start Windows Sockets");
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof a;
    u_long nonBlocking = 1;
    if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        if (s != INVALID_SOCKET) closesocket(s);
        WSACleanup();
        throw std::runtime_error("cannot create a wake-up socket");
    }
    read_ = static_cast<std::intptr_t>(s);
    write_ = read_;
}

Waker::~Waker() {
    closesocket(sock(read_));
    WSACleanup();
}

void Waker::signal() {
    const char b = 1;
    ::send(sock(write_), &b, 1, 0);
}

void Waker::clear() {
    char drain[64];
    while (::recv(sock(read_), drain, sizeof drain, 0) > 0) {
    }
}

std::vector<NetAddress> resolveHost(const std::string& host, unsigned short port) {
    std::vector<NetAddress> out;
    if (host.empty() || !startWinsock()) return out;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) == 0) {
        for (addrinfo* ai = list; ai; ai = ai->ai_next) {
            if (ai->ai_addrlen > sizeof(NetAddress::storage)) continue;
            if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
            NetAddress a;
            std::memcpy(a.storage, ai->ai_addr, ai->ai_addrlen);
            a.length = static_cast<int>(ai->ai_addrlen);
            a.family = ai->ai_family;
            char text[NI_MAXHOST] = "?";
            getnameinfo(ai->ai_addr, static_cast<int>(ai->ai_addrlen), text, sizeof text, nullptr, 0, NI_NUMERICHOST);
            a.text = ai->ai_family == AF_INET6 ? "[" + std::string(text) + "]:" + service : text + (":" + service);
            out.push_back(a);
        }
        freeaddrinfo(list);
    }
    WSACleanup();
    return out;
}

SocketHandle openStreamSocket(const NetAddress& address) {
    if (!startWinsock()) return kInvalidSocket;
    const SOCKET s = ::socket(address.family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        WSACleanup();
        return kInvalidSocket;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    // Stanzas are small and interactive: send them at once.
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return static_cast<SocketHandle>(s);
}

void shutdownWrite(SocketHandle s) {
    if (s != kInvalidSocket) ::shutdown(sock(s), SD_SEND);
}

void closeSocket(SocketHandle s) {
    if (s == kInvalidSocket) return;
    closesocket(sock(s));
    WSACleanup();  // the one openStreamSocket took
}

ConnectOutcome connectWithin(SocketHandle s, const NetAddress& address, int timeoutMs, Waker* waker) {
    if (::connect(sock(s), reinterpret_cast<const sockaddr*>(address.storage), address.length) == 0)
        return ConnectOutcome::Connected;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return ConnectOutcome::Refused;
    fd_set writable, failed, wake;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_ZERO(&wake);
    FD_SET(sock(s), &writable);
    FD_SET(sock(s), &failed);  // Windows reports a refused connect here
    if (waker) FD_SET(sock(waker->handle()), &wake);
    Timeout timeout(static_cast<long long>(timeoutMs) * 1000);
    const int r = select(0, &wake, &writable, &failed, timeout.get());
    if (r == SOCKET_ERROR) return ConnectOutcome::Refused;
    if (waker && FD_ISSET(sock(waker->handle()), &wake)) return ConnectOutcome::Cancelled;
    if (r == 0) return ConnectOutcome::TimedOut;
    if (FD_ISSET(sock(s), &failed)) return ConnectOutcome::Refused;
    int error = 0;
    int length = sizeof error;
    if (getsockopt(sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 || error != 0)
        return ConnectOutcome::Refused;
    return ConnectOutcome::Connected;
}

WaitResult waitReadable(SocketHandle s, long long timeoutUs, Waker* waker) {
    fd_set readable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&failed);
    FD_SET(sock(s), &readable);
    FD_SET(sock(s), &failed);
    if (waker) FD_SET(sock(waker->handle()), &readable);
    Timeout timeout(timeoutUs);
    const int r = select(0, &readable, nullptr, &failed, timeout.get());
    if (r == SOCKET_ERROR) return WaitResult::Error;
    if (waker && FD_ISSET(sock(waker->handle()), &readable)) return WaitResult::Woken;
    if (r == 0) return WaitResult::Timeout;
    return WaitResult::Ready;  // data, end of stream or an error: the read tells
}

WaitResult waitWritable(SocketHandle s, long long timeoutUs, Waker* waker) {
    fd_set writable, failed, wake;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_ZERO(&wake);
    FD_SET(sock(s), &writable);
    FD_SET(sock(s), &failed);
    if (waker) FD_SET(sock(waker->handle()), &wake);
    Timeout timeout(timeoutUs);
    const int r = select(0, &wake, &writable, &failed, timeout.get());
    if (r == SOCKET_ERROR) return WaitResult::Error;
    if (r == 0) return WaitResult::Timeout;
    if (FD_ISSET(sock(s), &writable) || FD_ISSET(sock(s), &failed)) return WaitResult::Ready;
    if (waker && FD_ISSET(sock(waker->handle()), &wake)) return WaitResult::Woken;
    return WaitResult::Error;
}

long receiveSome(SocketHandle s, char* buffer, std::size_t length) {
    const int n = ::recv(sock(s), buffer, static_cast<int>(length > INT_MAX ? INT_MAX : length), 0);
    if (n >= 0) return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : -1;
}

long sendSome(SocketHandle s, const char* data, std::size_t length) {
    const int n = ::send(sock(s), data, static_cast<int>(length > INT_MAX ? INT_MAX : length), 0);
    if (n >= 0) return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : -1;
}

DnsStatus querySrv(const std::string& name, std::vector<SrvRecord>& records) {
    PDNS_RECORDA results = nullptr;
    const DNS_STATUS status = DnsQuery_A(name.c_str(), DNS_TYPE_SRV, DNS_QUERY_STANDARD, nullptr,
                                         reinterpret_cast<PDNS_RECORD*>(&results), nullptr);
    if (status == DNS_ERROR_RCODE_NAME_ERROR || status == DNS_INFO_NO_RECORDS) return DnsStatus::NoRecords;
    if (status != 0) return DnsStatus::Failed;
    for (PDNS_RECORDA r = results; r; r = r->pNext) {
        if (r->wType != DNS_TYPE_SRV || r->Flags.S.Section != DnsSectionAnswer) continue;
        SrvRecord record;
        record.target = r->Data.SRV.pNameTarget ? r->Data.SRV.pNameTarget : "";
        record.port = r->Data.SRV.wPort;
        record.priority = r->Data.SRV.wPriority;
        record.weight = r->Data.SRV.wWeight;
        records.push_back(record);
    }
    DnsRecordListFree(reinterpret_cast<PDNS_RECORD>(results), DnsFreeRecordList);
    return records.empty() ? DnsStatus::NoRecords : DnsStatus::Ok;
}

void fillRandom(void* buffer, std::size_t length) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        const ULONG n = length > 0x10000000 ? 0x10000000 : static_cast<ULONG>(length);
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, p, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            throw std::runtime_error("the system's random source failed");
        p += n;
        length -= n;
    }
}

void keepCodeLoaded() {
    // A pinned module stays loaded whatever FreeLibrary is called later.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&keepCodeLoaded), &self);
}

}  // namespace platform
}  // namespace tern

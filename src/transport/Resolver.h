// From a configured server name to a connected TCP socket: DNS SRV for the
// xmpp-client service (RFC 2782, RFC 6120), else the domain on port 5222.
#ifndef TERN_TRANSPORT_RESOLVER_H
#define TERN_TRANSPORT_RESOLVER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "transport/Platform.h"

namespace tern {

class LogExport;

struct ServiceHost {
    std::string host;
    int port = 0;
    int priority = 0;        // the SRV record's
    bool directTls = false;  // _xmpps-client (XEP-0368): TLS from the first byte
    bool operator==(const ServiceHost& o) const {
        return host == o.host && port == o.port && directTls == o.directTls;
    }
};
// Targets in the order they are to be tried.
using HostList = std::vector<ServiceHost>;

// Socket results: 0 or more is a connected socket.
constexpr platform::SocketHandle kSocketDnsError = -10;     // the name did not resolve
constexpr platform::SocketHandle kSocketRefused = -9;       // no address accepted
constexpr platform::SocketHandle kSocketCancelled = -18;    // aborted through the waker

struct ConnectOptions {
    int timeoutMs = 10000;               // per connection attempt
    platform::Waker* waker = nullptr;    // signalled: abort at once
    bool directTls = false;              // also try _xmpps-client targets
};

// Orders SRV records as RFC 2782 asks: ascending priority, weighted random
// order within one priority; targets of "." (service not offered) are left
// out, as are exact duplicates. randomBelow(n) returns 0..n-1.
HostList orderSrvRecords(std::vector<platform::SrvRecord> records,
                         const std::function<std::uint32_t(std::uint32_t)>& randomBelow);

// A signalled waker ends a lookup at once: the result is then empty and
// *cancelled (when given) is set.
HostList resolveService(const std::string& service, const std::string& protocol, const std::string& domain,
                        LogExport* log, platform::Waker* waker = nullptr, bool* cancelled = nullptr);
// The xmpp-client targets; with directTls also the xmpps-client ones
// (XEP-0368), merged by priority, direct TLS first on equal priority.
HostList resolveClientService(const std::string& domain, LogExport* log, bool directTls = false,
                              platform::Waker* waker = nullptr, bool* cancelled = nullptr);
// In-process answers for tests with a server of their own on a loopback
// port: while pinned, the domain's client service is that host and port,
// and DNS is not asked. The shared library does not export them.
void pinClientService(const std::string& domain, const std::string& host, int port);
void unpinClientService(const std::string& domain);
// Merges two ordered lists by priority; on equal priority the direct-TLS
// targets come first, each list keeping its own order.
HostList mergeClientTargets(const HostList& directTls, const HostList& startTls);
// At most the entry domain -> 5222, after the notice that no SRV record was found.
HostList defaultHostMap(const std::string& domain, LogExport* log);

// Tries the resolved targets in order; the first socket that connects wins
// (and is described in chosen, when given).
platform::SocketHandle connectResolved(const std::string& domain, LogExport* log,
                                       const ConnectOptions& options = ConnectOptions(),
                                       ServiceHost* chosen = nullptr);
// Tries every address of the host, IPv6 and IPv4, in turn. Name lookups,
// like connection attempts, end at once when the options' waker is signalled.
platform::SocketHandle connectTo(const std::string& host, unsigned short port,
                                 const ConnectOptions& options = ConnectOptions(), LogExport* log = nullptr);

}  // namespace tern

#endif

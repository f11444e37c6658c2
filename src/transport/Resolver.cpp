#include "transport/Resolver.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "client/LogExport.h"

namespace tern {

namespace {

void logIf(LogExport* log, int level, int area, const std::string& text) {
    if (log) log->log(level, area, text);
}

std::uint32_t threadRandomBelow(std::uint32_t n) {
    thread_local std::mt19937 rng = [] {
        std::uint32_t seed[4];
        platform::fillRandom(seed, sizeof seed);
        std::seed_seq seq(seed, seed + 4);
        return std::mt19937(seq);
    }();
    return n == 0 ? 0 : std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng);
}

bool isRootTarget(const std::string& t) { return t.empty() || t == "."; }

// Runs a blocking lookup (the system's resolver cannot be interrupted) on a
// thread of its own, so that the waker ends the wait at once: a session
// being stopped never waits for DNS. An abandoned lookup finishes by itself
// and its answer is dropped. False when the wait was ended.
template <typename Result, typename Lookup>
bool lookUp(Lookup lookup, platform::Waker* waker, Result& out) {
    if (!waker) {
        out = lookup();
        return true;
    }
    struct Shared {
        platform::Waker done;
        std::mutex mutex;
        Result result{};
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, lookup] {
        Result r = lookup();
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->result = std::move(r);
        }
        shared->done.signal();
    }).detach();
    if (platform::waitReadable(shared->done.handle(), -1, waker) == platform::WaitResult::Woken) return false;
    std::lock_guard<std::mutex> lock(shared->mutex);
    out = std::move(shared->result);
    return true;
}

}  // namespace

HostList orderSrvRecords(std::vector<platform::SrvRecord> records,
                         const std::function<std::uint32_t(std::uint32_t)>& randomBelow) {
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [](const platform::SrvRecord& r) { return isRootTarget(r.target); }),
                  records.end());
    std::stable_sort(records.begin(), records.end(),
                     [](const platform::SrvRecord& a, const platform::SrvRecord& b) { return a.priority < b.priority; });
    HostList out;
    auto add = [&out](const platform::SrvRecord& r) {
        ServiceHost h{r.target, r.port, r.priority};
        if (!h.host.empty() && h.host.back() == '.') h.host.pop_back();
        if (std::find(out.begin(), out.end(), h) == out.end()) out.push_back(h);
    };
    for (std::size_t begin = 0; begin < records.size();) {
        std::size_t end = begin;
        while (end < records.size() && records[end].priority == records[begin].priority) ++end;
        // Within one priority: zero weights first (in random order), then
        // pick by running sum against a random number in [0, total].
        std::vector<platform::SrvRecord> group(records.begin() + static_cast<long>(begin),
                                               records.begin() + static_cast<long>(end));
        std::stable_partition(group.begin(), group.end(), [](const platform::SrvRecord& r) { return r.weight == 0; });
        const auto zeros = static_cast<std::size_t>(
            std::count_if(group.begin(), group.end(), [](const platform::SrvRecord& r) { return r.weight == 0; }));
        for (std::size_t i = zeros; i > 1; --i) std::swap(group[i - 1], group[randomBelow(static_cast<std::uint32_t>(i))]);
        while (!group.empty()) {
            std::uint32_t total = 0;
            for (const auto& r : group) total += static_cast<std::uint32_t>(r.weight);
            const std::uint32_t pick = randomBelow(total + 1);
            std::uint32_t running = 0;
            std::size_t chosen = group.size() - 1;
            for (std::size_t i = 0; i < group.size(); ++i) {
                running += static_cast<std::uint32_t>(group[i].weight);
                if (running >= pick) {
                    chosen = i;
                    break;
                }
            }
            add(group[chosen]);
            group.erase(group.begin() + static_cast<long>(chosen));
        }
        begin = end;
    }
    return out;
}

HostList defaultHostMap(const std::string& domain, LogExport* log) {
    logIf(log, LogWarning, LogAreaDns, "notice: no SRV record found for " + domain + ", using default port.");
    HostList out;
    if (!domain.empty()) out.push_back({domain, 5222});
    return out;
}

namespace {
// The ordered targets of one SRV name; false when the name has none (or the
// lookup was cancelled, which *cancelled then says).
bool srvTargets(const std::string& name, LogExport* log, HostList& out, platform::Waker* waker, bool* cancelled) {
    using Answer = std::pair<platform::DnsStatus, std::vector<platform::SrvRecord>>;
    Answer answer;
    const bool done = lookUp(
        [name] {
            Answer a;
            a.first = platform::querySrv(name, a.second);
            return a;
        },
        waker, answer);
    if (!done && cancelled) *cancelled = true;
    std::vector<platform::SrvRecord>& records = answer.second;
    if (!done || answer.first != platform::DnsStatus::Ok || records.empty()) return false;
    out = orderSrvRecords(records, threadRandomBelow);
    std::string order;
    for (const ServiceHost& h : out) order += " " + h.host + ":" + std::to_string(h.port);
    if (!out.empty()) logIf(log, LogDebug, LogAreaDns, "SRV " + name + ":" + order);
    return true;
}
}  // namespace

HostList resolveService(const std::string& service, const std::string& protocol, const std::string& domain,
                        LogExport* log, platform::Waker* waker, bool* cancelled) {
    const std::string name = "_" + service + "._" + protocol + "." + domain;
    HostList hosts;
    bool stopped = false;
    if (domain.empty() || !srvTargets(name, log, hosts, waker, &stopped)) {
        if (cancelled) *cancelled = stopped;
        return stopped ? HostList() : defaultHostMap(domain, log);
    }
    // RFC 2782: a target of "." says the service is decidedly not offered.
    if (hosts.empty())
        logIf(log, LogWarning, LogAreaDns, "notice: " + name + " says the service is not offered at " + domain + ".");
    return hosts;
}

namespace {
std::mutex pinnedMutex;
std::map<std::string, ServiceHost> pinned;  // few, and only in tests
std::atomic<bool> anyPinned{false};

bool pinnedService(const std::string& domain, HostList& out) {
    if (!anyPinned.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> lock(pinnedMutex);
    const auto it = pinned.find(domain);
    if (it == pinned.end()) return false;
    out.push_back(it->second);
    return true;
}
}  // namespace

void pinClientService(const std::string& domain, const std::string& host, int port) {
    std::lock_guard<std::mutex> lock(pinnedMutex);
    ServiceHost target;
    target.host = host;
    target.port = port;
    pinned[domain] = target;
    anyPinned = true;
}

void unpinClientService(const std::string& domain) {
    std::lock_guard<std::mutex> lock(pinnedMutex);
    pinned.erase(domain);
    anyPinned = !pinned.empty();
}

HostList resolveClientService(const std::string& domain, LogExport* log, bool directTls, platform::Waker* waker,
                              bool* cancelled) {
    HostList tls;
    if (pinnedService(domain, tls)) return tls;
    bool stopped = false;
    // Without a direct-TLS record nothing changes.
    if (!directTls || domain.empty() || !srvTargets("_xmpps-client._tcp." + domain, log, tls, waker, &stopped)) {
        if (stopped) {
            if (cancelled) *cancelled = true;
            return HostList();
        }
        return resolveService("xmpp-client", "tcp", domain, log, waker, cancelled);
    }
    for (ServiceHost& h : tls) h.directTls = true;
    HostList plain;
    srvTargets("_xmpp-client._tcp." + domain, log, plain, waker, cancelled);
    return mergeClientTargets(tls, plain);
}

HostList mergeClientTargets(const HostList& directTls, const HostList& startTls) {
    HostList out(directTls);
    out.insert(out.end(), startTls.begin(), startTls.end());
    std::stable_sort(out.begin(), out.end(), [](const ServiceHost& a, const ServiceHost& b) {
        return a.priority != b.priority ? a.priority < b.priority : a.directTls && !b.directTls;
    });
    return out;
}

platform::SocketHandle connectTo(const std::string& host, unsigned short port, const ConnectOptions& options,
                                 LogExport* log) {
    std::vector<platform::NetAddress> addresses;
    if (!lookUp([host, port] { return platform::resolveHost(host, port); }, options.waker, addresses))
        return kSocketCancelled;
    if (addresses.empty()) return kSocketDnsError;
    for (const platform::NetAddress& a : addresses) {
        const platform::SocketHandle s = platform::openStreamSocket(a);
        if (s == platform::kInvalidSocket) continue;
        logIf(log, LogDebug, LogAreaConnection, "connecting to " + host + " at " + a.text);
        switch (platform::connectWithin(s, a, options.timeoutMs, options.waker)) {
            case platform::ConnectOutcome::Connected:
                return s;
            case platform::ConnectOutcome::Cancelled:
                platform::closeSocket(s);
                return kSocketCancelled;
            case platform::ConnectOutcome::TimedOut:
                logIf(log, LogWarning, LogAreaConnection,
                      a.text + " did not answer within " + std::to_string(options.timeoutMs) + " ms");
                break;
            case platform::ConnectOutcome::Refused:
                logIf(log, LogDebug, LogAreaConnection, a.text + " refused the connection");
                break;
        }
        platform::closeSocket(s);
    }
    return kSocketRefused;
}

platform::SocketHandle connectResolved(const std::string& domain, LogExport* log, const ConnectOptions& options,
                                       ServiceHost* chosen) {
    bool cancelled = false;
    const HostList hosts = resolveClientService(domain, log, options.directTls, options.waker, &cancelled);
    if (cancelled) return kSocketCancelled;
    if (hosts.empty()) return kSocketDnsError;
    for (const ServiceHost& h : hosts) {
        const platform::SocketHandle s =
            connectTo(h.host, static_cast<unsigned short>(h.port), options, log);
        if (s >= 0 && chosen) *chosen = h;
        if (s >= 0 || s == kSocketCancelled) return s;
    }
    return kSocketRefused;
}

}  // namespace tern

// The Windows layer on its own, under Wine: sockets with their wake-up,
// the balance of WSAStartup and WSACleanup, DnsQuery_A for SRV (inside the
// test network namespace), the text converters, the registration thread's
// handle and the random source.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "client/Client.h"
#include "host/RegistrationThread.h"
#include "host/TextCodec.h"
#include "support/Listener.h"
#include "transport/Platform.h"

using namespace tern;
using namespace tern::platform;

namespace {

// Gives back every outstanding WSAStartup and says how many there were
// (system DLLs may hold some of their own).
int releaseWinsock() {
    int n = 0;
    while (n < 100 && WSACleanup() == 0) ++n;
    return n;
}
void retakeWinsock(int n) {
    WSADATA d;
    while (n-- > 0) WSAStartup(MAKEWORD(2, 2), &d);
}

// A listening socket on loopback, with its own Winsock reference.
struct Listener {
    Listener() {
        WSADATA d;
        WSAStartup(MAKEWORD(2, 2), &d);
        s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(s, 4);
        int len = sizeof a;
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() {
        closesocket(s);
        WSACleanup();
    }
    SOCKET s;
    unsigned short port;
};

}  // namespace

TEST(PlatformWin32, ConnectExchangeAndCloseKeepWinsockBalanced) {
    const int held = releaseWinsock();
    {
        Listener server;
        const std::vector<NetAddress> addresses = resolveHost("127.0.0.1", server.port);
        ASSERT_EQ(addresses.size(), 1u);
        EXPECT_EQ(addresses[0].text, "127.0.0.1:" + std::to_string(server.port));
        Waker waker;
        const SocketHandle s = openStreamSocket(addresses[0]);
        ASSERT_NE(s, kInvalidSocket);
        EXPECT_EQ(connectWithin(s, addresses[0], 5000, &waker), ConnectOutcome::Connected);
        const SOCKET peer = ::accept(server.s, nullptr, nullptr);
        ASSERT_NE(peer, INVALID_SOCKET);

        EXPECT_EQ(sendSome(s, "hello", 5), 5);
        char buffer[16] = {};
        EXPECT_EQ(::recv(peer, buffer, sizeof buffer, 0), 5);
        EXPECT_EQ(receiveSome(s, buffer, sizeof buffer), kWouldBlock);
        EXPECT_EQ(waitReadable(s, 50000, &waker), WaitResult::Timeout);
        ::send(peer, "world", 5, 0);
        EXPECT_EQ(waitReadable(s, 5000000, &waker), WaitResult::Ready);
        EXPECT_EQ(receiveSome(s, buffer, sizeof buffer), 5);
        EXPECT_EQ(std::string(buffer, 5), "world");
        EXPECT_EQ(waitWritable(s, 1000000, &waker), WaitResult::Ready);

        // Another thread's signal ends a wait without limit at once.
        std::thread([&waker] {
            Sleep(50);
            waker.signal();
        }).detach();
        EXPECT_EQ(waitReadable(s, -1, &waker), WaitResult::Woken);
        waker.clear();
        EXPECT_EQ(waitReadable(s, 10000, &waker), WaitResult::Timeout);

        closesocket(peer);
        EXPECT_EQ(waitReadable(s, 5000000, &waker), WaitResult::Ready);
        EXPECT_EQ(receiveSome(s, buffer, sizeof buffer), 0);  // the peer closed
        closeSocket(s);
    }
    EXPECT_EQ(releaseWinsock(), 0);  // every user gave its reference back
    retakeWinsock(held);
}

TEST(PlatformWin32, RefusedAndCancelledConnections) {
    NetAddress closed;
    {
        Listener gone;
        closed = resolveHost("127.0.0.1", gone.port).at(0);
    }  // nothing listens there any more
    Waker waker;
    SocketHandle s = openStreamSocket(closed);
    EXPECT_EQ(connectWithin(s, closed, 5000, &waker), ConnectOutcome::Refused);
    closeSocket(s);

    waker.signal();  // a log-out that came first
    s = openStreamSocket(closed);
    const ConnectOutcome o = connectWithin(s, closed, 5000, &waker);
    EXPECT_TRUE(o == ConnectOutcome::Cancelled || o == ConnectOutcome::Refused);
    closeSocket(s);
}

TEST(PlatformWin32, SrvRecordsThroughDnsQuery) {
    if (!std::getenv("PARLEY_TESTENV")) GTEST_SKIP() << "needs scripts/testenv";
    std::vector<SrvRecord> records;
    ASSERT_EQ(querySrv("_xmpp-client._tcp.srv.test", records), DnsStatus::Ok);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].target, "host1.srv.test");
    EXPECT_EQ(records[0].port, 15222);
    records.clear();
    ASSERT_EQ(querySrv("_xmpp-client._tcp.twosrv.test", records), DnsStatus::Ok);
    ASSERT_EQ(records.size(), 2u);
    records.clear();
    EXPECT_EQ(querySrv("_xmpp-client._tcp.nosrv.test", records), DnsStatus::NoRecords);
    EXPECT_EQ(querySrv("_xmpp-client._tcp.nowhere.test", records), DnsStatus::NoRecords);
    EXPECT_EQ(resolveHost("example.test", 5222).at(0).text, "127.0.0.1:5222");
}

TEST(PlatformWin32, TextConversionReplacesWhatIsIllFormed) {
    EXPECT_EQ(utf8ToUtf16("gr\xc3\xbc\xc3\x9f" "e \xf0\x9f\x8e\xac"), u"grüße 🎬");
    EXPECT_EQ(utf8ToUtf16("a\xff" "b"), u"a\uFFFDb");
    EXPECT_EQ(utf16ToUtf8(u"\U0001F37F"), "\xf0\x9f\x8d\xbf");
    EXPECT_EQ(utf16ToUtf8(std::u16string(u"x") + char16_t(0xD800) + u"y"), "x\xef\xbf\xbdy");
    EXPECT_EQ(utf8ToUtf16(""), u"");
}

TEST(PlatformWin32, TheRegistrationHandleIsAThreadHandle) {
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    void* handle = startRegistrationThread([go] { WaitForSingleObject(go, 10000); });
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(waitRegistrationThread(handle, 20), 0);  // still running
    EXPECT_EQ(WaitForSingleObject(static_cast<HANDLE>(handle), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(static_cast<HANDLE>(handle), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(waitRegistrationThread(handle, 0), 1);  // and closes it
    CloseHandle(go);
}

TEST(PlatformWin32, RandomBytes) {
    unsigned char a[32] = {}, b[32] = {};
    fillRandom(a, sizeof a);
    fillRandom(b, sizeof b);
    EXPECT_NE(std::string(reinterpret_cast<char*>(a), 32), std::string(reinterpret_cast<char*>(b), 32));
}

namespace {
// The test environment's Unix path as Wine's Windows path (drive Z: is /).
std::string windowsPath(const char* unixPath) {
    std::string out = "Z:";
    for (const char* p = unixPath; *p; ++p) out += *p == '/' ? '\\' : *p;
    return out;
}

// Logs in to domain over STARTTLS until the listener has seen the
// certificate and the stream has ended or is connected.
testsupport::RecordingListener& loginOverTls(const std::string& domain, testsupport::RecordingListener& listener) {
    Client client(JID("nobody@" + domain + "/win"), "pw", -1);
    client.setCACerts({windowsPath(std::getenv("PARLEY_TEST_CA"))});
    listener.requireValidCertificate = true;
    client.addNetworkListener(&listener);
    if (client.connect(false))
        for (int i = 0; i < 100 && !listener.has("connected") && client.receive(100000) == NoError; ++i) {
        }
    client.disconnect();
    return listener;
}
}  // namespace

TEST(SChannel, CertificateInformationAndVerdicts) {
    if (!std::getenv("PARLEY_TESTENV")) GTEST_SKIP() << "needs scripts/testenv";
    testsupport::RecordingListener good;
    loginOverTls("tls.test", good);
    ASSERT_TRUE(good.has("tls")) << good.joined();
    const CertificateInfo& info = good.certificate;
    EXPECT_TRUE(info.chainValid);
    EXPECT_EQ(info.subject, "O=Parley Tests, CN=tls.test");
    EXPECT_EQ(info.issuer, "O=Parley Tests, CN=Parley Test CA");
    EXPECT_TRUE(info.protocol == "TLSv1.2" || info.protocol == "TLSv1.3") << info.protocol;
    EXPECT_FALSE(info.cipher.empty());
    EXPECT_GT(info.validTo, info.validFrom);
    EXPECT_GT(info.validFrom, 1700000000);
    // On to authentication, which fails for the account that is not there.
    EXPECT_TRUE(good.has("event:3")) << good.joined();

    for (const char* domain : {"wrongname.test", "expired.test", "selfsigned.test", "untrusted.test", "forged.test"}) {
        testsupport::RecordingListener bad;
        loginOverTls(domain, bad);
        EXPECT_TRUE(bad.has("tls")) << domain << ": " << bad.joined();
        EXPECT_FALSE(bad.certificate.chainValid) << domain;
        EXPECT_EQ(bad.disconnects, std::vector<ConnectionError>{TlsFailed}) << domain;
    }
}

// What the system's SChannel gives for channel binding: the version, and
// tls-unique and the exporter where it gives them (printed: under Wine
// this is how one finds out). A login that uses them is in HostWin32Test.
TEST(SChannel, WhatTheSystemGivesForChannelBinding) {
    if (!std::getenv("PARLEY_TESTENV")) GTEST_SKIP() << "needs scripts/testenv";
    struct Probe : testsupport::RecordingListener {
        Client* client = nullptr;
        int version = 0;
        std::string unique, exporter;
        bool handleTlsConnected(const CertificateInfo& info) override {
            TLSBase* tls = client->encryptionImpl();
            version = tls->protocolVersion();
            unique = tls->channelBinding(ChannelBindingType::TlsUnique);
            exporter = tls->channelBinding(ChannelBindingType::TlsExporter);
            return RecordingListener::handleTlsConnected(info);
        }
    };
    for (const char* domain : {"tls12.test", "tls.test"}) {
        Client client(JID(std::string("nobody@") + domain + "/win"), "pw", -1);
        Probe probe;
        probe.client = &client;
        client.setCACerts({windowsPath(std::getenv("PARLEY_TEST_CA"))});
        client.addNetworkListener(&probe);
        if (client.connect(false))
            for (int i = 0; i < 100 && !probe.has("tls") && client.receive(100000) == NoError; ++i) {
            }
        client.disconnect();
        std::printf("%s: TLS 0x%04x, tls-unique %zu bytes, tls-exporter %zu bytes\n", domain,
                    static_cast<unsigned>(probe.version), probe.unique.size(), probe.exporter.size());
        ASSERT_TRUE(probe.has("tls")) << domain;
        EXPECT_TRUE(probe.version == kTls12 || probe.version == kTls13) << probe.version;
        if (probe.version == kTls12 && !probe.unique.empty()) {
            EXPECT_EQ(probe.unique.size(), 12u);
        }
        if (!probe.exporter.empty()) {
            EXPECT_EQ(probe.exporter.size(), 32u);
        }
    }
}

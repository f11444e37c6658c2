// A Windows host: parley.dll loaded with LoadLibraryW, every function found
// with GetProcAddress, and live sessions against the test environment's
// Prosody (under Wine, inside the test network namespace): registration,
// login, room messages, moderation and log-out, over plain TCP and over
// STARTTLS with SChannel, and a certificate that must be refused.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "support/HostRecorder.h"

using testsupport::HostRecorder;
using testsupport::toUtf8;

namespace {

struct Api {
    HMODULE dll = nullptr;
    decltype(&SetLogin) login = nullptr;
    decltype(&SetRegistration) registration = nullptr;
    decltype(&SetChatMessage) chat = nullptr;
    decltype(&SetNickName) nickname = nullptr;
    decltype(&SetSubject) subject = nullptr;
    decltype(&SetKick) kick = nullptr;
    decltype(&SetBan) ban = nullptr;
    decltype(&SetModerator) moderator = nullptr;
    decltype(&SetCancel) cancel = nullptr;
    decltype(&SetWriteBlock) writeBlock = nullptr;
    decltype(&IsOwner) isOwner = nullptr;
    decltype(&IsModerator) isModerator = nullptr;
    decltype(&IsWriteBlock) isWriteBlock = nullptr;
    decltype(&IsConflictNickName) isConflict = nullptr;
    decltype(&GetUserTotalCount) count = nullptr;
    decltype(&GetRoominfo) roomInfo = nullptr;
    decltype(&GetLogOut) logout = nullptr;
    decltype(&LibDelete) release = nullptr;
    decltype(&WaitRegistration) waitRegistration = nullptr;
    decltype(&SetLogCallback) logCallback = nullptr;
    decltype(&SetTrustedCAFile) trustedCa = nullptr;
    decltype(&SetInsecureAcceptAnyCertificate) insecure = nullptr;
    decltype(&SetEncryptionPolicy) encryptionPolicy = nullptr;
    const char* (*version)() = nullptr;

    Api() {
        dll = LoadLibraryW(L"parley.dll");
        if (!dll) return;
        find(login, "SetLogin");
        find(registration, "SetRegistration");
        find(chat, "SetChatMessage");
        find(nickname, "SetNickName");
        find(subject, "SetSubject");
        find(kick, "SetKick");
        find(ban, "SetBan");
        find(moderator, "SetModerator");
        find(cancel, "SetCancel");
        find(writeBlock, "SetWriteBlock");
        find(isOwner, "IsOwner");
        find(isModerator, "IsModerator");
        find(isWriteBlock, "IsWriteBlock");
        find(isConflict, "IsConflictNickName");
        find(count, "GetUserTotalCount");
        find(roomInfo, "GetRoominfo");
        find(logout, "GetLogOut");
        find(release, "LibDelete");
        find(waitRegistration, "WaitRegistration");
        find(logCallback, "SetLogCallback");
        find(trustedCa, "SetTrustedCAFile");
        find(insecure, "SetInsecureAcceptAnyCertificate");
        find(encryptionPolicy, "SetEncryptionPolicy");
        find(version, "XMPP_version");
    }
    template <typename F>
    void find(F& f, const char* name) {
        f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
        if (!f) missing += std::string(missing.empty() ? "" : " ") + name;
    }
    std::string missing;
};

Api& api() {
    static Api a;
    return a;
}

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string unique(const char* prefix) {
    return prefix + std::to_string(GetCurrentProcessId()) + "x" + std::to_string(GetTickCount() % 100000);
}

// The test environment's Unix path as Wine's Windows path (drive Z: is /).
std::u16string windowsPath(const char* unixPath) {
    std::u16string out = u"Z:";
    for (const char* p = unixPath; *p; ++p) out += *p == '/' ? u'\\' : static_cast<char16_t>(*p);
    return out;
}

#define REQUIRE_LIVE()                                                                          \
    do {                                                                                        \
        if (!std::getenv("PARLEY_TESTENV")) GTEST_SKIP() << "needs scripts/testenv";          \
        ASSERT_NE(api().dll, nullptr) << "parley.dll did not load";                              \
    } while (0)

struct Host {
    std::u16string user, nick, id;
    HostRecorder events;
    void* session = nullptr;
    // User names in lower case: the server's addresses come back that way.
    Host(const std::string& name, const std::string& user, const std::string& identifier)
        : user(u16(unique(user.c_str()))), nick(u16(name + identifier + ":us")), id(u16(identifier)) {}
};

// A 36-character occupant identifier.
std::string identifier(char fill) {
    std::string id = unique("id");
    while (id.size() < 36) id += fill;
    return id.substr(0, 36);
}

void registerBoth(const std::u16string& domain, Host& a, Host& b) {
    HostRecorder reg;
    // One handle waited on the Windows way, one through WaitRegistration.
    void* h = api().registration(W(domain), W(a.user), L"pw", &reg, &HostRecorder::callback);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(WaitForSingleObject(static_cast<HANDLE>(h), 20000), WAIT_OBJECT_0);
    CloseHandle(static_cast<HANDLE>(h));
    h = api().registration(W(domain), W(b.user), L"pw", &reg, &HostRecorder::callback);
    ASSERT_EQ(api().waitRegistration(h, 20000), 1);
    EXPECT_EQ(reg.codes(), "11056 11056");
}

// Register, log in, talk, moderate and log out on one domain.
void fullSession(const std::u16string& domain) {
    Host owner("Owner", "owner", identifier('0')), guest("Guest", "guest", identifier('1'));
    registerBoth(domain, owner, guest);
    const std::u16string room = u16(std::to_string(4000 + GetCurrentProcessId() % 5000));
    owner.session = api().login(W(owner.user), L"pw", W(room), W(owner.nick), W(domain), L"win", &owner.events,
                                &HostRecorder::callback);
    ASSERT_TRUE(owner.events.waitForCode(PARLEY_EVENT_OCCUPANT_PRESENT, 20000)) << owner.events.codes();
    guest.session = api().login(W(guest.user), L"pw", W(room), W(guest.nick), W(domain), L"win", &guest.events,
                                &HostRecorder::callback);
    ASSERT_TRUE(guest.events.waitForCode(PARLEY_EVENT_OCCUPANT_PRESENT, 20000)) << guest.events.codes();
    const std::string guestPresence =
        "ID=" + toUtf8(guest.user) + "_tok_NICKNAME=" + toUtf8(guest.nick) + "_tok_NEWNICKNAME=";
    ASSERT_TRUE(owner.events.waitForText(PARLEY_EVENT_OCCUPANT_PRESENT, guestPresence, 20000));
    EXPECT_TRUE(api().isOwner(owner.session, W(owner.id)));
    EXPECT_EQ(api().count(owner.session), 2);

    api().chat(owner.session, W(u"Grüße aus Windows 🎬"));
    EXPECT_TRUE(guest.events.waitForText(PARLEY_EVENT_CHAT_MESSAGE,
                                         "NICKNAME=" + toUtf8(owner.nick) + "_tok_Grüße aus Windows 🎬"));
    api().chat(guest.session, W(u"<tc>play</tc>"));
    EXPECT_TRUE(owner.events.waitForText(PARLEY_EVENT_TAGGED_MESSAGE, "<tc>play</tc>"));

    api().writeBlock(owner.session, W(guest.id));
    EXPECT_TRUE(guest.events.waitForText(PARLEY_EVENT_ROLE_VISITOR, guestPresence));
    EXPECT_TRUE(api().isWriteBlock(owner.session, W(guest.id)));
    api().cancel(owner.session, W(guest.id));
    EXPECT_TRUE(guest.events.waitForText(PARLEY_EVENT_VOICE_GRANTED, guestPresence));

    api().logout(guest.session);
    EXPECT_NE(guest.events.codes().find("21041"), std::string::npos);
    EXPECT_TRUE(owner.events.waitForCode(PARLEY_EVENT_OCCUPANT_LEFT));
    api().logout(owner.session);
}

}  // namespace

TEST(HostWin32, EveryFunctionIsExportedUnderItsPlainName) {
    ASSERT_NE(api().dll, nullptr) << "parley.dll did not load: " << GetLastError();
    EXPECT_EQ(api().missing, "");
    EXPECT_STREQ(api().version(), "1.0.0000a");
    // Null sessions are harmless.
    api().chat(nullptr, L"x");
    EXPECT_EQ(api().count(nullptr), 0);
    EXPECT_EQ(api().waitRegistration(nullptr, 0), 0);
}

TEST(HostWin32, PlainTcpSession) {
    REQUIRE_LIVE();
    api().encryptionPolicy(PARLEY_ENCRYPTION_ALLOW_PLAINTEXT);  // registration sends the password as it is
    fullSession(u"example.test");
}

TEST(HostWin32, StartTlsSessionWithSChannel) {
    REQUIRE_LIVE();
    const char* ca = std::getenv("PARLEY_TEST_CA");
    ASSERT_NE(ca, nullptr);
    api().trustedCa(W(windowsPath(ca)));
    fullSession(u"tls.test");
}

TEST(HostWin32, CertificatesThatDoNotVerifyAreRefused) {
    REQUIRE_LIVE();
    const char* ca = std::getenv("PARLEY_TEST_CA");
    ASSERT_NE(ca, nullptr);
    api().trustedCa(W(windowsPath(ca)));
    for (const char16_t* domain : {u"wrongname.test", u"expired.test", u"selfsigned.test", u"untrusted.test", u"forged.test"}) {
        HostRecorder events;
        void* s = api().login(L"nobody", L"pw", L"1", L"n", W(domain), L"win", &events, &HostRecorder::callback);
        EXPECT_TRUE(events.waitForCode(PARLEY_EVENT_DISCONNECTED + PARLEY_REASON_TLS_FAILED, 20000))
            << toUtf8(domain) << ": " << events.codes();
        api().release(s);
    }
}

TEST(HostWin32, TheHostsOwnAuthority) {
    REQUIRE_LIVE();
    const char* dir = std::getenv("PARLEY_TESTENV_DIR");
    ASSERT_NE(dir, nullptr);
    api().trustedCa(W(windowsPath((std::string(dir) + "/certs/other-ca.pem").c_str())));
    HostRecorder events;
    void* s = api().login(L"nobody", L"pw", L"1", L"n", L"untrusted.test", L"win", &events, &HostRecorder::callback);
    // Past TLS, on to authentication, which fails for the missing account.
    EXPECT_TRUE(events.waitForCode(PARLEY_EVENT_DISCONNECTED + PARLEY_REASON_AUTHENTICATION_FAILED, 20000))
        << events.codes();
    api().release(s);
    api().trustedCa(nullptr);
}

namespace {
// The mechanism a session's log shows it authenticating with.
struct MechanismLog {
    std::mutex mutex;
    std::string mechanism;
    static void PARLEY_CALL line(void* c, int32_t, int32_t, const TextBuffer* text) {
        const std::string s = toUtf8(std::u16string(reinterpret_cast<const char16_t*>(text->text),
                                                    static_cast<std::size_t>(text->length)));
        const std::size_t at = s.find(" mechanism='");
        if (s.rfind("<auth", 0) != 0 || at == std::string::npos) return;
        auto* self = static_cast<MechanismLog*>(c);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->mechanism = s.substr(at + 12, s.find('\'', at + 12) - at - 12);
    }
};
}  // namespace

// Into a room over STARTTLS with what SChannel can bind: -PLUS on TLS 1.2
// against Prosody (tls12.test) where the system gives tls-unique, else
// SCRAM unbound; a wrong binding would fail the login.
TEST(HostWin32, BoundLoginWhereSChannelCanBind) {
    REQUIRE_LIVE();
    const char* ca = std::getenv("PARLEY_TEST_CA");
    ASSERT_NE(ca, nullptr);
    api().trustedCa(W(windowsPath(ca)));
    for (const char16_t* domain : {u"tls12.test", u"tls.test"}) {
        Host host("Bound", "bound", identifier('2'));
        HostRecorder reg;
        void* h = api().registration(W(domain), W(host.user), L"pw", &reg, &HostRecorder::callback);
        ASSERT_EQ(api().waitRegistration(h, 20000), 1);
        ASSERT_EQ(reg.codes(), "11056");
        MechanismLog log;
        api().logCallback(&MechanismLog::line, &log, 0);
        host.session = api().login(W(host.user), L"pw", W(u16(unique("r"))), W(host.nick), W(domain), L"win",
                                   &host.events, &HostRecorder::callback);
        EXPECT_TRUE(host.events.waitForCode(PARLEY_EVENT_OCCUPANT_PRESENT, 20000)) << host.events.codes();
        api().logout(host.session);
        api().logCallback(nullptr, nullptr, 0);
        std::lock_guard<std::mutex> lock(log.mutex);
        std::printf("%s: %s\n", toUtf8(domain).c_str(), log.mechanism.c_str());
        EXPECT_EQ(log.mechanism.rfind("SCRAM-SHA-", 0), 0u) << log.mechanism;
    }
}

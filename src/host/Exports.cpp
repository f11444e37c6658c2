// The host interface: flat C functions over an opaque session pointer.
// A null session does nothing and answers 0 or false.
#include <memory>

#include "host/CParley.h"
#include "host/HostLog.h"
#include "host/RegistrationThread.h"
#include "host/TextCodec.h"
#include "host/TrustSettings.h"
#include "parley.h"

using tern::CParley;

namespace {

// ParleyChar is char16_t, or the 16-bit wchar_t of Windows.
const char16_t* u16(const ParleyChar* s) { return reinterpret_cast<const char16_t*>(s); }
std::u16string text(const ParleyChar* s) { return s ? std::u16string(u16(s)) : std::u16string(); }
CParley* session(void* p) { return static_cast<CParley*>(p); }

}  // namespace

extern "C" {

// No C++ exception may reach the host: a session that cannot be made
// (no memory, no thread) is null.
PARLEY_API void* SetLogin(const ParleyChar* user, const ParleyChar* password, const ParleyChar* room,
                          const ParleyChar* nickname, const ParleyChar* server, const ParleyChar* resource,
                          void* context, HostCallback callback) {
    std::unique_ptr<CParley> s;
    try {
        s = std::make_unique<CParley>(context, callback);
        s->login(text(user), text(password), text(room), text(nickname), text(server), text(resource));
    } catch (...) {
        return nullptr;  // the thread did not start: nothing else holds the session
    }
    return s.release();
}

PARLEY_API void* SetRegistration(const ParleyChar* server, const ParleyChar* user, const ParleyChar* password,
                                 void* context, HostCallback callback) {
    std::unique_ptr<CParley> s;
    void* handle = nullptr;
    try {
        s = std::make_unique<CParley>(context, callback);
        handle = s->startRegistration(text(server), text(user), text(password));
    } catch (...) {
        return nullptr;
    }
    if (handle) s.release();  // the registration thread owns it now
    return handle;
}

PARLEY_API int32_t SetChatMessage(void* s, const ParleyChar* t) { return s && session(s)->sendChat(u16(t)); }
PARLEY_API int32_t SetNickName(void* s, const ParleyChar* t) { return s && session(s)->changeNickname(u16(t)); }
PARLEY_API int32_t SetSubject(void* s, const ParleyChar* t) { return s && session(s)->changeSubject(u16(t)); }
PARLEY_API int32_t SetKick(void* s, const ParleyChar* id) { return s && session(s)->kick(u16(id)); }
PARLEY_API int32_t SetBan(void* s, const ParleyChar* id) { return s && session(s)->ban(u16(id)); }
PARLEY_API int32_t SetModerator(void* s, const ParleyChar* id) { return s && session(s)->makeModerator(u16(id)); }
PARLEY_API int32_t SetCancel(void* s, const ParleyChar* id) { return s && session(s)->cancelRole(u16(id)); }
PARLEY_API int32_t SetWriteBlock(void* s, const ParleyChar* id) { return s && session(s)->blockWriting(u16(id)); }
PARLEY_API uint8_t IsOwner(void* s, const ParleyChar* id) { return s && session(s)->isOwner(u16(id)); }
PARLEY_API uint8_t IsModerator(void* s, const ParleyChar* id) { return s && session(s)->isModerator(u16(id)); }
PARLEY_API uint8_t IsWriteBlock(void* s, const ParleyChar* id) { return s && session(s)->isWriteBlocked(u16(id)); }
PARLEY_API uint8_t IsConflictNickName(void* s, const ParleyChar* id) {
    return s && session(s)->isNicknameTaken(u16(id));
}
PARLEY_API int32_t GetUserTotalCount(void* s) { return s ? session(s)->memberCount() : 0; }
PARLEY_API int32_t GetRoominfo(void* s) { return s && session(s)->destroyRoom(); }
PARLEY_API void GetLogOut(void* s) {
    if (s && session(s)->logout()) delete session(s);
}
PARLEY_API void LibDelete(void* s) {
    if (s && session(s)->stopForRelease()) delete session(s);
}
PARLEY_API int32_t WaitRegistration(void* handle, int32_t timeoutMs) {
    return tern::waitRegistrationThread(handle, timeoutMs);
}
PARLEY_API void SetLogCallback(ParleyLogCallback callback, void* context, int32_t minLevel) {
    tern::HostLog::instance().setCallback(callback, context, minLevel);
}

PARLEY_API void SetTrustedCAFile(const ParleyChar* path) {
    tern::TrustSettings::instance().setTrustedCaFile(tern::utf16ToUtf8(text(path)));
}

PARLEY_API void SetInsecureAcceptAnyCertificate(uint8_t accept) {
    tern::TrustSettings::instance().setAcceptAnyCertificate(accept != 0);
}

PARLEY_API void SetEncryptionPolicy(int32_t policy) { tern::TrustSettings::instance().setEncryptionPolicy(policy); }

}  // extern "C"

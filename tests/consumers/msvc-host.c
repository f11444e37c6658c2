/* A Visual C++ host's view of the zip: compiled for i686-pc-windows-msvc with
   stdcall as its default convention (cl /Gz), linked by lld-link with
   /safeseh against lib/parley.lib and nothing else (no C runtime). Every
   function of parley.h is referenced, so the link resolves each of them, and
   the callbacks are given with the header's types: without PARLEY_CALL the
   build would fail. Run, it calls into parley.dll and exits 0. */
#include <parley.h>

static int32_t PARLEY_CALL on_event(void* context, int32_t code, int32_t arg3, int32_t arg4, const TextBuffer* text) {
    (void)context;
    (void)code;
    (void)arg3;
    (void)arg4;
    (void)text;
    return 0;
}

static void PARLEY_CALL on_log(void* context, int32_t level, int32_t area, const TextBuffer* line) {
    (void)context;
    (void)level;
    (void)area;
    (void)line;
}

/* Every export of the C interface, as the linker must resolve it. */
static const void* const functions[] = {
    (const void*)SetLogin,        (const void*)SetRegistration,
    (const void*)SetChatMessage,  (const void*)SetNickName,
    (const void*)SetSubject,      (const void*)SetKick,
    (const void*)SetBan,          (const void*)SetModerator,
    (const void*)SetCancel,       (const void*)SetWriteBlock,
    (const void*)IsOwner,         (const void*)IsModerator,
    (const void*)IsWriteBlock,    (const void*)IsConflictNickName,
    (const void*)GetUserTotalCount, (const void*)GetRoominfo,
    (const void*)GetLogOut,       (const void*)LibDelete,
    (const void*)WaitRegistration, (const void*)SetLogCallback,
    (const void*)SetTrustedCAFile, (const void*)SetInsecureAcceptAnyCertificate,
    (const void*)SetEncryptionPolicy, (const void*)XMPP_version,
};

/* The process entry point (no C runtime): 0 when the library answers. */
int __stdcall start(void* peb) {
    unsigned i;
    HostCallback callback = on_event; /* the header's type, or the compiler objects */
    (void)peb;
    if (!callback) return 2;
    for (i = 0; i < sizeof functions / sizeof functions[0]; ++i) {
        if (!functions[i]) return 1;
    }
    SetLogCallback(on_log, 0, 2);
    SetLogCallback(0, 0, 2);
    /* A null session: nothing is started, but each call crosses into the DLL. */
    if (GetUserTotalCount(0) != 0 || IsOwner(0, 0) != 0 || WaitRegistration(0, 0) != 0) return 3;
    if (!XMPP_version() || XMPP_version()[0] != '1') return 4;
    return 0;
}

/* The host interface as a host sees it: written in C, it loads the shared
   library with dlopen, looks every function up by name, checks the null
   handling and, inside the test environment, registers an account, logs in
   to the room, talks and logs out. Prints "N passed, N failed". */
#define _GNU_SOURCE 1 /* dladdr */
#include <dlfcn.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "parley.h"

static int passed, failed;
#define CHECK(cond)                                                 \
    do {                                                            \
        if (cond) {                                                 \
            ++passed;                                               \
        } else {                                                    \
            ++failed;                                               \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
        }                                                           \
    } while (0)

typedef void* (*SetLoginFn)(const ParleyChar*, const ParleyChar*, const ParleyChar*, const ParleyChar*,
                            const ParleyChar*, const ParleyChar*, void*, HostCallback);
typedef void* (*SetRegistrationFn)(const ParleyChar*, const ParleyChar*, const ParleyChar*, void*, HostCallback);
typedef int32_t (*TextFn)(void*, const ParleyChar*);
typedef uint8_t (*QueryFn)(void*, const ParleyChar*);
typedef int32_t (*CountFn)(void*);
typedef void (*SessionFn)(void*);
typedef int32_t (*WaitFn)(void*, int32_t);
typedef void (*LogFn)(ParleyLogCallback, void*, int32_t);
typedef void (*PolicyFn)(int32_t);

struct Api {
    SetLoginFn SetLogin;
    SetRegistrationFn SetRegistration;
    TextFn SetChatMessage, SetNickName, SetSubject, SetKick, SetBan, SetModerator, SetCancel, SetWriteBlock;
    QueryFn IsOwner, IsModerator, IsWriteBlock, IsConflictNickName;
    CountFn GetUserTotalCount, GetRoominfo;
    SessionFn GetLogOut, LibDelete;
    WaitFn WaitRegistration;
    LogFn SetLogCallback;
    PolicyFn SetEncryptionPolicy;
};

/* Events seen, for the live part. */
struct Seen {
    atomic_int connected, registered, chat, disconnected, presences;
    pthread_t logoutThread;
    atomic_int disconnectedOnLogoutThread;
};

static int32_t onEvent(void* context, int32_t code, int32_t arg3, int32_t arg4, const TextBuffer* text) {
    struct Seen* seen = context;
    (void)arg3;
    (void)arg4;
    if (code == PARLEY_EVENT_CONNECTED) atomic_store(&seen->connected, 1);
    if (code == PARLEY_EVENT_REGISTERED) atomic_store(&seen->registered, 1);
    if (code == PARLEY_EVENT_PRESENCE) atomic_fetch_add(&seen->presences, 1);
    if (code == PARLEY_EVENT_CHAT_MESSAGE && text && text->length > 0) atomic_store(&seen->chat, 1);
    if (code == PARLEY_EVENT_DISCONNECTED + PARLEY_REASON_USER_DISCONNECTED) {
        atomic_store(&seen->disconnected, 1);
        if (pthread_equal(pthread_self(), seen->logoutThread)) atomic_store(&seen->disconnectedOnLogoutThread, 1);
    }
    return 0;
}

static int waitFlag(atomic_int* flag, int ms) {
    for (int i = 0; i < ms / 10 && !atomic_load(flag); ++i) usleep(10000);
    return atomic_load(flag);
}

/* ASCII to UTF-16, into a static buffer per slot. */
static const ParleyChar* W(int slot, const char* s) {
    static ParleyChar buffers[8][128];
    size_t i = 0;
    for (; s[i] && i < 127; ++i) buffers[slot][i] = (ParleyChar)(unsigned char)s[i];
    buffers[slot][i] = 0;
    return buffers[slot];
}

static int lookUp(void* lib, struct Api* api) {
#define LOOK(name)                                            \
    do {                                                      \
        *(void**)(&api->name) = dlsym(lib, #name);            \
        CHECK(api->name != NULL);                             \
        if (!api->name) return 0;                             \
    } while (0)
    LOOK(SetLogin);
    LOOK(SetRegistration);
    LOOK(SetChatMessage);
    LOOK(SetNickName);
    LOOK(SetSubject);
    LOOK(SetKick);
    LOOK(SetBan);
    LOOK(SetModerator);
    LOOK(SetCancel);
    LOOK(SetWriteBlock);
    LOOK(IsOwner);
    LOOK(IsModerator);
    LOOK(IsWriteBlock);
    LOOK(IsConflictNickName);
    LOOK(GetUserTotalCount);
    LOOK(GetRoominfo);
    LOOK(GetLogOut);
    LOOK(LibDelete);
    LOOK(WaitRegistration);
    LOOK(SetEncryptionPolicy);
    LOOK(SetLogCallback);
#undef LOOK
    return 1;
}

static void nullHandling(const struct Api* api) {
    const ParleyChar* x = W(0, "x");
    CHECK(api->SetChatMessage(NULL, x) == 0);
    CHECK(api->SetNickName(NULL, x) == 0);
    CHECK(api->SetSubject(NULL, x) == 0);
    CHECK(api->SetKick(NULL, x) == 0);
    CHECK(api->SetBan(NULL, x) == 0);
    CHECK(api->SetModerator(NULL, x) == 0);
    CHECK(api->SetCancel(NULL, x) == 0);
    CHECK(api->SetWriteBlock(NULL, x) == 0);
    CHECK(api->IsOwner(NULL, x) == 0);
    CHECK(api->IsModerator(NULL, x) == 0);
    CHECK(api->IsWriteBlock(NULL, x) == 0);
    CHECK(api->IsConflictNickName(NULL, x) == 0);
    CHECK(api->GetUserTotalCount(NULL) == 0);
    CHECK(api->GetRoominfo(NULL) == 0);
    api->GetLogOut(NULL);
    api->LibDelete(NULL);
    CHECK(api->WaitRegistration(NULL, 0) == 0);
}

static void live(const struct Api* api) {
    char user[64];
    snprintf(user, sizeof user, "chost%ld", (long)getpid());
    /* example.test is plain TCP: registration sends the password as it is. */
    api->SetEncryptionPolicy(PARLEY_ENCRYPTION_ALLOW_PLAINTEXT);
    struct Seen reg;
    memset(&reg, 0, sizeof reg);
    void* handle = api->SetRegistration(W(0, "example.test"), W(1, user), W(2, "secret"), &reg, onEvent);
    CHECK(handle != NULL);
    CHECK(api->WaitRegistration(handle, 15000) == 1);
    CHECK(atomic_load(&reg.registered) == 1);

    struct Seen seen;
    memset(&seen, 0, sizeof seen);
    char nick[80];
    snprintf(nick, sizeof nick, "CHost%s:us", "0123abcd-0000-1111-2222-333344445555");
    void* session = api->SetLogin(W(0, user), W(1, "secret"), W(2, "c4711"), W(3, nick), W(4, "example.test"),
                                  W(5, "c"), &seen, onEvent);
    CHECK(session != NULL);
    CHECK(waitFlag(&seen.connected, 15000));
    CHECK(waitFlag(&seen.presences, 15000));
    for (int i = 0; i < 100 && api->GetUserTotalCount(session) < 1; ++i) usleep(20000);
    CHECK(api->GetUserTotalCount(session) == 1);
    CHECK(api->IsOwner(session, W(0, "0123abcd-0000-1111-2222-333344445555")) == 1);
    CHECK(api->IsModerator(session, W(0, "0123abcd-0000-1111-2222-333344445555")) == 1);
    api->SetSubject(session, W(0, "from C"));
    api->SetChatMessage(session, W(0, "hello from C"));
    usleep(100000);
    seen.logoutThread = pthread_self();
    api->GetLogOut(session);
    CHECK(atomic_load(&seen.disconnected) == 1);
    CHECK(atomic_load(&seen.disconnectedOnLogoutThread) == 1);
}

int main(void) {
    void* lib = dlopen(PARLEY_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    CHECK(lib != NULL);
    if (!lib) {
        fprintf(stderr, "%s\n", dlerror());
        printf("%d passed, %d failed\n", passed, failed);
        return 1;
    }
    struct Api api;
    if (lookUp(lib, &api)) {
        nullHandling(&api);
        if (getenv("PARLEY_TESTENV")) live(&api);
    }
    dlclose(lib);
    /* A session's close may still be lingering on a thread of the library's
       own: its code must stay mapped after the host lets go of it. */
    Dl_info still;
    if (getenv("PARLEY_TESTENV")) CHECK(dladdr((void*)api.GetLogOut, &still) != 0);
    printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}

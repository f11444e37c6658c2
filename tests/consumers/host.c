/* A host built the way a user of the installed library builds one: through
   pkg-config on Linux, against the zip's parley.lib on Windows. It registers
   an account, logs in over STARTTLS with the given authority, joins a room,
   says hello and logs out.
     consumer-host SERVER USER PASSWORD ROOM CA-FILE
   Exit 0 when its own arrival in the room was reported. */
#ifndef _WIN32
#define _POSIX_C_SOURCE 200809L /* nanosleep under -std=c11 */
#endif
#include <parley.h>

#include <stdatomic.h>
#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
static void pause_ms(int ms) { Sleep((DWORD)ms); }
#else
#include <time.h>
static void pause_ms(int ms) {
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}
#endif

static atomic_int registered, in_room, ended;

/* The arguments are ASCII: widening each byte is the UTF-16 form. */
static const ParleyChar* widen(const char* s, ParleyChar* out, size_t size) {
    size_t i = 0;
    for (; s[i] && i + 1 < size; ++i) out[i] = (ParleyChar)(unsigned char)s[i];
    out[i] = 0;
    return out;
}

static int32_t on_event(void* context, int32_t code, int32_t room, int32_t tc, const TextBuffer* text) {
    (void)context;
    (void)tc;
    printf("event %d room %d%s\n", (int)code, (int)room, text ? " (text)" : "");
    fflush(stdout);
    if (code == PARLEY_EVENT_REGISTERED || code == PARLEY_EVENT_REGISTRATION_CONFLICT) atomic_store(&registered, 1);
    if (code == PARLEY_EVENT_OCCUPANT_PRESENT) atomic_store(&in_room, 1);
    if (code >= PARLEY_EVENT_DISCONNECTED && code <= PARLEY_EVENT_DISCONNECTED + 18) atomic_store(&ended, code);
    return 0;
}

int main(int argc, char** argv) {
    ParleyChar server[128], user[128], password[128], room[128], nick[128], resource[16], ca[512];
    void* handle;
    void* session;
    int waited;
    if (argc != 6) {
        fprintf(stderr, "usage: %s SERVER USER PASSWORD ROOM CA-FILE\n", argv[0]);
        return 2;
    }
    SetTrustedCAFile(widen(argv[5], ca, sizeof ca / sizeof ca[0]));
    widen(argv[1], server, 128);
    widen(argv[2], user, 128);
    widen(argv[3], password, 128);
    handle = SetRegistration(server, user, password, NULL, on_event);
    if (!handle || !WaitRegistration(handle, 30000) || !atomic_load(&registered)) {
        fprintf(stderr, "registration failed\n");
        return 1;
    }
    session = SetLogin(user, password, widen(argv[4], room, 128), widen(argv[2], nick, 128), server,
                       widen("consumer", resource, 16), NULL, on_event);
    if (!session) return 1;
    for (waited = 0; waited < 30000 && !atomic_load(&in_room) && !atomic_load(&ended); waited += 50) pause_ms(50);
    if (atomic_load(&in_room)) SetChatMessage(session, widen("hello from an installed copy", ca, 64));
    GetLogOut(session);
    printf("%s\n", atomic_load(&in_room) ? "joined the room" : "did not join the room");
    return atomic_load(&in_room) ? 0 : 1;
}

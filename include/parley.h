/*
 * Parley: chat rooms for a host program, over XMPP.
 *
 * The host logs a user in and joins one multi-user chat room (SetLogin), or
 * registers an account (SetRegistration). Everything that happens comes back
 * through one callback, as numbered events (PARLEY_EVENT_*): when each
 * comes, its text's fields and what every code means are in docs/events.md
 * (events.md in the Windows zip). Strings are zero-terminated UTF-16 in both
 * directions; texts handed to the callback are not terminated and are valid
 * only during the call. In the host's strings, each character XML cannot
 * carry (C0 controls other than tab, line feed and carriage return; U+FFFE,
 * U+FFFF; unpaired surrogates) is sent as U+FFFD.
 *
 * Threads: the callback runs on the session's own thread, except for
 * GetLogOut, which raises on the calling thread before it returns the
 * PARLEY_EVENT_NOT_SENT of what it could not send, then event 21041
 * (PARLEY_EVENT_DISCONNECTED + 17). The functions may be called from any
 * thread while events arrive. GetLogOut may also be called from inside the
 * session's own callback: it logs out at once, and the session is released
 * when the callback returns.
 */
#ifndef PARLEY_H
#define PARLEY_H

#include <stddef.h>
#include <stdint.h>

#include "parley_export.h"

/* Every function and callback here uses the C calling convention, stated so
   that a host compiled with another default (Visual C++ /Gz or /Gr) still
   calls them, and is called, correctly. Only 32-bit Windows has a choice. */
#if defined(_WIN32) && (defined(_M_IX86) || defined(__i386__))
#define PARLEY_CALL __cdecl
#else
#define PARLEY_CALL
#endif

#if defined(_WIN32)
typedef wchar_t ParleyChar;  /* UTF-16 on Windows */
#elif defined(__cplusplus)
typedef char16_t ParleyChar;
#else
#include <uchar.h>
typedef char16_t ParleyChar;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A text handed to the callback: length in UTF-16 code units, then the text. */
typedef struct TextBuffer {
    int32_t length;
    const ParleyChar* text;
} TextBuffer;

/* context: the host's value given to SetLogin / SetRegistration.
   code: the event; arg3: the room number or 0; arg4: 0 unless the event
   gives it a meaning (the item's "tc" value for PARLEY_EVENT_PRESENCE, and
   others below); text: null for events without text.
   The result is ignored. */
typedef int32_t(PARLEY_CALL* HostCallback)(void* context, int32_t code, int32_t arg3, int32_t arg4,
                                           const TextBuffer* text);

/* Event codes. */
enum {
    PARLEY_EVENT_CONNECTED = 11025,
    PARLEY_EVENT_DISCONNECTED = 21024, /* + the reason, 0..18 */
    PARLEY_EVENT_REGISTERED = 11056,
    PARLEY_EVENT_REGISTRATION_CONFLICT = 11055,
    /* An occupant's presence (arg4 the item's "tc"); the presence event
       that may follow carries the text "ID=" user "_tok_NICKNAME=" nickname
       "_tok_NEWNICKNAME=" new nickname, where user is the user part of the
       occupant's real address, empty when the room hides it (a
       semi-anonymous room); ours is always given. Occupants are listed
       (and named by identifier) up to 10000, besides ourselves; later ones
       raise only this event. */
    PARLEY_EVENT_PRESENCE = 31028,
    PARLEY_EVENT_OCCUPANT_PRESENT = 11027,
    PARLEY_EVENT_ROLE_NONE = 11036,
    PARLEY_EVENT_ROLE_VISITOR = 11037,
    PARLEY_EVENT_ROLE_MODERATOR = 11039,
    PARLEY_EVENT_MODERATOR_REVOKED = 11040,
    PARLEY_EVENT_VOICE_GRANTED = 11041,
    PARLEY_EVENT_OCCUPANT_LISTED = 11054,
    PARLEY_EVENT_OCCUPANT_LEFT = 11028,
    PARLEY_EVENT_NICK_CHANGED = 11042,
    PARLEY_EVENT_KICKED = 11043,
    PARLEY_EVENT_BANNED = 11044,
    PARLEY_EVENT_ROOM_DESTROYED = 11045,
    PARLEY_EVENT_AFFILIATION_CHANGED = 11046,
    PARLEY_EVENT_CHAT_MESSAGE = 11029,
    PARLEY_EVENT_TAGGED_MESSAGE = 31027,
    PARLEY_EVENT_CONTROL_MESSAGE = 31025,
    PARLEY_EVENT_SUBJECT = 11047,
    PARLEY_EVENT_ROOM_INFO = 31026,
    PARLEY_EVENT_ROOM_ERROR_FIRST = 11048, /* room errors: 11048..11076 */
    PARLEY_EVENT_ROOM_ERROR_LAST = 11076,
    /* Something the host asked for never reached the room: arg4 says what
       (PARLEY_NOT_SENT_*), the text is what the host gave (the message,
       subject, nickname or occupant identifier; none for a destruction). */
    PARLEY_EVENT_NOT_SENT = 11077,
    /* The connection was lost and the session is being recovered by itself
       (reconnected and resumed, or made afresh across a server restart):
       what the host sends meanwhile waits. arg4 is the loss's reason.
       PARLEY_EVENT_CONNECTION_RESTORED follows when it is back; if it
       cannot be, PARLEY_EVENT_DISCONNECTED + the first reason. Neither
       comes before PARLEY_EVENT_CONNECTED. */
    PARLEY_EVENT_CONNECTION_INTERRUPTED = 11078,
    PARLEY_EVENT_CONNECTION_RESTORED = 11079,
    /* A message from the room itself, not from an occupant (a notice such
       as "This room is locked", or the room's name): the text is the body
       as sent, arg3 the room number. */
    PARLEY_EVENT_ROOM_NOTICE = 11080,
    /* Occupants' nicknames may show any identifier, also one another
       occupant shows. Raised after the presence event of an occupant whose
       arrival or departure changed how many carry its identifier, when
       that is two or more, or back to one: arg4 how many carry it now, the
       text the identifier (36 units). While two or more carry it, the
       identifier names nobody: IsOwner, IsModerator and IsWriteBlock
       answer 0 and the five moderation calls send nothing and return 0;
       IsConflictNickName answers 1 (it is in use). */
    PARLEY_EVENT_IDENTIFIER_SHARED = 11081
};

/* arg4 of PARLEY_EVENT_OCCUPANT_LEFT: not 0 only for our own departure
   when the room ended us (another occupant may show our identifier in its
   nickname: only this tells), and why. */
enum {
    PARLEY_DEPARTURE_KICKED = 1,
    PARLEY_DEPARTURE_BANNED = 2,
    PARLEY_DEPARTURE_AFFILIATION = 3, /* our affiliation was taken away */
    PARLEY_DEPARTURE_DESTROYED = 4,   /* the room was destroyed */
    PARLEY_DEPARTURE_REMOVED = 5      /* any other removal (no reason given) */
};

/* arg4 of PARLEY_EVENT_NOT_SENT: the call whose request did not go out. */
enum {
    PARLEY_NOT_SENT_MESSAGE = 1,     /* SetChatMessage */
    PARLEY_NOT_SENT_SUBJECT = 2,     /* SetSubject */
    PARLEY_NOT_SENT_NICKNAME = 3,    /* SetNickName */
    PARLEY_NOT_SENT_MODERATION = 4,  /* SetKick, SetBan, SetModerator, SetCancel, SetWriteBlock */
    PARLEY_NOT_SENT_DESTRUCTION = 5  /* GetRoominfo */
};

/* Disconnect reasons (PARLEY_EVENT_DISCONNECTED + reason). */
enum {
    PARLEY_REASON_NONE = 0,
    PARLEY_REASON_STREAM_ERROR = 1,
    PARLEY_REASON_STREAM_VERSION = 2,
    PARLEY_REASON_STREAM_CLOSED = 3,
    PARLEY_REASON_IO_ERROR = 7,
    PARLEY_REASON_XML_PARSE_ERROR = 8,
    PARLEY_REASON_CONNECTION_REFUSED = 9,
    PARLEY_REASON_DNS_ERROR = 10,
    PARLEY_REASON_NO_SUPPORTED_AUTH = 12,
    PARLEY_REASON_TLS_FAILED = 13,
    PARLEY_REASON_TLS_NOT_AVAILABLE = 14,
    PARLEY_REASON_COMPRESSION_FAILED = 15,
    PARLEY_REASON_AUTHENTICATION_FAILED = 16,
    PARLEY_REASON_USER_DISCONNECTED = 17,
    PARLEY_REASON_NOT_CONNECTED = 18
};

/* Logs in as user@server/resource and, once connected, joins the room
   room@conference.server/nickname. Returns the session at once (null when
   it cannot be made); everything else arrives as events. */
PARLEY_API void* PARLEY_CALL SetLogin(const ParleyChar* user, const ParleyChar* password, const ParleyChar* room,
                                      const ParleyChar* nickname, const ParleyChar* server,
                                      const ParleyChar* resource, void* context, HostCallback callback);

/* Registers user on server in band, on a thread of its own; reports
   PARLEY_EVENT_REGISTERED or PARLEY_EVENT_REGISTRATION_CONFLICT. Returns
   the registration thread's handle, not a session: on Windows a thread
   HANDLE to wait on and close; everywhere, WaitRegistration waits for it and
   releases it. Null when the registration cannot be started. */
PARLEY_API void* PARLEY_CALL SetRegistration(const ParleyChar* server, const ParleyChar* user,
                                             const ParleyChar* password, void* context, HostCallback callback);

/* The room's commands never wait on the network: each is queued for the
   session's thread, which sends it once the room can take it (after the
   join, after a reconnection, in the order given), and returns at once.
   1: taken; it goes out, or PARLEY_EVENT_NOT_SENT says later that it could
   not. 0: not taken (a null session or text, no room, the room session
   over, or PARLEY_QUEUE_LIMIT requests waiting already). */
#define PARLEY_QUEUE_LIMIT 1000
PARLEY_API int32_t PARLEY_CALL SetChatMessage(void* session, const ParleyChar* text);
PARLEY_API int32_t PARLEY_CALL SetNickName(void* session, const ParleyChar* nickname);
PARLEY_API int32_t PARLEY_CALL SetSubject(void* session, const ParleyChar* subject);

/* Moderation by occupant identifier (the 36 characters before the tag at
   the end of every nickname); an identifier not in the member list, or
   carried by more than one occupant (PARLEY_EVENT_IDENTIFIER_SHARED), does
   nothing (0). */
PARLEY_API int32_t PARLEY_CALL SetKick(void* session, const ParleyChar* identifier);      /* role none */
PARLEY_API int32_t PARLEY_CALL SetBan(void* session, const ParleyChar* identifier);       /* affiliation outcast */
PARLEY_API int32_t PARLEY_CALL SetModerator(void* session, const ParleyChar* identifier); /* role moderator */
PARLEY_API int32_t PARLEY_CALL SetCancel(void* session, const ParleyChar* identifier);    /* role participant */
PARLEY_API int32_t PARLEY_CALL SetWriteBlock(void* session, const ParleyChar* identifier); /* role visitor */

PARLEY_API uint8_t PARLEY_CALL IsOwner(void* session, const ParleyChar* identifier);
PARLEY_API uint8_t PARLEY_CALL IsModerator(void* session, const ParleyChar* identifier);
PARLEY_API uint8_t PARLEY_CALL IsWriteBlock(void* session, const ParleyChar* identifier);
PARLEY_API uint8_t PARLEY_CALL IsConflictNickName(void* session, const ParleyChar* identifier);
PARLEY_API int32_t PARLEY_CALL GetUserTotalCount(void* session);

/* Asks the room to destroy itself (the session must own it); queued like
   the commands above. */
PARLEY_API int32_t PARLEY_CALL GetRoominfo(void* session);

/* Logs out (leaves the room, disconnects: 21041 on this thread) and
   releases the session. On any thread but the session's own it first
   wakes that thread and waits for it to stop, so that no event comes from
   it once GetLogOut has returned: at once when it is idle or still
   connecting, else when the callback it is in (event or log) returns.
   LibDelete waits so too (see SetLogCallback). Then the leave and the end
   of the stream are written, each write waiting at most the keep-alive
   timeout (30 s unless PARLEY_KEEPALIVE says otherwise) for a server that
   takes nothing. From inside the session's own callback it waits for
   nothing. */
PARLEY_API void PARLEY_CALL GetLogOut(void* session);

/* Releases the session without logging out (its thread is stopped first). */
PARLEY_API void PARLEY_CALL LibDelete(void* session);

/* Waits up to timeoutMs (-1: without limit) for a registration started by
   SetRegistration to end. Returns 1 when it has ended, and then releases
   the handle (call it once more and the handle is invalid); 0 when it is
   still running. On Windows the handle may be used with
   WaitForSingleObject/CloseHandle instead. */
PARLEY_API int32_t PARLEY_CALL WaitRegistration(void* handle, int32_t timeoutMs);

/* Log lines of every session at minLevel or above (0 debug, 1 warning,
   2 error) go to callback until it is replaced; a null callback stops them.
   The callback runs on the library's threads, several at once.
   SetLogCallback returns once every call to the callback it replaces has
   returned, so that the old context may be freed then (it holds no lock of
   the library while it waits); the callback must therefore never wait for
   a thread that may be calling SetLogCallback. GetLogOut and LibDelete
   wait for the session's thread: a log callback that calls them for a
   session whose own callback may call SetLogCallback can wait for ever
   (on the session's own thread they do not wait). Called from inside the
   callback, it returns at once without waiting (calls on other threads may
   still be running).
   Credentials never appear in log lines. PARLEY_LOG=debug|warning|error in
   the environment also sends them to standard error. */
typedef void(PARLEY_CALL* ParleyLogCallback)(void* context, int32_t level, int32_t area, const TextBuffer* line);
PARLEY_API void PARLEY_CALL SetLogCallback(ParleyLogCallback callback, void* context, int32_t minLevel);

/* Server certificates. The server's certificate must verify against the
   system's trust store (plus SSL_CERT_FILE / SSL_CERT_DIR when set) and name
   the server's domain, or the session ends with PARLEY_EVENT_DISCONNECTED +
   PARLEY_REASON_TLS_FAILED. SetTrustedCAFile adds the host's own
   certificate authorities: a PEM file, or a folder of hashed PEM files.
   Null or empty forgets it. Applies to sessions started afterwards. */
PARLEY_API void PARLEY_CALL SetTrustedCAFile(const ParleyChar* path);

/* FOR TESTING ONLY. 1 accepts every server certificate, however it fails to
   verify, so that anyone in the path can read the password; 0 (the
   default) verifies. Applies to sessions started afterwards. */
PARLEY_API void PARLEY_CALL SetInsecureAcceptAnyCertificate(uint8_t accept);

/* What may travel without TLS, for sessions and registrations started
   afterwards. PROTECT_PASSWORD (the default) sends the password itself
   (PLAIN, legacy plaintext authentication, registration) only over TLS:
   where nothing else is possible a login ends with
   PARLEY_EVENT_DISCONNECTED + PARLEY_REASON_NO_SUPPORTED_AUTH and a
   registration with + PARLEY_REASON_TLS_NOT_AVAILABLE, before the password
   is sent. REQUIRED sends no credential at all without TLS (+
   PARLEY_REASON_TLS_NOT_AVAILABLE when the server offers none).
   ALLOW_PLAINTEXT lets anyone in the path read the password. Other values
   are ignored. */
enum {
    PARLEY_ENCRYPTION_ALLOW_PLAINTEXT = 0,
    PARLEY_ENCRYPTION_PROTECT_PASSWORD = 1,
    PARLEY_ENCRYPTION_REQUIRED = 2
};
PARLEY_API void PARLEY_CALL SetEncryptionPolicy(int32_t policy);

/* The library's version text, valid as long as the library is loaded; the
   same pointer on every call. */
PARLEY_API const char* PARLEY_CALL XMPP_version(void);

#ifdef __cplusplus
}
#endif

#endif

// The protocol vocabulary the library exports: namespaces, stream version and
// the library's own version. Every part that builds or recognises a
// namespaced element uses these instead of repeating the literal.
#ifndef TERN_STANZA_CONSTANTS_H
#define TERN_STANZA_CONSTANTS_H

#include <string>

#include "parley_export.h"

// X(name, value) for every exported string constant, in definition order.
#define TERN_STRING_CONSTANTS(X)                                                          \
    X(XMPP_VERSION, "1.0.0000a")                                                          \
    X(XMPP_STREAM_VERSION_MAJOR, "1")                                                     \
    X(XMPP_STREAM_VERSION_MINOR, "0")                                                     \
    X(XMPP_XMLNS_CLIENT, "jabber:client")                                                 \
    X(XMPP_XMLNS_SERVICEDISCOVERY_INFO, "http://jabber.org/protocol/disco#info")          \
    X(XMPP_XMLNS_SERVICEDISCOVERY_ITEMS, "http://jabber.org/protocol/disco#items")        \
    X(XMPP_XMLNS_COMPRESSION, "http://jabber.org/protocol/compress")                      \
    X(XMPP_XMLNS_OFFLINE, "http://jabber.org/protocol/offline")                           \
    X(XMPP_XMLNS_CHAT_STATES, "http://jabber.org/protocol/chatstates")                    \
    X(XMPP_XMLNS_AMP, "http://jabber.org/protocol/amp")                                   \
    X(XMPP_XMLNS_IBB, "http://jabber.org/protocol/ibb")                                   \
    X(XMPP_XMLNS_FEATURE_NEG, "http://jabber.org/protocol/feature-neg")                   \
    X(XMPP_XMLNS_CHATNEG, "http://jabber.org/protocol/chatneg")                           \
    X(XMPP_XMLNS_XHTML_IM, "http://jabber.org/protocol/xhtml-im")                         \
    X(XMPP_XMLNS_DELAY, "urn:xmpp:delay")                                                 \
    X(XMPP_XMLNS_XMPP_PING, "urn:xmpp:ping")                                              \
    X(XMPP_XMLNS_ROSTER, "jabber:iq:roster")                                              \
    X(XMPP_XMLNS_VERSION, "jabber:iq:version")                                            \
    X(XMPP_XMLNS_REGISTER, "jabber:iq:register")                                          \
    X(XMPP_XMLNS_PRIVACY, "jabber:iq:privacy")                                            \
    X(XMPP_XMLNS_AUTH, "jabber:iq:auth")                                                  \
    X(XMPP_XMLNS_PRIVATE_XML, "jabber:iq:private")                                        \
    X(XMPP_XMLNS_LAST, "jabber:iq:last")                                                  \
    X(XMPP_XMLNS_IQ_OOB, "jabber:iq:oob")                                                 \
    X(XMPP_XMLNS_X_DATA, "jabber:x:data")                                                 \
    X(XMPP_XMLNS_X_EVENT, "jabber:x:event")                                               \
    X(XMPP_XMLNS_X_OOB, "jabber:x:oob")                                                   \
    X(XMPP_XMLNS_X_DELAY, "jabber:x:delay")                                               \
    X(XMPP_XMLNS_X_TAGSIGNED, "jabber:x:signed")                                          \
    X(XMPP_XMLNS_X_TAGENCRYPTED, "jabber:x:encrypted")                                    \
    X(XMPP_XMLNS_ROSTER_DELIMITER, "roster:delimiter")                                    \
    X(XMPP_XMLNS_SI, "http://jabber.org/protocol/si")                                     \
    X(XMPP_XMLNS_SI_FT, "http://jabber.org/protocol/si/profile/file-transfer")            \
    X(XMPP_XMLNS_BYTESTREAMS, "http://jabber.org/protocol/bytestreams")                   \
    X(XMPP_XMLNS_MUC, "http://jabber.org/protocol/muc")                                   \
    X(XMPP_XMLNS_MUC_USER, "http://jabber.org/protocol/muc#user")                         \
    X(XMPP_XMLNS_MUC_ADMIN, "http://jabber.org/protocol/muc#admin")                       \
    X(XMPP_XMLNS_MUC_UNIQUE, "http://jabber.org/protocol/muc#unique")                     \
    X(XMPP_XMLNS_MUC_OWNER, "http://jabber.org/protocol/muc#owner")                       \
    X(XMPP_XMLNS_MUC_ROOMINFO, "http://jabber.org/protocol/muc#roominfo")                 \
    X(XMPP_XMLNS_MUC_ROOMS, "http://jabber.org/protocol/muc#rooms")                       \
    X(XMPP_XMLNS_MUC_REQUEST, "http://jabber.org/protocol/muc#request")                   \
    X(XMPP_XMLNS_XMPP_STREAM, "urn:ietf:params:xml:ns:xmpp-streams")                      \
    X(XMPP_XMLNS_XMPP_STANZAS, "urn:ietf:params:xml:ns:xmpp-stanzas")                     \
    X(XMPP_XMLNS_STREAM_TLS, "urn:ietf:params:xml:ns:xmpp-tls")                           \
    X(XMPP_XMLNS_STREAM_SASL, "urn:ietf:params:xml:ns:xmpp-sasl")                         \
    X(XMPP_XMLNS_STREAM_BIND, "urn:ietf:params:xml:ns:xmpp-bind")                         \
    X(XMPP_XMLNS_STREAM_SESSION, "urn:ietf:params:xml:ns:xmpp-session")                   \
    X(XMPP_XMLNS_STREAM_IQAUTH, "http://jabber.org/features/iq-auth")                     \
    X(XMPP_XMLNS_STREAM_IQREGISTER, "http://jabber.org/features/iq-register")             \
    X(XMPP_XMLNS_STREAM_COMPRESS, "http://jabber.org/features/compress")

namespace tern {

#define TERN_DECLARE_CONSTANT(name, value) extern PARLEY_API const std::string name;
TERN_STRING_CONSTANTS(TERN_DECLARE_CONSTANT)
#undef TERN_DECLARE_CONSTANT

// The namespace of the "stream:" prefix (RFC 3920); not exported.
extern const std::string XMPP_XMLNS_STREAMS;

// The library's version text, valid as long as the library is loaded; the
// same pointer on every call.
extern "C" PARLEY_API const char* XMPP_version(void);

}  // namespace tern

#endif

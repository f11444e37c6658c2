#include <gtest/gtest.h>

#ifndef _WIN32
#include <dlfcn.h>
#endif

#include <cstring>

#include "stanza/Constants.h"

using namespace tern;

TEST(Constants, VersionAndStreamVersion) {
    EXPECT_STREQ(XMPP_version(), "1.0.0000a");
    EXPECT_EQ(XMPP_version(), XMPP_version());
    EXPECT_EQ(XMPP_VERSION, "1.0.0000a");
    EXPECT_EQ(XMPP_STREAM_VERSION_MAJOR + "." + XMPP_STREAM_VERSION_MINOR, "1.0");
}

TEST(Constants, NamespacesAreTheStandardsOwn) {
    // Written out independently of the definitions, from the RFCs and XEPs.
    const std::pair<const std::string*, const char*> expected[] = {
        {&XMPP_XMLNS_CLIENT, "jabber:client"},
        {&XMPP_XMLNS_SERVICEDISCOVERY_INFO, "http://jabber.org/protocol/disco#info"},
        {&XMPP_XMLNS_SERVICEDISCOVERY_ITEMS, "http://jabber.org/protocol/disco#items"},
        {&XMPP_XMLNS_COMPRESSION, "http://jabber.org/protocol/compress"},
        {&XMPP_XMLNS_OFFLINE, "http://jabber.org/protocol/offline"},
        {&XMPP_XMLNS_CHAT_STATES, "http://jabber.org/protocol/chatstates"},
        {&XMPP_XMLNS_AMP, "http://jabber.org/protocol/amp"},
        {&XMPP_XMLNS_IBB, "http://jabber.org/protocol/ibb"},
        {&XMPP_XMLNS_FEATURE_NEG, "http://jabber.org/protocol/feature-neg"},
        {&XMPP_XMLNS_CHATNEG, "http://jabber.org/protocol/chatneg"},
        {&XMPP_XMLNS_XHTML_IM, "http://jabber.org/protocol/xhtml-im"},
        {&XMPP_XMLNS_DELAY, "urn:xmpp:delay"},
        {&XMPP_XMLNS_XMPP_PING, "urn:xmpp:ping"},
        {&XMPP_XMLNS_ROSTER, "jabber:iq:roster"},
        {&XMPP_XMLNS_VERSION, "jabber:iq:version"},
        {&XMPP_XMLNS_REGISTER, "jabber:iq:register"},
        {&XMPP_XMLNS_PRIVACY, "jabber:iq:privacy"},
        {&XMPP_XMLNS_AUTH, "jabber:iq:auth"},
        {&XMPP_XMLNS_PRIVATE_XML, "jabber:iq:private"},
        {&XMPP_XMLNS_LAST, "jabber:iq:last"},
        {&XMPP_XMLNS_IQ_OOB, "jabber:iq:oob"},
        {&XMPP_XMLNS_X_DATA, "jabber:x:data"},
        {&XMPP_XMLNS_X_EVENT, "jabber:x:event"},
        {&XMPP_XMLNS_X_OOB, "jabber:x:oob"},
        {&XMPP_XMLNS_X_DELAY, "jabber:x:delay"},
        {&XMPP_XMLNS_X_TAGSIGNED, "jabber:x:signed"},
        {&XMPP_XMLNS_X_TAGENCRYPTED, "jabber:x:encrypted"},
        {&XMPP_XMLNS_ROSTER_DELIMITER, "roster:delimiter"},
        {&XMPP_XMLNS_SI, "http://jabber.org/protocol/si"},
        {&XMPP_XMLNS_SI_FT, "http://jabber.org/protocol/si/profile/file-transfer"},
        {&XMPP_XMLNS_BYTESTREAMS, "http://jabber.org/protocol/bytestreams"},
        {&XMPP_XMLNS_MUC, "http://jabber.org/protocol/muc"},
        {&XMPP_XMLNS_MUC_USER, "http://jabber.org/protocol/muc#user"},
        {&XMPP_XMLNS_MUC_ADMIN, "http://jabber.org/protocol/muc#admin"},
        {&XMPP_XMLNS_MUC_UNIQUE, "http://jabber.org/protocol/muc#unique"},
        {&XMPP_XMLNS_MUC_OWNER, "http://jabber.org/protocol/muc#owner"},
        {&XMPP_XMLNS_MUC_ROOMINFO, "http://jabber.org/protocol/muc#roominfo"},
        {&XMPP_XMLNS_MUC_ROOMS, "http://jabber.org/protocol/muc#rooms"},
        {&XMPP_XMLNS_MUC_REQUEST, "http://jabber.org/protocol/muc#request"},
        {&XMPP_XMLNS_XMPP_STREAM, "urn:ietf:params:xml:ns:xmpp-streams"},
        {&XMPP_XMLNS_XMPP_STANZAS, "urn:ietf:params:xml:ns:xmpp-stanzas"},
        {&XMPP_XMLNS_STREAM_TLS, "urn:ietf:params:xml:ns:xmpp-tls"},
        {&XMPP_XMLNS_STREAM_SASL, "urn:ietf:params:xml:ns:xmpp-sasl"},
        {&XMPP_XMLNS_STREAM_BIND, "urn:ietf:params:xml:ns:xmpp-bind"},
        {&XMPP_XMLNS_STREAM_SESSION, "urn:ietf:params:xml:ns:xmpp-session"},
        {&XMPP_XMLNS_STREAM_IQAUTH, "http://jabber.org/features/iq-auth"},
        {&XMPP_XMLNS_STREAM_IQREGISTER, "http://jabber.org/features/iq-register"},
        {&XMPP_XMLNS_STREAM_COMPRESS, "http://jabber.org/features/compress"},
    };
    for (const auto& e : expected) EXPECT_EQ(*e.first, e.second);
}

#ifndef _WIN32
// The DLL's export table is checked by tests/support/check_dll.sh.
TEST(Constants, SharedLibraryExportsThem) {
    void* lib = dlopen(PARLEY_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    using VersionFn = const char* (*)();
    auto version = reinterpret_cast<VersionFn>(dlsym(lib, "XMPP_version"));
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(version(), "1.0.0000a");
    // A C++ constant by its mangled name (std::string carries the cxx11 tag).
    auto* client = static_cast<const std::string*>(dlsym(lib, "_ZN4tern17XMPP_XMLNS_CLIENTB5cxx11E"));
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(*client, "jabber:client");
    EXPECT_EQ(dlsym(lib, "_ZN4tern6escapeXmlB5cxx11ESt17basic_string_viewIcSt11char_traitsIcEE"), nullptr);
    dlclose(lib);
}
#endif

// A Client wired to a FakeConnection and a recording listener, with helpers
// for the server's side of a negotiation.
#ifndef PARLEY_TESTS_SUPPORT_FAKESESSION_H
#define PARLEY_TESTS_SUPPORT_FAKESESSION_H

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "client/Client.h"
#include "client/StreamManagement.h"
#include "support/FakeConnection.h"
#include "support/Listener.h"

namespace testsupport {

inline std::string serverHeader(const std::string& id = "s1", const std::string& version = "1.0") {
    return "<?xml version='1.0'?><stream:stream xmlns='jabber:client' xmlns:stream='http://etherx.jabber.org/streams' "
           "id='" + id + "' from='example.test'" + (version.empty() ? std::string() : " version='" + version + "'") + ">";
}

// The id of the last iq in what was sent whose payload has this namespace
// (or a part of it); empty when there is none.
inline std::string idOf(const std::string& sent, const std::string& ns) {
    const std::size_t payload = sent.rfind(ns);
    const std::size_t iq = payload == std::string::npos ? payload : sent.rfind("<iq ", payload);
    const std::size_t at = iq == std::string::npos ? iq : sent.find(" id='", iq);
    if (at == std::string::npos || at > payload) return std::string();
    return sent.substr(at + 5, sent.find('\'', at + 5) - at - 5);
}

inline std::string features(const std::string& inner) { return "<stream:features>" + inner + "</stream:features>"; }

inline std::string mechanisms(std::initializer_list<const char*> names) {
    std::string out = "<mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>";
    for (const char* n : names) out += std::string("<mechanism>") + n + "</mechanism>";
    return out + "</mechanisms>";
}

const char* const kBindAndSession =
    "<bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/><session xmlns='urn:ietf:params:xml:ns:xmpp-session'/>";

struct FakeSession {
    explicit FakeSession(const std::string& jid = "user@example.test/res", const std::string& password = "secret")
        : client(std::make_unique<tern::Client>(tern::JID(jid), password, 5222)) {
        wire();
    }
    explicit FakeSession(std::unique_ptr<tern::Client> c) : client(std::move(c)) { wire(); }

    // Connects and returns what the client sent (the stream header).
    std::string open() {
        client->connect(false);
        return fake->takeSent();
    }
    void says(const std::string& xml) { fake->serverSays(xml); }
    std::string sent() { return fake->takeSent(); }

    // Takes a fresh client through a PLAIN login to the connected state;
    // managed: with stream management enabled and resumable (id sm-1).
    void login(bool managed = false) {
        open();
        authenticate(managed);
        says("<iq type='result' id='" + idOf(sent(), "xmpp-bind") +
             "'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><jid>" + client->jid().bare() + "/res</jid></bind></iq>");
        if (managed) says("<enabled xmlns='urn:xmpp:sm:3' id='sm-1' resume='true'/>");
        says("<iq type='result' id='" + idOf(sent(), "xmpp-session") + "'/>");
        says("<iq type='result' id='" + idOf(sent(), "jabber:iq:roster") + "'><query xmlns='jabber:iq:roster'/></iq>");
        sent();
    }
    // The managed connection drops; the client reconnects after pauseMs and
    // resumes, the server saying it had h of its stanzas. Returns what was
    // sent again.
    std::string dropAndResume(unsigned h, int pauseMs = 1) {
        client->streamManagement()->setFirstPause(pauseMs);
        fake->serverCloses();
        for (int i = 0; i < 1500 && fake->connects < 2; ++i) {
            client->receive(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        authenticate(true);
        sent();
        says("<resumed xmlns='urn:xmpp:sm:3' h='" + std::to_string(h) + "' previd='sm-1'/>");
        return sent();
    }

    std::unique_ptr<tern::Client> client;
    FakeConnection* fake = nullptr;
    RecordingListener listener;

    // The managed connection drops and the server has forgotten the session
    // (it restarted): the client makes a new one. Returns what it sent once
    // the new session was up.
    std::string dropAndRenew() {
        client->streamManagement()->setFirstPause(1);
        fake->serverCloses();
        for (int i = 0; i < 1500 && fake->connects < 2; ++i) {
            client->receive(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        authenticate(true);
        sent();
        says("<failed xmlns='urn:xmpp:sm:3'><item-not-found xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></failed>");
        says("<iq type='result' id='" + idOf(sent(), "xmpp-bind") + "'/>");
        says("<enabled xmlns='urn:xmpp:sm:3' id='sm-2' resume='true'/>");
        says("<iq type='result' id='" + idOf(sent(), "xmpp-session") + "'/>");
        says("<iq type='result' id='" + idOf(sent(), "jabber:iq:roster") + "'><query xmlns='jabber:iq:roster'/></iq>");
        return sent();
    }

private:
    void authenticate(bool managed) {
        says(serverHeader() + features(mechanisms({"PLAIN"})));
        says("<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>");
        says(serverHeader("s2") + features(std::string(kBindAndSession) + (managed ? "<sm xmlns='urn:xmpp:sm:3'/>" : "")));
    }
    void wire() {
        // The scripted logins use PLAIN on a plain stream.
        client->setEncryptionPolicy(tern::EncryptionAllowPlaintext);
        // Ids the scripts can name: uid1, uid2, ... (from any thread)
        client->setIdSource([n = std::make_shared<std::atomic<int>>(0)] { return "uid" + std::to_string(++*n); });
        fake = new FakeConnection(client.get());
        client->setConnectionImpl(fake);
        client->addNetworkListener(&listener);
    }
};

}  // namespace testsupport

#endif

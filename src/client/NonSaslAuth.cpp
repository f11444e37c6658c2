#include "client/NonSaslAuth.h"

#include "client/Client.h"
#include "client/SHA.h"
#include "stanza/Constants.h"

namespace tern {

NonSaslAuth::NonSaslAuth(Client* client) : client_(client) { client_->addIqHandler(this, XMPP_XMLNS_AUTH); }

NonSaslAuth::~NonSaslAuth() {
    client_->removeIqHandler(XMPP_XMLNS_AUTH);
    client_->removeIqIdHandler(this);
}

const JID& NonSaslAuth::identity() const {
    return client_->authzid().server().empty() ? client_->jid() : client_->authzid();
}

void NonSaslAuth::doAuth(const std::string& sessionId) {
    sessionId_ = sessionId;
    XmlTag* iq = new XmlTag("iq");
    iq->setAttribute("to", identity().server());
    iq->setAttribute("id", client_->newId());
    iq->setAttribute("type", "get");
    XmlTag* query = new XmlTag(iq, "query", "xmlns", XMPP_XMLNS_AUTH);
    new XmlTag(query, "username", client_->jid().username());
    client_->sendIq(iq, this, FieldQuery);
}

bool NonSaslAuth::handleIqById(Stanza* stanza, int context) {
    if (client_->step() != StreamStep::LegacyAuth) return true;
    if (stanza->subtype() == IqResult && context == FieldQuery) {
        const XmlTag* offered = stanza->firstChild("query");
        const bool digest = offered && offered->hasChild("digest") && !sessionId_.empty();
        XmlTag* iq = new XmlTag("iq");
        iq->setAttribute("id", client_->newId());
        iq->setAttribute("type", "set");
        XmlTag* query = new XmlTag(iq, "query", "xmlns", XMPP_XMLNS_AUTH);
        new XmlTag(query, "username", identity().username());
        new XmlTag(query, "resource", identity().resource());
        if (digest) {
            SHA sha;
            sha.update(sessionId_);
            sha.update(client_->password());
            new XmlTag(query, "digest", sha.hexDigest());
        } else {
            new XmlTag(query, "password", client_->password());
        }
        client_->sendIq(iq, this, Login);
    } else if (stanza->subtype() == IqResult && context == Login) {
        client_->authed_ = true;
        client_->streamAuthenticated();
        client_->setAuthenticating(false);
        client_->connectedStep();
    } else if (stanza->subtype() == IqError) {
        client_->authed_ = false;
        client_->disconnect(AuthenticationFailed);
        // Recorded after the listeners have heard of the failure.
        if (const XmlTag* error = stanza->firstChild("error")) {
            const std::string code = error->getAttribute("code");
            if (error->hasChild("conflict") || code == "409")
                client_->authError_ = NonSaslConflict;
            else if (error->hasChild("not-acceptable") || code == "406")
                client_->authError_ = NonSaslNotAcceptable;
            else if (error->hasChild("not-authorized") || code == "401")
                client_->authError_ = NonSaslNotAuthorized;
        }
    }
    return false;
}

}  // namespace tern

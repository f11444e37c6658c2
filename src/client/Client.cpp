#include "client/Client.h"

#include <algorithm>

#include "client/NonSaslAuth.h"
#include "client/Sasl2.h"
#include "client/StreamManagement.h"
#include "services/RosterManager.h"
#include "services/ServiceDiscovery.h"
#include "stanza/Constants.h"

namespace tern {

using namespace std::string_view_literals;

Client::Client(const std::string& server)
    : ClientBase(XMPP_XMLNS_CLIENT, server, -1), hasCredentials_(false) {
    jid_.setServer(server);
    requestedJid_ = jid_;
    rosterManager_ = std::make_unique<RosterManager>(this);
    disco()->setIdentity("client", "bot");
}

Client::Client(const JID& jid, const std::string& password, int port)
    : ClientBase(XMPP_XMLNS_CLIENT, password, jid.serverRaw(), port), hasCredentials_(true) {
    jid_ = jid;
    requestedJid_ = jid;
    rosterManager_ = std::make_unique<RosterManager>(this);
    disco()->setIdentity("client", "bot");
}

Client::~Client() {
    // Both unregister from the engine, which is still whole here.
    rosterManager_.reset();
    nonSaslAuth_.reset();
}

void Client::resetState() {
    authed_ = false;
    bound_ = false;
    streamFeatures_ = 0;
    sasl2_ = pipelined_ = inlineResume_ = bind2Sent_ = smInline_ = sasl2FeaturesDue_ = false;
}

void Client::disconnect(ConnectionError reason) {
    bound_ = false;
    authed_ = false;
    streamFeatures_ = 0;
    ClientBase::disconnect(reason);
}

void Client::disableRoster() {
    manageRoster_ = false;
    rosterManager_.reset();
}

void Client::setPresence(int presence, int priority, const std::string& status) {
    {
        std::lock_guard<std::mutex> lock(presenceMutex_);
        presence_ = presence;
        priority_ = std::max(-128, std::min(127, priority));
        status_ = status;
    }
    sendPresence();
}

void Client::sendPresence() {
    int presence, priority;
    std::string status;
    {
        std::lock_guard<std::mutex> lock(presenceMutex_);
        presence = presence_;
        priority = priority_;
        status = status_;
    }
    if (presence == 0 || state() != StateConnected) return;
    Stanza* p = Stanza::buildPresence(JID(), status, presence, "");
    new XmlTag(p, "priority", std::to_string(priority));
    sendTag(p);
}

// ---- elements -----------------------------------------------------------

// What each step expects besides stanzas; everything here arrives only from
// the server (or from whoever is in the path of a plaintext stream).
struct Client::Expected {
    StreamStep step;
    const char* name;
    const char* xmlns;  // null: the name alone (it carries its prefix)
    void (Client::*handle)(const Stanza&);
};

const Client::Expected Client::kExpected[] = {
    {StreamStep::Features, "stream:features", nullptr, &Client::handleFeatures},
    {StreamStep::StartTls, "proceed", "urn:ietf:params:xml:ns:xmpp-tls", &Client::handleProceed},
    {StreamStep::StartTls, "failure", "urn:ietf:params:xml:ns:xmpp-tls", &Client::handleTlsRefused},
    {StreamStep::Sasl, "challenge", "urn:ietf:params:xml:ns:xmpp-sasl", &Client::handleSaslChallenge},
    {StreamStep::Sasl, "success", "urn:ietf:params:xml:ns:xmpp-sasl", &Client::handleSaslSuccess},
    {StreamStep::Sasl, "failure", "urn:ietf:params:xml:ns:xmpp-sasl", &Client::handleSaslFailure},
    {StreamStep::Sasl2, "challenge", sasl2::kNamespace, &Client::handleSaslChallenge},
    {StreamStep::Sasl2, "success", sasl2::kNamespace, &Client::handleSasl2Success},
    {StreamStep::Sasl2, "failure", sasl2::kNamespace, &Client::handleSaslFailure},
    {StreamStep::Sasl2, "continue", sasl2::kNamespace, &Client::handleSasl2Continue},
    // SASL2's success is followed by features without a new stream.
    {StreamStep::Session, "stream:features", nullptr, &Client::handleFeaturesAfterSasl2},
    {StreamStep::Established, "stream:features", nullptr, &Client::handleFeaturesAfterSasl2},
};

ClientBase::ElementVerdict Client::handleNormalTag(Stanza* stanza) {
    bool known = false;
    for (const Expected& e : kExpected) {
        if (stanza->name() != e.name || (e.xmlns && !stanza->hasAttribute("xmlns", e.xmlns))) continue;
        if (e.step != step()) {
            known = true;
            continue;
        }
        (this->*e.handle)(*stanza);
        return ElementVerdict::Handled;
    }
    return known ? ElementVerdict::OutOfTurn : ElementVerdict::Unknown;
}

void Client::handleProceed(const Stanza&) {
    if (TLSBase* tls = encryptionImpl()) {
        logger_.log(LogDebug, LogAreaClient, "starting TLS handshake...");
        // Whatever followed <proceed/> in the same read came in the clear:
        // it is dropped, and the parser starts afresh over TLS.
        resetParser();
        enterStep(StreamStep::TlsHandshake);
        encryptionActive_ = true;
        tls->handshake();
    }
}

void Client::handleTlsRefused(const Stanza&) {
    logger_.log(LogError, LogAreaClient, "TLS handshake failed (server-side)!");
    disconnect(TlsFailed);
}

void Client::handleFeatures(const Stanza& features) {
    int bits = 0;
    auto offered = [&](const char* child, const std::string& ns) { return features.hasChild(child, "xmlns", ns); };
    if (offered("bind", XMPP_XMLNS_STREAM_BIND)) bits |= StreamFeatureBind;
    if (const XmlTag* session = features.firstChild("session", "xmlns", XMPP_XMLNS_STREAM_SESSION)) {
        bits |= StreamFeatureSession;
        if (session->firstChild("optional")) bits |= StreamFeatureSessionOptional;
    }
    if (offered("starttls", XMPP_XMLNS_STREAM_TLS)) bits |= StreamFeatureStartTls;
    if (offered("register", XMPP_XMLNS_STREAM_IQREGISTER)) bits |= StreamFeatureIqRegister;
    if (offered("auth", XMPP_XMLNS_STREAM_IQAUTH)) bits |= StreamFeatureIqAuth;
    if (offered("sm", StreamManagement::kNamespace)) bits |= StreamFeatureStreamManagement;
    if (const XmlTag* c = features.firstChild("compression", "xmlns", XMPP_XMLNS_STREAM_COMPRESS)) {
        if (c->hasChildWithText("method", "zlib")) bits |= StreamFeatureCompressZlib;
        if (c->hasChildWithText("method", "lzw")) bits |= StreamFeatureCompressDclz;
    }
    offer_ = std::make_unique<LoginOffer>(readLoginOffer(features));
    bits |= offer_->mechanisms;
    if (offer_->sasl2) bits |= StreamFeatureSasl2;
    if (bits == 0) bits = StreamFeatureIqAuth;  // a server that announces nothing: legacy authentication
    streamFeatures_ = bits;

    // Never after authentication: whatever that sent went in the clear.
    const bool tlsPossible =
        encryptionImpl() && tlsPolicy_ != TlsDisabled && (bits & StreamFeatureStartTls) && !authed_;
    // A session that TLS once protected is not resumed without it: that
    // would be the way to read it for whoever strips the STARTTLS offer.
    const bool resumingUnderTls = streamManagement()->resuming() && streamManagement()->protectedByTls();
    if (!encryptionActive_ && !tlsPossible &&
        (tlsPolicy_ == TlsRequired || encryptionPolicy_ == EncryptionRequired || resumingUnderTls)) {
        logger_.log(LogError, LogAreaClient,
                    tlsPolicy_ == TlsRequired
                        ? "Client is configured to require TLS but either the server didn't offer TLS or TLS support "
                          "is not compiled in."
                    : resumingUnderTls
                        ? "the session to resume was protected by TLS, and this stream cannot have it: not resuming "
                          "it in the clear"
                        : "the encryption policy requires TLS, and this stream cannot have it (the server offers no "
                          "STARTTLS, or TLS is off): no credential is sent");
        disconnect(TlsNotAvailable);
        return;
    }
    if (tlsPossible && !encryptionActive_) {
        notifyStreamEvent(StreamEventEncryption);
        enterStep(StreamStep::StartTls);
        sendTag(new XmlTag(nullptr, "starttls", "xmlns", XMPP_XMLNS_STREAM_TLS));
        return;
    }
    if (encryptionActive_ && !authed_ && hasCredentials_ && offerWeakerThanBefore()) return;
    if (pipelined_) {
        // The <authenticate> went with the header: these features, which
        // still offer what it chose, only tell the SCRAM exchange what the
        // server offered. Features after a success that did not bind are
        // the next step's, as on any login.
        if (scram_) scram_->setOfferedLists(offeredListsText(offer_->names(), offer_->binding));
        pipelined_ = false;
        enterStep(StreamStep::Sasl2);
        return;
    }
    if (authed_) {
        // A lost session is resumed instead of bound anew; where it cannot
        // be (no stream management any more, or a new session was under way
        // already), one is made afresh.
        StreamManagement* sm = streamManagement();
        if (sm->resuming()) {
            if ((bits & StreamFeatureStreamManagement) && !sm->renewing()) {
                enterStep(StreamStep::Resume);
                sm->sendResume();
            } else {
                if (!(bits & StreamFeatureStreamManagement))
                    logger_.log(LogWarning, LogAreaClient, "the server no longer offers stream management");
                renewSession();
            }
            return;
        }
        if (bits & StreamFeatureBind) {
            notifyStreamEvent(StreamEventResourceBinding);
            bindResource();
        }
        return;
    }
    authenticate();
}

// ---- binding, session, ready --------------------------------------------

namespace {
// The error element of an iq reply: its type and its defined conditions.
struct ErrorView {
    explicit ErrorView(const Stanza& reply)
        : element(reply.firstChild("error")), type(element ? element->getAttribute("type") : std::string()) {}
    bool has(const char* condition) const {
        return element && element->hasChild(condition, "xmlns", XMPP_XMLNS_XMPP_STANZAS);
    }
    const XmlTag* element;
    const std::string type;
};
}  // namespace

bool Client::handleIqById(Stanza* stanza, int context) {
    // Answers count only while their step lasts; the engine has already
    // checked that they come from the server.
    if (context == BindRequest && step() == StreamStep::Bind)
        handleBindReply(*stanza);
    else if (context == SessionRequest && step() == StreamStep::Session)
        handleSessionReply(*stanza);
    return true;
}

void Client::bindResource() {
    if (bound_) return;
    enterStep(StreamStep::Bind);
    XmlTag* iq = new XmlTag("iq");
    iq->setAttribute("type", "set");
    iq->setAttribute("id", newId());
    XmlTag* bind = new XmlTag(iq, "bind", "xmlns", XMPP_XMLNS_STREAM_BIND);
    if (!jid_.resource().empty()) new XmlTag(bind, "resource", jid_.resource());
    sendIq(iq, this, BindRequest);
}

void Client::handleBindReply(const Stanza& reply) {
    if (reply.subtype() == IqResult) {
        if (const XmlTag* bind = reply.firstChild("bind"))
            if (const XmlTag* jid = bind->firstChild("jid")) {
                // Only the server answers this, in its step: its form of our
                // address counts (a prepared user part, an anonymous one, a
                // resource of its choice), but not another domain.
                if (acceptAuthorizationId(jid->text(), true))
                    jid_ = JID(jid->text());
                else
                    logger_.log(LogWarning, LogAreaClient, "ignoring the bound address " + jid->text());
            }
        // A session the server marks optional costs a round trip for nothing.
        sessionBound(streamFeatures_ & StreamFeatureStreamManagement,
                     (streamFeatures_ & StreamFeatureSession) && !(streamFeatures_ & StreamFeatureSessionOptional));
        return;
    }
    const ErrorView error(reply);
    const std::string& type = error.type;
    ResourceBindError e = RbErrorUnknownError;
    if (type == "modify"sv && error.has("bad-request"))
        e = RbErrorBadRequest;
    else if (type != "cancel")
        e = RbErrorUnknownError;
    else if (error.has("not-allowed"))
        e = RbErrorNotAllowed;
    else if (error.has("conflict"))
        e = RbErrorConflict;
    for (NetworkListener* l : listenersSnapshot()) l->handleBindError(e);
}

// Stream management, the session and the first requests go out in one
// write.
void Client::sessionBound(bool manageStream, bool askSession) {
    bound_ = true;
    beginWriteBatch();
    if (manageStream && streamManagement()->wanted()) streamManagement()->enable();
    if (askSession)
        createSession();
    else
        connectedStep();
    endWriteBatch();
}

void Client::createSession() {
    notifyStreamEvent(StreamEventSessionCreation);
    enterStep(StreamStep::Session);
    XmlTag* iq = new XmlTag("iq");
    iq->setAttribute("type", "set");
    iq->setAttribute("id", newId());
    new XmlTag(iq, "session", "xmlns", XMPP_XMLNS_STREAM_SESSION);
    sendIq(iq, this, SessionRequest);
}

void Client::handleSessionReply(const Stanza& reply) {
    if (reply.subtype() == IqResult) {
        connectedStep();
        return;
    }
    const ErrorView error(reply);
    const std::string& type = error.type;
    SessionCreateError e = ScErrorUnknownError;
    if (type == "wait"sv && error.has("internal-server-error"))
        e = ScErrorInternalServerError;
    else if (type == "auth"sv && error.has("forbidden"))
        e = ScErrorForbidden;
    else if (type == "cancel"sv && error.has("conflict"))
        e = ScErrorConflict;
    for (NetworkListener* l : listenersSnapshot()) l->handleSessionError(e);
}

void Client::connectedStep() {
    enterStep(StreamStep::Established);
    if (authed_) {
        // The roster and private-storage requests, the initial presence and
        // whatever listeners add (a room join) go out in one write, without
        // waiting for answers; servers answer in order, so the roster still
        // comes first.
        const bool roster = manageRoster_ && rosterManager_;
        beginWriteBatch();
        if (roster) {
            notifyStreamEvent(StreamEventRoster);
            rosterManager_->fetchRoster();
        }
        sendPresence();
        notifySessionStarting();
        endWriteBatch();
        if (!roster) sessionReady();
        return;
    }
    notifyStreamEvent(StreamEventFinished);
    notifyConnected();
}

void Client::sessionReady() {
    if (streamManagement()->renewing()) {
        sessionRenewed();  // the host heard of its session once already
        return;
    }
    notifyStreamEvent(StreamEventFinished);
    notifyConnected();
}

void Client::startNewSession() {
    bound_ = false;
    if (inlineBound_) {  // SASL2's success bound it already
        const JID address = *inlineBound_;
        inlineBound_.reset();
        boundInline(address, inlineSmAnswer_);
        return;
    }
    if (step() == StreamStep::Sasl2) {
        // Authenticated without a binding: the server's features follow.
        enterStep(StreamStep::Features);
        return;
    }
    if (!(streamFeatures_ & StreamFeatureBind)) {
        logger_.log(LogError, LogAreaClient, "the server offers no resource binding for a new session");
        giveUpResumption();
        return;
    }
    notifyStreamEvent(StreamEventResourceBinding);
    bindResource();
}

}  // namespace tern

#include "client/Client.h"

#include <algorithm>

#include "client/Base64.h"
#include "client/Hex.h"
#include "client/MD5.h"
#include "client/NonSaslAuth.h"
#include "client/SaslPrep.h"
#include "client/Scram.h"
#include "client/StreamManagement.h"
#include "services/RosterManager.h"
#include "services/ServiceDiscovery.h"
#include "stanza/Constants.h"
#include "transport/Platform.h"

namespace tern {

using namespace std::string_view_literals;

Client::Client(const std::string& server)
    : ClientBase(XMPP_XMLNS_CLIENT, server, -1), hasCredentials_(false) {
    jid_.setServer(server);
    rosterManager_ = std::make_unique<RosterManager>(this);
    disco()->setIdentity("client", "bot");
}

Client::Client(const JID& jid, const std::string& password, int port)
    : ClientBase(XMPP_XMLNS_CLIENT, password, jid.serverRaw(), port), hasCredentials_(true) {
    jid_ = jid;
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

void Client::handleSaslChallenge(const Stanza& challenge) {
    logger_.log(LogDebug, LogAreaClient, "processing SASL challenge");
    const std::string decoded = base64Decode(challenge.text());
    if (selectedMechanism_ == SaslScramSha1 || selectedMechanism_ == SaslScramSha256)
        processScramChallenge(decoded);
    else if (selectedMechanism_ == SaslDigestMd5)
        processDigestChallenge(decoded);
    else
        sendSaslResponse(std::string(), false);
}

void Client::handleSaslSuccess(const Stanza& success) {
    if (!serverProvedItself(base64Decode(success.text()))) return;
    logger_.log(LogDebug, LogAreaClient, "SASL authentication successful");
    authed_ = true;
    streamAuthenticated();
    setAuthenticating(false);
    enterStep(StreamStep::Header);
    header();
}

void Client::handleSaslFailure(const Stanza& failure) {
    logger_.log(LogError, LogAreaClient, "SASL authentication failed!");
    static const std::pair<const char*, AuthenticationError> conditions[] = {
        {"aborted", SaslAborted},
        {"incorrect-encoding", SaslIncorrectEncoding},
        {"invalid-authzid", SaslInvalidAuthzid},
        {"invalid-mechanism", SaslInvalidMechanism},
        {"mechanism-too-weak", SaslMechanismTooWeak},
        {"not-authorized", SaslNotAuthorized},
        {"temporary-auth-failure", SaslTemporaryAuthFailure},
    };
    for (const auto& c : conditions) {
        if (failure.hasChild(c.first)) {
            authError_ = c.second;
            break;
        }
    }
    disconnect(AuthenticationFailed);
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
    if (const XmlTag* m = features.firstChild("mechanisms", "xmlns", XMPP_XMLNS_STREAM_SASL)) {
        static const std::pair<const char*, int> mechanisms[] = {
            {"DIGEST-MD5", SaslDigestMd5}, {"PLAIN", SaslPlain},           {"ANONYMOUS", SaslAnonymous},
            {"EXTERNAL", SaslExternal},    {"GSSAPI", SaslGssapi},         {"SCRAM-SHA-1", SaslScramSha1},
            {"SCRAM-SHA-256", SaslScramSha256},
        };
        for (const auto& mech : mechanisms)
            if (m->hasChildWithText("mechanism", mech.first)) bits |= mech.second;
    }
    if (bits == 0) bits = StreamFeatureIqAuth;  // a server that announces nothing: legacy authentication
    streamFeatures_ = bits;

    const bool tlsPossible = encryptionImpl() && tlsPolicy_ != TlsDisabled && (bits & StreamFeatureStartTls);
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

// ---- authentication -----------------------------------------------------

std::string Client::credentialProblem() const {
    if (!hasCredentials_) return std::string();
    // No user and no password: an anonymous login, when the server offers one.
    if (jid_.username().empty() && password_.empty()) return std::string();
    const std::string problem = jid_.addressProblem();
    if (!problem.empty()) return problem;
    if (password_.empty() && (clientCerts_.empty() || clientKey_.empty()))
        return "the password is empty (and there is no client certificate)";
    return std::string();
}

// What the encryption policy lets a mechanism do on this stream: on a
// stream without TLS under ProtectPassword only SCRAM, whose exchange an
// eavesdropper cannot cheaply turn into the password (see startSasl for
// the iteration count); DIGEST-MD5 and the legacy digest are one MD5 or
// SHA-1 per guess, PLAIN and the legacy password the password itself.
bool Client::mayUseOnThisStream(int mechanism) {
    if (passwordMayTravel() || mechanism == SaslScramSha1 || mechanism == SaslScramSha256) return true;
    const char* name = mechanism == SaslDigestMd5 ? "DIGEST-MD5" : mechanism == SaslPlain ? "PLAIN" : "legacy authentication";
    const char* why = mechanism == SaslPlain ? "it would send the password on an unencrypted stream"
                      : mechanism == SaslDigestMd5
                          ? "an eavesdropper could test guesses of the password against it offline, one MD5 each"
                          : "it sends the password, or a SHA-1 digest to test guesses against, unencrypted";
    logger_.log(LogWarning, LogAreaClient,
                std::string("not using ") + name + ": " + why + " (encryption policy)");
    return false;
}

void Client::authenticate() {
    if (!hasCredentials_) {
        notifyStreamEvent(StreamEventFinished);
        connectedStep();
        return;
    }
    auto start = [this](int mechanism) {
        notifyStreamEvent(StreamEventAuthentication);
        startSasl(mechanism);
    };
    if (!password_.empty()) {
        if (!saslPrep(jid_.username(), saslUser_) || !saslPrep(password_, saslPassword_)) {
            logger_.log(LogError, LogAreaClient,
                        "the user name or the password holds characters that SASLprep prohibits; nothing was sent");
            disconnect(AuthenticationFailed);
            return;
        }
        for (int mechanism : {SaslScramSha256, SaslScramSha1, SaslDigestMd5, SaslPlain}) {
            if (!usable(mechanism) || !mayUseOnThisStream(mechanism)) continue;
            start(mechanism);
            return;
        }
        if ((streamFeatures_ & StreamFeatureIqAuth) && mayUseOnThisStream(0)) {
            notifyStreamEvent(StreamEventAuthentication);
            if (!nonSaslAuth_) nonSaslAuth_ = std::make_unique<NonSaslAuth>(this);
            setAuthenticating(true);
            enterStep(StreamStep::LegacyAuth);
            nonSaslAuth_->doAuth(streamId_);
            return;
        }
    } else if (!jid_.username().empty()) {
        if (usable(SaslExternal)) {
            start(SaslExternal);
            return;
        }
    } else if (usable(SaslAnonymous)) {
        start(SaslAnonymous);
        return;
    }
    logger_.log(LogError, LogAreaClient, "the server doesn't support any auth mechanisms we know about");
    disconnect(NoSupportedAuth);
}

void Client::startSasl(int mechanism) {
    selectedMechanism_ = mechanism;
    saslChallenges_ = 0;
    serverVerified_ = false;
    digestRspauth_.clear();
    setAuthenticating(true);
    enterStep(StreamStep::Sasl);
    XmlTag* auth = new XmlTag("auth");
    auth->setAttribute("xmlns", XMPP_XMLNS_STREAM_SASL);
    const bool haveAuthzid = !authzid_.server().empty();
    switch (mechanism) {
        case SaslDigestMd5:
            auth->setAttribute("mechanism", "DIGEST-MD5");
            break;
        case SaslPlain: {
            auth->setAttribute("mechanism", "PLAIN");
            std::string payload = haveAuthzid ? authzid_.bare() : std::string();
            payload.push_back('\0');
            payload += saslUser_;
            payload.push_back('\0');
            payload += saslPassword_;
            auth->setText(base64Encode(payload));
            break;
        }
        case SaslAnonymous:
            auth->setAttribute("mechanism", "ANONYMOUS");
            auth->setText(newId());
            break;
        case SaslExternal:
            auth->setAttribute("mechanism", "EXTERNAL");
            auth->setText(base64Encode(haveAuthzid ? authzid_.bare() : jid_.bare()));
            break;
        case SaslScramSha1:
        case SaslScramSha256: {
            const auto hash = mechanism == SaslScramSha1 ? ScramClient::Hash::Sha1 : ScramClient::Hash::Sha256;
            scram_ = std::make_unique<ScramClient>(hash, saslUser_, saslPassword_,
                                                   haveAuthzid ? authzid_.bare() : std::string(), clientNonce(),
                                                   &saltedPassword_);
            if (!passwordMayTravel()) scram_->setMinimumIterations(kMinPlaintextScramIterations);
            auth->setAttribute("mechanism", ScramClient::mechanismName(hash));
            auth->setText(base64Encode(scram_->clientFirst()));
            break;
        }
    }
    sendTag(auth);
}

void Client::sendSaslResponse(const std::string& text, bool encode) {
    XmlTag* response = new XmlTag("response");
    response->setAttribute("xmlns", XMPP_XMLNS_STREAM_SASL);
    if (!text.empty()) response->setText(encode ? base64Encode(text) : text);
    sendTag(response);
}

std::string Client::clientNonce() const {
    if (!fixedCnonce_.empty()) return fixedCnonce_;
    std::string bytes(16, '\0');
    platform::fillRandom(&bytes[0], bytes.size());
    return hexEncode(bytes);
}

std::string digestMd5Response(const std::string& user, const std::string& realm, const std::string& password,
                              const std::string& nonce, const std::string& cnonce, const std::string& digestUri,
                              bool server) {
    MD5 a;
    a.update(user + ":" + realm + ":" + password);
    MD5 ha1;
    ha1.update(a.rawDigest() + ":" + nonce + ":" + cnonce);
    MD5 ha2;
    ha2.update((server ? ":" : "AUTHENTICATE:") + digestUri);
    MD5 response;
    response.update(ha1.hexDigest() + ":" + nonce + ":00000001:" + cnonce + ":auth:" + ha2.hexDigest());
    return response.hexDigest();
}

namespace {
// The value after key=" up to the closing quote (or the end).
std::string quotedValue(const std::string& text, std::size_t keyPos, std::size_t keyLength, bool honourEscapes) {
    const std::size_t start = keyPos + keyLength + 1;
    if (start > text.size()) return std::string();
    std::size_t end = start;
    while (end < text.size()) {
        if (text[end] == '"' && !(honourEscapes && end > start && text[end - 1] == '\\')) break;
        ++end;
    }
    return text.substr(start, end - start);
}

// Compares without leaking where the first difference is.
bool sameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}
}  // namespace

void Client::abortSasl(const std::string& why, ConnectionError reason) {
    logger_.log(LogError, LogAreaClient, why);
    XmlTag* abort = new XmlTag("abort");
    abort->setAttribute("xmlns", XMPP_XMLNS_STREAM_SASL);
    sendTag(abort);
    disconnect(reason);
}

void Client::processScramChallenge(const std::string& decoded) {
    std::string error;
    // The server's first message, then at most its final one (some servers
    // send that as a challenge rather than inside success).
    if (++saslChallenges_ == 1) {
        std::string reply;
        if (!scram_ || !scram_->clientFinal(decoded, reply, error)) {
            // Too few iterations on a plain stream: the policy refuses what is
            // left, as when no mechanism is allowed at all.
            const bool policy = scram_ && scram_->refusedForIterations();
            abortSasl("SASL SCRAM: " + error, policy ? NoSupportedAuth : AuthenticationFailed);
            return;
        }
        sendSaslResponse(reply, true);
        return;
    }
    if (saslChallenges_ > 2 || !scram_->verifyServerFinal(decoded, error)) {
        abortSasl("SASL SCRAM: " + (error.empty() ? std::string("the server keeps sending challenges") : error));
        return;
    }
    serverVerified_ = true;
    sendSaslResponse(std::string(), false);
}

void Client::processDigestChallenge(const std::string& decoded) {
    // DIGEST-MD5 has one real challenge and the server's proof (rspauth);
    // anything else would go on without end.
    if (++saslChallenges_ > 2) {
        abortSasl("SASL DIGEST-MD5: the server keeps sending challenges");
        return;
    }
    if (decoded.compare(0, 8, "rspauth=") == 0) {
        if (!serverProvedItself(decoded)) return;
        sendSaslResponse(std::string(), false);
        return;
    }
    const std::size_t realmPos = decoded.find("realm=");
    const std::string realm = realmPos == std::string::npos ? jid_.server() : quotedValue(decoded, realmPos, 6, false);
    const std::size_t noncePos = decoded.find("nonce=");
    if (noncePos == std::string::npos || saslChallenges_ != 1) {
        // Left unanswered the exchange would hang until the server gives up.
        abortSasl("SASL DIGEST-MD5 challenge without a nonce");
        return;
    }
    const std::string nonce = quotedValue(decoded, noncePos, 6, true);
    const std::string cnonce = clientNonce();
    const std::string uri = "xmpp/" + jid_.server();
    std::string text = "username=\"" + saslUser_ + "\",realm=\"" + realm + "\",nonce=\"" + nonce + "\",cnonce=\"" +
                       cnonce + "\",nc=00000001,qop=auth,digest-uri=\"" + uri + "\",response=" +
                       digestMd5Response(saslUser_, realm, saslPassword_, nonce, cnonce, uri) + ",charset=utf-8";
    if (!authzid_.server().empty()) text += ",authzid=" + authzid_.bare();
    digestRspauth_ = digestMd5Response(saslUser_, realm, saslPassword_, nonce, cnonce, uri, true);
    sendSaslResponse(text, true);
}

// Without the server's proof that it knows the password, anyone in the
// path could have said success: SCRAM's signature, DIGEST-MD5's rspauth.
bool Client::serverProvedItself(const std::string& decoded) {
    if (serverVerified_) return true;
    const bool scram = selectedMechanism_ == SaslScramSha1 || selectedMechanism_ == SaslScramSha256;
    if (!scram && selectedMechanism_ != SaslDigestMd5) return true;
    std::string error;
    if (scram) {
        serverVerified_ = scram_ && scram_->verifyServerFinal(decoded, error);
        error = "SASL SCRAM: " + error;
    } else {
        const std::string rspauth = decoded.compare(0, 8, "rspauth=") == 0 ? decoded.substr(8) : std::string();
        serverVerified_ = sameSecret(rspauth, digestRspauth_);
        error = "SASL DIGEST-MD5: the server's rspauth does not prove that it knows the password";
    }
    if (serverVerified_) return true;
    abortSasl(error);
    return false;
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
                const JID bound(jid->text());
                if (JID(bound.server()).sameBareAs(JID(jid_.server())) && !bound.resource().empty() &&
                    (!bound.username().empty() || jid_.username().empty()))
                    jid_ = bound;
                else
                    logger_.log(LogWarning, LogAreaClient, "ignoring the bound address " + jid->text());
            }
        bound_ = true;
        beginWriteBatch();
        if ((streamFeatures_ & StreamFeatureStreamManagement) && streamManagement()->wanted())
            streamManagement()->enable();
        // A session the server marks optional costs a round trip for nothing.
        if ((streamFeatures_ & StreamFeatureSession) && !(streamFeatures_ & StreamFeatureSessionOptional))
            createSession();
        else
            connectedStep();
        endWriteBatch();
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
    if (!(streamFeatures_ & StreamFeatureBind)) {
        logger_.log(LogError, LogAreaClient, "the server offers no resource binding for a new session");
        giveUpResumption();
        return;
    }
    notifyStreamEvent(StreamEventResourceBinding);
    bindResource();
}

}  // namespace tern

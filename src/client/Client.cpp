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

bool Client::handleNormalTag(Stanza* stanza) {
    const std::string& name = stanza->name();
    if (name == "stream:features"sv) {
        handleFeatures(*stanza);
        return true;
    }
    if (name == "proceed"sv && stanza->hasAttribute("xmlns", XMPP_XMLNS_STREAM_TLS)) {
        logger_.log(LogDebug, LogAreaClient, "starting TLS handshake...");
        if (TLSBase* tls = encryptionImpl()) {
            encryptionActive_ = true;
            tls->handshake();
        }
        return true;
    }
    if (name == "failure"sv) {
        if (stanza->hasAttribute("xmlns", XMPP_XMLNS_STREAM_TLS)) {
            logger_.log(LogError, LogAreaClient, "TLS handshake failed (server-side)!");
            disconnect(TlsFailed);
            return true;
        }
        if (stanza->hasAttribute("xmlns", XMPP_XMLNS_COMPRESSION)) {
            logger_.log(LogError, LogAreaClient, "stream compression init failed!");
            disconnect(CompressionFailed);
            return true;
        }
    }
    if (name == "compressed"sv && stanza->hasAttribute("xmlns", XMPP_XMLNS_COMPRESSION)) {
        logger_.log(LogDebug, LogAreaClient, "stream compression inited");
        compressionActive_ = true;
        header();
        return true;
    }
    if ((name == "challenge"sv || name == "failure"sv || name == "success"sv) &&
        stanza->hasAttribute("xmlns", XMPP_XMLNS_STREAM_SASL)) {
        if (name == "challenge"sv) {
            logger_.log(LogDebug, LogAreaClient, "processing SASL challenge");
            processSaslChallenge(stanza->text());
        } else if (name == "failure"sv) {
            logger_.log(LogError, LogAreaClient, "SASL authentication failed!");
            processSaslFailure(*stanza);
            disconnect(AuthenticationFailed);
        } else if (scramSuccessVerifies(stanza->text())) {
            logger_.log(LogDebug, LogAreaClient, "SASL authentication successful");
            authed_ = true;
            setAuthenticating(false);
            header();
        }
        return true;
    }
    if (name == "iq"sv) {
        const std::string& id = stanza->id();
        if (id == "bind"sv) {
            handleBindReply(*stanza);
            return true;
        }
        if (id == "session"sv) {
            handleSessionReply(*stanza);
            return true;
        }
    }
    return false;
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
    if (offered("sm", "urn:xmpp:sm:3")) bits |= StreamFeatureStreamManagement;
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
    if (!encryptionActive_ && !tlsPossible && (tlsPolicy_ == TlsRequired || encryptionPolicy_ == EncryptionRequired)) {
        logger_.log(LogError, LogAreaClient,
                    tlsPolicy_ == TlsRequired
                        ? "Client is configured to require TLS but either the server didn't offer TLS or TLS support "
                          "is not compiled in."
                        : "the encryption policy requires TLS, and this stream cannot have it (the server offers no "
                          "STARTTLS, or TLS is off): no credential is sent");
        disconnect(TlsNotAvailable);
        return;
    }
    if (tlsPossible && !encryptionActive_) {
        notifyStreamEvent(StreamEventEncryption);
        sendTag(new XmlTag(nullptr, "starttls", "xmlns", XMPP_XMLNS_STREAM_TLS));
        return;
    }
    if (authed_) {
        // A lost session is resumed instead of bound anew.
        if (streamManagement()->resuming()) {
            if (bits & StreamFeatureStreamManagement) {
                streamManagement()->sendResume();
            } else {
                logger_.log(LogError, LogAreaClient, "the server no longer offers stream management");
                giveUpResumption();
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
    if (!jid_.username().empty() && !password_.empty()) {
        if (!saslPrep(jid_.username(), saslUser_) || !saslPrep(password_, saslPassword_)) {
            logger_.log(LogError, LogAreaClient,
                        "the user name or the password holds characters that SASLprep prohibits; nothing was sent");
            disconnect(AuthenticationFailed);
            return;
        }
        for (int mechanism : {SaslScramSha256, SaslScramSha1, SaslDigestMd5, SaslPlain}) {
            if (!usable(mechanism)) continue;
            if (mechanism == SaslPlain && !passwordMayTravel()) {
                logger_.log(LogWarning, LogAreaClient,
                            "not using PLAIN: it would send the password on an unencrypted stream (encryption policy)");
                continue;
            }
            start(mechanism);
            return;
        }
        if (streamFeatures_ & StreamFeatureIqAuth) {
            notifyStreamEvent(StreamEventAuthentication);
            if (!nonSaslAuth_) nonSaslAuth_ = std::make_unique<NonSaslAuth>(this);
            setAuthenticating(true);
            nonSaslAuth_->doAuth(streamId_);
            return;
        }
        logger_.log(LogError, LogAreaClient, "the server doesn't support any auth mechanisms we know about");
        disconnect(NoSupportedAuth);
        return;
    }
    if (!clientCerts_.empty() && !clientKey_.empty() && usable(SaslExternal)) {
        start(SaslExternal);
    } else if (usable(SaslGssapi)) {
        start(SaslGssapi);
    } else if (usable(SaslAnonymous)) {
        start(SaslAnonymous);
    } else {
        notifyStreamEvent(StreamEventFinished);
        connectedStep();
    }
}

void Client::startSasl(int mechanism) {
    selectedMechanism_ = mechanism;
    saslChallenges_ = 0;
    setAuthenticating(true);
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
        case SaslGssapi:
            auth->setAttribute("mechanism", "GSSAPI");
            break;
        case SaslScramSha1:
        case SaslScramSha256: {
            const auto hash = mechanism == SaslScramSha1 ? ScramClient::Hash::Sha1 : ScramClient::Hash::Sha256;
            scram_ = std::make_unique<ScramClient>(hash, saslUser_, saslPassword_,
                                                   haveAuthzid ? authzid_.bare() : std::string(), clientNonce(),
                                                   &saltedPassword_);
            scramVerified_ = false;
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
                              const std::string& nonce, const std::string& cnonce, const std::string& digestUri) {
    MD5 a;
    a.update(user + ":" + realm + ":" + password);
    MD5 ha1;
    ha1.update(a.rawDigest() + ":" + nonce + ":" + cnonce);
    MD5 ha2;
    ha2.update("AUTHENTICATE:" + digestUri);
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
}  // namespace

void Client::abortSasl(const std::string& why) {
    logger_.log(LogError, LogAreaClient, why);
    XmlTag* abort = new XmlTag("abort");
    abort->setAttribute("xmlns", XMPP_XMLNS_STREAM_SASL);
    sendTag(abort);
    disconnect(AuthenticationFailed);
}

void Client::processScramChallenge(const std::string& decoded) {
    std::string error;
    // The server's first message, then at most its final one (some servers
    // send that as a challenge rather than inside success).
    if (++saslChallenges_ == 1) {
        std::string reply;
        if (!scram_ || !scram_->clientFinal(decoded, reply, error)) {
            abortSasl("SASL SCRAM: " + error);
            return;
        }
        sendSaslResponse(reply, true);
        return;
    }
    if (saslChallenges_ > 2 || !scram_->verifyServerFinal(decoded, error)) {
        abortSasl("SASL SCRAM: " + (error.empty() ? std::string("the server keeps sending challenges") : error));
        return;
    }
    scramVerified_ = true;
    sendSaslResponse(std::string(), false);
}

bool Client::scramSuccessVerifies(const std::string& text) {
    if (selectedMechanism_ != SaslScramSha1 && selectedMechanism_ != SaslScramSha256) return true;
    const std::string decoded = base64Decode(text);
    if (decoded.empty() && scramVerified_) return true;
    std::string error;
    if (scram_ && scram_->verifyServerFinal(decoded, error)) return true;
    // Without the server's proof anyone in the path could have said success.
    logger_.log(LogError, LogAreaClient, "SASL SCRAM: " + error);
    disconnect(AuthenticationFailed);
    return false;
}

void Client::processSaslChallenge(const std::string& challenge) {
    const std::string decoded = base64Decode(challenge);
    if (selectedMechanism_ == SaslScramSha1 || selectedMechanism_ == SaslScramSha256) {
        processScramChallenge(decoded);
        return;
    }
    if (selectedMechanism_ != SaslDigestMd5 || decoded.compare(0, 7, "rspauth") == 0) {
        sendSaslResponse(std::string(), false);
        return;
    }
    // DIGEST-MD5 has one real challenge and the final rspauth; anything
    // else would go on without end.
    if (++saslChallenges_ > 2) {
        logger_.log(LogError, LogAreaClient, "SASL DIGEST-MD5: the server keeps sending challenges");
        disconnect(AuthenticationFailed);
        return;
    }
    const std::size_t realmPos = decoded.find("realm=");
    const std::string realm = realmPos == std::string::npos ? jid_.server() : quotedValue(decoded, realmPos, 6, false);
    const std::size_t noncePos = decoded.find("nonce=");
    if (noncePos == std::string::npos) {
        // Left unanswered the exchange would hang until the server gives up.
        abortSasl("SASL DIGEST-MD5 challenge without a nonce");
        return;
    }
    const std::string nonce = quotedValue(decoded, noncePos, 6, true);
    const std::string cnonce = clientNonce();
    const std::string& server = jid_.server();
    std::string text = "username=\"" + saslUser_ + "\",realm=\"" + realm + "\",nonce=\"" + nonce +
                       "\",cnonce=\"" + cnonce + "\",nc=00000001,qop=auth,digest-uri=\"xmpp/" + server +
                       "\",response=" +
                       digestMd5Response(saslUser_, realm, saslPassword_, nonce, cnonce, "xmpp/" + server) +
                       ",charset=utf-8";
    if (!authzid_.server().empty()) text += ",authzid=" + authzid_.bare();
    sendSaslResponse(text, true);
}

void Client::processSaslFailure(const Stanza& failure) {
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
            return;
        }
    }
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

void Client::bindResource() {
    if (bound_) return;
    XmlTag* iq = new XmlTag("iq");
    iq->setAttribute("type", "set");
    iq->setAttribute("id", "bind");
    XmlTag* bind = new XmlTag(iq, "bind", "xmlns", XMPP_XMLNS_STREAM_BIND);
    if (!jid_.resource().empty()) new XmlTag(bind, "resource", jid_.resource());
    sendTag(iq);
}

void Client::handleBindReply(const Stanza& reply) {
    if (reply.subtype() == IqResult) {
        if (const XmlTag* bind = reply.firstChild("bind"))
            if (const XmlTag* jid = bind->firstChild("jid")) jid_.assign(jid->text());
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
    if (reply.subtype() != IqError) return;
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
    XmlTag* iq = new XmlTag("iq");
    iq->setAttribute("type", "set");
    iq->setAttribute("id", "session");
    new XmlTag(iq, "session", "xmlns", XMPP_XMLNS_STREAM_SESSION);
    sendTag(iq);
}

void Client::handleSessionReply(const Stanza& reply) {
    if (reply.subtype() == IqResult) {
        connectedStep();
        return;
    }
    if (reply.subtype() != IqError) return;
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
    notifyStreamEvent(StreamEventFinished);
    notifyConnected();
}

}  // namespace tern

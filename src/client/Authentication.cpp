// Client's authentication: the choice of mechanism, the SASL exchange in its
// classic form (RFC 6120) and SASL2's (XEP-0388), SCRAM with channel
// binding, and what SASL2's <success> carries inline (Bind2, resumption).
#include <algorithm>

#include "client/Base64.h"
#include "client/ChannelBinding.h"
#include "client/Client.h"
#include "client/Hex.h"
#include "client/MD5.h"
#include "client/NonSaslAuth.h"
#include "client/Sasl2.h"
#include "client/SaslPrep.h"
#include "client/StreamManagement.h"
#include "client/UserPart.h"
#include "services/ServiceDiscovery.h"
#include "stanza/Constants.h"
#include "transport/NetworkUtil.h"
#include "transport/Platform.h"

namespace tern {

namespace {

// The least time an answer that carries inline stream management gets
// before the server counts as one that cannot give it.
constexpr auto kInlineAnswerFloor = std::chrono::milliseconds(5000);

bool isScram(int m) { return m == SaslScramSha1 || m == SaslScramSha256 || m == SaslScramSha1Plus || m == SaslScramSha256Plus; }
bool isPlus(int m) { return m == SaslScramSha1Plus || m == SaslScramSha256Plus; }
// All these say goes in the initial response; the server only answers it.
bool hasNoChallenge(int m) { return m == SaslPlain || m == SaslExternal || m == SaslAnonymous; }

const char* mechanismName(int m) {
    switch (m) {
        case SaslDigestMd5: return "DIGEST-MD5";
        case SaslPlain: return "PLAIN";
        case SaslAnonymous: return "ANONYMOUS";
        case SaslExternal: return "EXTERNAL";
        case SaslScramSha1: return "SCRAM-SHA-1";
        case SaslScramSha256: return "SCRAM-SHA-256";
        case SaslScramSha1Plus: return "SCRAM-SHA-1-PLUS";
        case SaslScramSha256Plus: return "SCRAM-SHA-256-PLUS";
        default: return "";
    }
}

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

// RFC 2831 2.1.2.1: with charset=utf-8, a user name, realm or password
// whose characters all lie in ISO 8859-1 is hashed in that encoding (as
// digest databases shared with HTTP hold it); any other as UTF-8.
std::string latin1WherePossible(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            continue;
        }
        // U+0080..U+00FF are C2 or C3 and one continuation byte.
        if ((c != 0xC2 && c != 0xC3) || i + 1 == utf8.size() || (utf8[i + 1] & 0xC0) != 0x80) return utf8;
        out.push_back(static_cast<char>(((c & 0x03) << 6) | (utf8[++i] & 0x3F)));
    }
    return out;
}

// Compares without leaking where the first difference is.
bool sameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

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
    if (passwordMayTravel() || isScram(mechanism)) return true;
    const char* name = mechanism == SaslDigestMd5 ? "DIGEST-MD5" : mechanism == SaslPlain ? "PLAIN" : "legacy authentication";
    const char* why = mechanism == SaslPlain ? "it would send the password on an unencrypted stream"
                      : mechanism == SaslDigestMd5
                          ? "an eavesdropper could test guesses of the password against it offline, one MD5 each"
                          : "it sends the password, or a SHA-1 digest to test guesses against, unencrypted";
    logger_.log(LogWarning, LogAreaClient,
                std::string("not using ") + name + ": " + why + " (encryption policy)");
    return false;
}

bool Client::allowed(int mechanism) const {
    const int base = mechanism == SaslScramSha1Plus ? SaslScramSha1 : mechanism == SaslScramSha256Plus ? SaslScramSha256 : mechanism;
    return (saslMechanisms_ & base) != 0;
}

bool Client::prepareCredentials() {
    if (saslPrep(jid_.username(), saslUser_) && saslPrep(password_, saslPassword_)) return true;
    logger_.log(LogError, LogAreaClient,
                "the user name or the password holds characters that SASLprep prohibits; nothing was sent");
    return false;
}

// With a password: the -PLUS mechanisms first where this connection can be
// bound, then SCRAM, DIGEST-MD5 and PLAIN, as the policy allows them.
int Client::chooseMechanism(const LoginOffer& offer) {
    const int offered = offer.usableMechanisms();
    const bool canBind =
        encryptionActive_ && !chooseChannelBinding(encryptionImpl(), offer.binding).type.empty();
    for (int m : {SaslScramSha256Plus, SaslScramSha1Plus, SaslScramSha256, SaslScramSha1, SaslDigestMd5, SaslPlain}) {
        if (!(offered & m) || !allowed(m) || (isPlus(m) && !canBind) || !mayUseOnThisStream(m)) continue;
        return m;
    }
    return 0;
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
    auto offers = [this](int m) { return (offer_->usableMechanisms() & m) && allowed(m); };
    if (!password_.empty()) {
        if (!prepareCredentials()) {
            disconnect(AuthenticationFailed);
            return;
        }
        if (const int mechanism = chooseMechanism(*offer_)) {
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
        if (offers(SaslExternal)) {
            start(SaslExternal);
            return;
        }
    } else if (offers(SaslAnonymous)) {
        start(SaslAnonymous);
        return;
    }
    logger_.log(LogError, LogAreaClient, "the server doesn't support any auth mechanisms we know about");
    disconnect(NoSupportedAuth);
}

// The mechanism's first message, before any encoding; empty for DIGEST-MD5,
// which has none.
std::string Client::initialResponse(int mechanism) {
    const bool haveAuthzid = !authzid_.server().empty();
    switch (mechanism) {
        case SaslPlain: {
            std::string payload = haveAuthzid ? authzid_.bare() : std::string();
            payload.push_back('\0');
            payload += saslUser_;
            payload.push_back('\0');
            payload += saslPassword_;
            return payload;
        }
        case SaslAnonymous: return newId();
        case SaslExternal: return haveAuthzid ? authzid_.bare() : jid_.bare();
        case SaslScramSha1:
        case SaslScramSha256:
        case SaslScramSha1Plus:
        case SaslScramSha256Plus: {
            const bool sha1 = mechanism == SaslScramSha1 || mechanism == SaslScramSha1Plus;
            scram_ = std::make_unique<ScramClient>(sha1 ? ScramClient::Hash::Sha1 : ScramClient::Hash::Sha256, saslUser_,
                                                   saslPassword_, haveAuthzid ? authzid_.bare() : std::string(),
                                                   clientNonce(), &saltedPassword_);
            if (!passwordMayTravel()) scram_->setMinimumIterations(kMinPlaintextScramIterations);
            // The binding, or the flag that tells a server that binds logins
            // that this connection could have been bound but no -PLUS was
            // offered (RFC 5802, 6): whoever removed the offer is caught.
            // "n" only where TLS gives no binding. A -PLUS for a hash that
            // setSaslMechanisms excludes counts as none: a relay that left
            // just that one would otherwise silence the "y".
            const ChannelBinding binding =
                encryptionActive_ ? chooseChannelBinding(encryptionImpl(), offer_->binding) : ChannelBinding{};
            const int plus = offer_->usableMechanisms() & (SaslScramSha1Plus | SaslScramSha256Plus);
            const bool plusOffered = ((plus & SaslScramSha1Plus) && allowed(SaslScramSha1Plus)) ||
                                     ((plus & SaslScramSha256Plus) && allowed(SaslScramSha256Plus));
            if (isPlus(mechanism)) {
                bindingType_ = binding.type;
                scram_->setChannelBinding("p=" + binding.type, binding.data);
            } else if (!binding.type.empty() && !plusOffered) {
                bindingFlagY_ = true;
                scram_->setChannelBinding("y");
            } else if (plusOffered && binding.type.empty() && encryptionActive_) {
                logger_.log(LogWarning, LogAreaClient,
                            "the server offers channel binding, but this TLS layer can give none; "
                            "authenticating without it");
            }
            if (!pipelined_) scram_->setOfferedLists(offeredListsText(offer_->names(), offer_->binding));
            return scram_->clientFirst();
        }
        default: return std::string();
    }
}

void Client::startSasl(int mechanism) {
    selectedMechanism_ = mechanism;
    saslChallenges_ = 0;
    serverVerified_ = false;
    digestRspauth_.clear();
    bindingType_.clear();
    bindingFlagY_ = false;
    inlineResume_ = bind2Sent_ = smInline_ = false;
    sasl2_ = offer_->sasl2;
    setAuthenticating(true);
    // A pipelined exchange waits for the server's header and features first.
    if (!pipelined_) enterStep(sasl2_ ? StreamStep::Sasl2 : StreamStep::Sasl);
    const std::string first = initialResponse(mechanism);
    const bool hasFirst = mechanism != SaslDigestMd5;
    XmlTag* element;
    if (sasl2_) {
        element = buildAuthenticate(mechanismName(mechanism), hasFirst ? &first : nullptr, userAgentId(requestedJid_),
                                    disco()->name());
        sasl2Extras(element);
    } else {
        element = new XmlTag("auth");
        element->setAttribute("xmlns", XMPP_XMLNS_STREAM_SASL);
        element->setAttribute("mechanism", mechanismName(mechanism));
        if (hasFirst) element->setText(mechanism == SaslAnonymous ? first : base64Encode(first));
    }
    authenticateSent_ = std::chrono::steady_clock::now();
    sendTag(element);
    if (inlineSmSent() && hasNoChallenge(mechanism)) setAnswerDeadline(authenticateSent_ + kInlineAnswerFloor);
}

// What SASL2 carries inline. A lost session is resumed (XEP-0198), where
// the server offers it; a new one is bound (Bind2) at login, while one is
// made afresh, and with a resumption, for the server to bind should the
// session be gone; stream management is enabled inside Bind2 where the
// server lists it there. Neither is asked of a server that left such a
// request unanswered before. The tag is the host's resource, never one a
// server gave: that would grow a suffix with every login.
XmlTag* Client::sasl2Extras(XmlTag* authenticate) {
    StreamManagement* sm = streamManagement();
    const bool recovering = sm->resuming();
    const bool inlineSmWorks = KnownServers::inlineSmWorks(serverKey());
    inlineResume_ = recovering && !sm->renewing() && offer_->inlineResume && inlineSmWorks;
    if (inlineResume_) authenticate->appendChild(sm->resumeRequest());
    bind2Sent_ = offer_->bind2 && (!recovering || sm->renewing() || inlineResume_);
    smInline_ = bind2Sent_ && offer_->bind2Sm && sm->wanted() && inlineSmWorks;
    if (bind2Sent_) authenticate->appendChild(buildBind2(requestedJid_.resource(), offer_->bind2Csi, smInline_));
    return authenticate;
}

void Client::sendSaslResponse(const std::string& text, bool encode) {
    XmlTag* response = new XmlTag("response");
    response->setAttribute("xmlns", sasl2_ ? sasl2::kNamespace : XMPP_XMLNS_STREAM_SASL);
    if (!text.empty()) response->setText(encode ? base64Encode(text) : text);
    sendTag(response);
    if (inlineSmSent()) {
        // A server that cannot resume inline may never answer: it gets a
        // few times what the exchange took so far.
        const auto now = std::chrono::steady_clock::now();
        setAnswerDeadline(now + std::max<std::chrono::steady_clock::duration>(kInlineAnswerFloor,
                                                                              4 * (now - authenticateSent_)));
    }
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
    a.update(latin1WherePossible(user) + ":" + latin1WherePossible(realm) + ":" + latin1WherePossible(password));
    MD5 ha1;
    ha1.update(a.rawDigest() + ":" + nonce + ":" + cnonce);
    MD5 ha2;
    ha2.update((server ? ":" : "AUTHENTICATE:") + digestUri);
    MD5 response;
    response.update(ha1.hexDigest() + ":" + nonce + ":00000001:" + cnonce + ":auth:" + ha2.hexDigest());
    return response.hexDigest();
}

void Client::abortSasl(const std::string& why, ConnectionError reason) {
    logger_.log(LogError, LogAreaClient, why);
    XmlTag* abort = new XmlTag("abort");
    abort->setAttribute("xmlns", sasl2_ ? sasl2::kNamespace : XMPP_XMLNS_STREAM_SASL);
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
            // left, as when no mechanism is allowed at all. Lists that differ
            // from what the server sent: this connection is not the server's.
            const ConnectionError reason = !scram_                          ? AuthenticationFailed
                                           : scram_->refusedForIterations() ? NoSupportedAuth
                                           : scram_->listsDiffered()        ? TlsFailed
                                                                            : AuthenticationFailed;
            abortSasl("SASL SCRAM: " + error, reason);
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
    const bool scram = isScram(selectedMechanism_);
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

// ---- the server's answers -------------------------------------------------

void Client::handleSaslChallenge(const Stanza& challenge) {
    logger_.log(LogDebug, LogAreaClient, "processing SASL challenge");
    const std::string decoded = base64Decode(challenge.text());
    if (isScram(selectedMechanism_))
        processScramChallenge(decoded);
    else if (selectedMechanism_ == SaslDigestMd5)
        processDigestChallenge(decoded);
    else  // none expected: answering each would let a server go on without end
        abortSasl(std::string("SASL ") + mechanismName(selectedMechanism_) + ": the server sent a challenge, which "
                  "this mechanism does not have");
}

void Client::handleSaslSuccess(const Stanza& success) {
    if (!serverProvedItself(base64Decode(success.text()))) return;
    logger_.log(LogDebug, LogAreaClient, "SASL authentication successful");
    rememberOffer();
    authed_ = true;
    streamAuthenticated();
    setAuthenticating(false);
    enterStep(StreamStep::Header);
    header();
}

void Client::handleSaslFailure(const Stanza& failure) {
    logger_.log(LogError, LogAreaClient, "SASL authentication failed!");
    // A bound login fails where the server's connection is not ours, and a
    // server that binds logins refuses "y" where someone removed -PLUS
    // from its offer; neither is tried again without.
    if (!bindingType_.empty())
        logger_.log(LogError, LogAreaClient,
                    "the login was bound to this TLS connection (" + bindingType_ +
                        "): either the password is wrong or the connection is not the server's own, and someone in "
                        "the path may be intercepting it");
    else if (bindingFlagY_)
        logger_.log(LogError, LogAreaClient,
                    "the server refused a login that said this client can bind it to the TLS connection: if the "
                    "server binds logins, its offer of -PLUS was removed on the way, and someone in the path may be "
                    "intercepting the connection");
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

void Client::handleSasl2Continue(const Stanza&) {
    abortSasl("SASL2: the server asks for further steps after authentication, which this client does not take");
}

// The address the server gives the session, in a bind answer or SASL2's
// success: the account's own (the one it acts for, with an authorization
// identity), in the server's form (cases may differ), or for an anonymous
// login one of the domain's that the server chose; once bound, with a
// resource, which may differ from the one asked for.
bool Client::acceptAuthorizationId(const std::string& id, bool bound) {
    if (id.empty()) return !bound;
    const JID address(id);
    if (bound && address.resource().empty()) return false;
    if (selectedMechanism_ == SaslAnonymous) return JID(address.server()).sameBareAs(JID(jid_.server()));
    const JID& account = authzid_.server().empty() ? jid_ : authzid_;
    return sameUserPart(address.username(), account.username()) &&
           JID(address.server()).sameBareAs(JID(account.server()));
}

// No stream restart: the session may be bound or resumed already; the
// server's features follow either way.
void Client::handleSasl2Success(const Stanza& success) {
    setAnswerDeadline(std::chrono::steady_clock::time_point());
    const Sasl2Success s = readSasl2Success(success);
    if (!serverProvedItself(s.additionalData)) return;
    if ((s.bound && !bind2Sent_) || ((s.resumed || s.resumeFailed) && !inlineResume_) || (s.boundSm && !smInline_)) {
        refuseElement(success, StreamErrorPolicyViolation, "answering a request this client did not make");
        return;
    }
    // XEP-0388 requires it (Prosody sends it, bound or not).
    if (s.authorizationId.empty()) {
        refuseElement(success, StreamErrorPolicyViolation, "without the authorization identifier SASL2 requires");
        return;
    }
    if (!acceptAuthorizationId(s.authorizationId, s.bound != nullptr)) {
        refuseElement(success, StreamErrorPolicyViolation,
                      "naming '" + s.authorizationId + "', not an address of this account, as the session's");
        return;
    }
    logger_.log(LogDebug, LogAreaClient, "SASL2 authentication successful");
    rememberOffer();
    authed_ = true;
    streamAuthenticated();
    setAuthenticating(false);
    StreamManagement* sm = streamManagement();
    if (s.resumed) {
        sasl2FeaturesDue_ = true;
        if (handleStreamManagement(*s.resumed) != ElementVerdict::Handled)
            refuseElement(*s.resumed, StreamErrorPolicyViolation);
        return;
    }
    if (s.resumeFailed) {
        std::string problem;
        if (sm->handle(*s.resumeFailed, problem) == StreamManagement::CountTooHigh) {
            refuseElement(*s.resumeFailed, StreamErrorUndefinedCondition, "acknowledging more stanzas than were sent",
                          problem);
            return;
        }
    }
    if (s.bound) {
        sasl2FeaturesDue_ = true;
        if (sm->resuming()) {
            // The session is gone (or a new one was being made): this one
            // replaces it.
            inlineBound_ = std::make_unique<JID>(s.authorizationId);
            inlineSmAnswer_ = s.boundSm;
            renewSession();
            inlineSmAnswer_ = nullptr;
            return;
        }
        boundInline(JID(s.authorizationId), s.boundSm);
        return;
    }
    if (s.resumeFailed) {
        renewSession();  // bound once the server's features come
        return;
    }
    enterStep(StreamStep::Features);
}

// Bind2 bound the session. Stream management enabled inside it is on (or
// refused) as its answer in <bound> says, under the checks of a top-level
// answer; where the server left it unanswered, or it was not asked for
// inline, the request goes with the session's first ones.
void Client::boundInline(const JID& address, const XmlTag* smAnswer) {
    if (smAnswer) {
        StreamManagement* sm = streamManagement();
        sm->enable(true);
        std::string problem;
        if (sm->handle(*smAnswer, problem) != StreamManagement::Consumed) {
            refuseElement(*smAnswer, StreamErrorPolicyViolation, problem);
            return;
        }
    } else if (smInline_) {
        logger_.log(LogWarning, LogAreaClient,
                    "the server bound the session without answering the stream management enabled inside Bind2; "
                    "enabling it on its own");
    }
    jid_ = address;
    notifyStreamEvent(StreamEventResourceBinding);
    sessionBound(!smAnswer && (offer_->bind2Sm || offer_->inlineResume), false);
}

// The features that follow SASL2's success on a session bound or resumed
// with it: stream management, where it was not on yet (nor answered inside
// Bind2). Once.
void Client::handleFeaturesAfterSasl2(const Stanza& features) {
    if (!sasl2FeaturesDue_) {
        refuseElement(features, StreamErrorPolicyViolation);
        return;
    }
    sasl2FeaturesDue_ = false;
    if (!features.hasChild("sm", "xmlns", StreamManagement::kNamespace)) return;
    streamFeatures_ |= StreamFeatureStreamManagement;
    StreamManagement* sm = streamManagement();
    if (bound_ && sm->wanted() && !sm->counting() && !smInline_) sm->enable();
}

// ---- pipelining -----------------------------------------------------------

// The server, and the way to it: what one connection learned holds for the
// next one of the same kind.
std::string Client::serverPath() const {
    const NetworkUtil* c = connectionImpl();
    return jid_.server() + "|" + std::to_string(port_) + "|" + (c && c->directTls() ? "direct" : "starttls");
}

int Client::tlsVersion() const {
    const TLSBase* tls = encryptionImpl();
    return encryptionActive_ && tls ? tls->protocolVersion() : 0;
}

std::string Client::serverKey() const { return serverPath() + "|" + std::to_string(tlsVersion()); }

// A server that offered more on an earlier connection of this process (a
// SCRAM mechanism, one with channel binding, SASL2; counting only the
// mechanisms this login may use), or that no longer
// offers what the <authenticate> sent with the header chose: whoever
// removed it wants a login it can read or carry, PLAIN above all, which
// binding cannot protect. The login ends as for a refused certificate,
// and never goes on with a weaker exchange.
bool Client::offerWeakerThanBefore() {
    const int missing = offerStrength(KnownServers::strongestOffered(serverPath(), tlsVersion()), saslMechanisms_) &
                        ~offerStrength(offeredBits(*offer_), saslMechanisms_);
    const bool chosenGone = pipelined_ && !(offer_->sasl2 && (offer_->sasl2Mechanisms & selectedMechanism_));
    if (!missing && !chosenGone) return false;
    const std::string what =
        missing ? "no longer offers " + offerStrengthNames(missing) + ", as it did on an earlier connection"
                : std::string("no longer offers ") + mechanismName(selectedMechanism_) +
                      " over SASL2, which the authentication sent with the stream header chose";
    logger_.log(LogError, LogAreaClient,
                "the server " + what + ": someone in the path may be intercepting the connection; the login ends here");
    disconnect(TlsFailed);
    return true;
}

// Only a login that succeeded (SCRAM's and DIGEST-MD5's with the server's
// proof) teaches the process what a server offers over TLS: a connection
// that failed, a relay's for one, cannot plant a stronger offer that would
// end every later login.
void Client::rememberOffer() {
    if (!encryptionActive_ || !offer_) return;
    KnownServers::remember(serverKey(), *offer_);
    KnownServers::rememberStrength(serverPath(), tlsVersion(), *offer_);
}

// A server this process has logged in to over the same kind of TLS
// connection offered SASL2: the <authenticate> goes with the header,
// without waiting for the features (checked when they come).
void Client::encryptedStreamOpening() {
    pipelined_ = false;
    if (authed_ || !hasCredentials_ || password_.empty()) return;
    LoginOffer known;
    if (!KnownServers::recall(serverKey(), known) || !known.sasl2) return;
    if (!saslPrep(jid_.username(), saslUser_) || !saslPrep(password_, saslPassword_)) return;
    offer_ = std::make_unique<LoginOffer>(known);
    const int mechanism = chooseMechanism(*offer_);
    if (!mechanism) return;
    pipelined_ = true;
    logger_.log(LogDebug, LogAreaClient, "authenticating with the stream header, as this server offered before");
    notifyStreamEvent(StreamEventAuthentication);
    startSasl(mechanism);
}

// A server that never answers stream management inside SASL2 (Prosody
// 0.12.3's mod_sasl2_sm, whose handler fails) gets it after authentication
// from now on. A recovery's next attempt does so; a login starts again at
// once on a new connection, unknown to the listeners.
bool Client::answerOverdue() {
    if (!inlineSmSent()) return false;
    KnownServers::inlineSmUnanswered(serverKey());
    logger_.log(LogWarning, LogAreaClient,
                "the server did not answer an authentication that carries stream management inline (XEP-0198 in "
                "SASL2); with this server it goes after authenticating from now on");
    return !streamManagement()->resuming();
}

}  // namespace tern

// A client session: reads the server's stream features and, in a fixed
// order of preference, starts TLS, authenticates (SASL2 where offered, else
// SASL or legacy), binds a resource (inline with SASL2 where the server
// offers Bind2), starts a session, fetches the roster, sends the initial
// presence and tells every listener that the client is connected. Each of
// those steps acts only on the elements it expects (see StreamStep).
#ifndef TERN_CLIENT_CLIENT_H
#define TERN_CLIENT_CLIENT_H

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "ClientBase.h"
#include "Scram.h"

namespace tern {

class NonSaslAuth;
class RosterManager;
class XmlTag;
struct LoginOffer;

// Bits of Client::streamFeatures().
enum StreamFeature {
    StreamFeatureBind = 0x1,
    StreamFeatureSession = 0x2,
    StreamFeatureStartTls = 0x8,
    StreamFeatureIqRegister = 0x10,
    StreamFeatureIqAuth = 0x20,
    StreamFeatureCompressZlib = 0x40,
    StreamFeatureCompressDclz = 0x80,
    StreamFeatureStreamManagement = 0x10000,
    StreamFeatureSessionOptional = 0x20000,  // the session request may be left out
    StreamFeatureSasl2 = 0x80000,            // SASL2 (XEP-0388)
};

// SASL mechanisms, as offered by a server and as allowed by saslMechanisms.
enum SaslMechanism {
    SaslDigestMd5 = 0x100,
    SaslPlain = 0x200,
    SaslAnonymous = 0x400,
    SaslExternal = 0x800,
    SaslGssapi = 0x1000,
    SaslScramSha1 = 0x2000,
    SaslScramSha256 = 0x4000,
    // With channel binding (RFC 5802): offered by the server as their own
    // mechanisms, allowed by saslMechanisms with their base mechanism's bit.
    SaslScramSha1Plus = 0x8000,
    SaslScramSha256Plus = 0x40000,
};

// authError values: SASL failure conditions, then legacy-authentication errors.
enum AuthenticationError {
    AuthErrorUndefined = 0,
    SaslAborted = 1,
    SaslIncorrectEncoding = 2,
    SaslInvalidAuthzid = 3,
    SaslInvalidMechanism = 4,
    SaslMechanismTooWeak = 5,
    SaslNotAuthorized = 6,
    SaslTemporaryAuthFailure = 7,
    NonSaslConflict = 8,
    NonSaslNotAcceptable = 9,
    NonSaslNotAuthorized = 10,
};

// The DIGEST-MD5 "response" value (RFC 2831, qop=auth, nc=00000001); with
// server set, the "rspauth" value the server proves itself with. The
// strings are UTF-8; each that ISO 8859-1 can hold is hashed in it.
std::string digestMd5Response(const std::string& user, const std::string& realm, const std::string& password,
                              const std::string& nonce, const std::string& cnonce, const std::string& digestUri,
                              bool server = false);

class Client : public ClientBase, public IqHandler {
public:
    // SCRAM's least iteration count on a stream without TLS (RFC 7677):
    // fewer would make an eavesdropper's offline guessing cheap.
    static constexpr unsigned kMinPlaintextScramIterations = 4096;

    // A client for a server alone, without credentials (registration).
    explicit Client(const std::string& server);
    // port -1 finds the server by DNS SRV. An address with a user part logs
    // in with the password (or, without one, with the client certificate
    // through EXTERNAL); one without a user part and without a password
    // logs in anonymously. Nothing else is tried in their place.
    Client(const JID& jid, const std::string& password, int port = -1);
    ~Client() override;

    // priority is clamped to -128..127; presence 0 sends none.
    void setPresence(int presence, int priority, const std::string& status);
    void sendPresence();
    void disableRoster();
    void disconnect(ConnectionError reason) override;
    void disconnect() { disconnect(UserDisconnected); }
    RosterManager* rosterManager() const { return rosterManager_.get(); }
    void sessionReady() override;

    int streamFeatures() const { return streamFeatures_; }
    bool bound() const { return bound_; }
    int authError() const { return authError_; }
    int selectedMechanism() const { return selectedMechanism_; }
    bool hasCredentials() const { return hasCredentials_; }
    // Fixes the DIGEST-MD5 and SCRAM client nonce (tests); empty takes it
    // from the system's random source again.
    void setSaslClientNonce(const std::string& cnonce) { fixedCnonce_ = cnonce; }

    // IqHandler: the answers to the bind and session requests.
    bool handleIqByNamespace(Stanza*) override { return false; }
    bool handleIqById(Stanza* stanza, int context) override;

protected:
    void streamStarted() override {}
    ElementVerdict handleNormalTag(Stanza* stanza) override;
    std::string credentialProblem() const override;
    void resetState() override;
    void streamResumed() override { bound_ = true; }
    void startNewSession() override;
    void encryptedStreamOpening() override;
    bool answerOverdue() override;

private:
    friend class NonSaslAuth;
    enum RequestContext { BindRequest = 1, SessionRequest = 2 };
    struct Expected;
    static const Expected kExpected[];

    void handleFeatures(const Stanza& features);
    void handleProceed(const Stanza&);
    void handleTlsRefused(const Stanza&);
    void handleSaslChallenge(const Stanza& challenge);
    void handleSaslSuccess(const Stanza& success);
    void handleSaslFailure(const Stanza& failure);
    void handleSasl2Success(const Stanza& success);
    void handleSasl2Continue(const Stanza&);
    void handleFeaturesAfterSasl2(const Stanza& features);
    void authenticate();
    bool mayUseOnThisStream(int mechanism);
    bool prepareCredentials();
    int chooseMechanism(const LoginOffer& offer);
    bool allowed(int mechanism) const;
    void startSasl(int mechanism);
    std::string initialResponse(int mechanism);
    XmlTag* sasl2Extras(XmlTag* authenticate);
    bool acceptAuthorizationId(const std::string& id, bool bound);
    void boundInline(const JID& address, const XmlTag* smAnswer);
    bool inlineSmSent() const { return inlineResume_ || smInline_; }
    std::string serverPath() const;
    int tlsVersion() const;
    std::string serverKey() const;
    bool offerWeakerThanBefore();
    void rememberOffer();
    void processScramChallenge(const std::string& decoded);
    void processDigestChallenge(const std::string& decoded);
    bool serverProvedItself(const std::string& decoded);
    void abortSasl(const std::string& why, ConnectionError reason = AuthenticationFailed);
    void sendSaslResponse(const std::string& text, bool encode);
    void bindResource();
    void handleBindReply(const Stanza& reply);
    void sessionBound(bool manageStream, bool askSession);
    void createSession();
    void handleSessionReply(const Stanza& reply);
    void connectedStep();
    std::string clientNonce() const;

    std::unique_ptr<RosterManager> rosterManager_;
    std::unique_ptr<NonSaslAuth> nonSaslAuth_;
    std::mutex presenceMutex_;
    int presence_ = PresenceShowAvailable;
    std::string status_;
    int priority_ = 0;
    std::atomic<bool> bound_{false};
    bool manageRoster_ = true;
    bool hasCredentials_;
    std::atomic<int> streamFeatures_{0};
    std::atomic<int> selectedMechanism_{0};
    std::atomic<int> authError_{AuthErrorUndefined};
    int saslChallenges_ = 0;
    std::string fixedCnonce_;
    // The user name and password as SASL mechanisms send them (SASLprep).
    std::string saslUser_;
    std::string saslPassword_;
    std::unique_ptr<ScramClient> scram_;
    std::string digestRspauth_;  // what the server must answer with
    bool serverVerified_ = false;
    // What SCRAM derived from the password at login: a reconnection to
    // resume the session does not run PBKDF2 again.
    ScramClient::SaltedPasswordCache saltedPassword_;
    // This stream's offer (what its features said, or what an earlier
    // connection to the server learned while they are still due).
    std::unique_ptr<LoginOffer> offer_;
    std::string bindingType_;  // the channel binding of a -PLUS exchange
    bool bindingFlagY_ = false;  // the exchange said "y": binding possible, none offered
    // The receiving thread's; cleared by whichever thread ends a connection.
    std::atomic<bool> sasl2_{false};         // the exchange under way is SASL2's
    std::atomic<bool> pipelined_{false};     // its <authenticate> went with the header (till features come)
    std::atomic<bool> inlineResume_{false};  // ... and resumes the session inline
    std::atomic<bool> bind2Sent_{false};     // ... and binds one with Bind2
    std::atomic<bool> smInline_{false};      // ... and enables stream management inside it
    std::atomic<bool> sasl2FeaturesDue_{false};  // the features after SASL2's success are still to come
    std::unique_ptr<JID> inlineBound_;  // the address Bind2 gave a session made afresh
    const XmlTag* inlineSmAnswer_ = nullptr;  // ... and what <bound> said of stream management (while handled)
    // The address as the host gave it: the server's answers change jid_'s
    // resource (Bind2 adds a suffix to the tag), the user agent and the
    // tag of every later login stay as they were.
    JID requestedJid_;
    std::chrono::steady_clock::time_point authenticateSent_;
};

}  // namespace tern

#endif

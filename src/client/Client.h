// A client session: reads the server's stream features and, in a fixed
// order of preference, starts TLS, authenticates (SASL or legacy), binds a
// resource, starts a session, fetches the roster, sends the initial
// presence and tells every listener that the client is connected. Each of
// those steps acts only on the elements it expects (see StreamStep).
#ifndef TERN_CLIENT_CLIENT_H
#define TERN_CLIENT_CLIENT_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "ClientBase.h"
#include "Scram.h"

namespace tern {

class NonSaslAuth;
class RosterManager;

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
// server set, the "rspauth" value the server proves itself with.
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
    void authenticate();
    bool mayUseOnThisStream(int mechanism);
    void startSasl(int mechanism);
    void processScramChallenge(const std::string& decoded);
    void processDigestChallenge(const std::string& decoded);
    bool serverProvedItself(const std::string& decoded);
    void abortSasl(const std::string& why, ConnectionError reason = AuthenticationFailed);
    void sendSaslResponse(const std::string& text, bool encode);
    void bindResource();
    void handleBindReply(const Stanza& reply);
    void createSession();
    void handleSessionReply(const Stanza& reply);
    void connectedStep();
    bool usable(int mechanism) const { return (streamFeatures_ & mechanism) && (saslMechanisms_ & mechanism); }
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
};

}  // namespace tern

#endif

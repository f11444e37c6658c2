// The engine under every XMPP session: owns the transport and the optional
// TLS and compression layers, writes the stream header, feeds received bytes
// through the layers into the parser, turns each top-level element into a
// Stanza and dispatches it, keeps the handler registries, makes and tracks
// ids, answers iq requests nobody handled, and tells listeners about the
// connection.
//
// Threads: parsing, dispatch and every handler run on the thread that drives
// the connection. Any thread may send, register or unregister handlers, and
// disconnect; the registries are guarded, and no lock is held while a
// handler runs, so a handler may (un)register itself or send from inside.
// Removing a handler from another thread waits for a dispatch in progress,
// so the handler may be destroyed as soon as the removal returns.
#ifndef TERN_CLIENT_CLIENTBASE_H
#define TERN_CLIENT_CLIENTBASE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Handlers.h"
#include "LogExport.h"
#include "PendingStanza.h"
#include "StreamStep.h"
#include "Timers.h"
#include "../stanza/JID.h"
#include "../stanza/Stanza.h"
#include "../transport/CompactionBase.h"
#include "../transport/NetworkUtil.h"
#include "../transport/TLSBase.h"
#include "../xml/XmlParser.h"

namespace tern {

class ServiceDiscovery;

enum TlsPolicy { TlsDisabled = 0, TlsOptional = 1, TlsRequired = 2 };

// What may travel without TLS. ProtectPassword keeps the password itself
// (PLAIN, legacy plaintext authentication, registration) off plaintext
// streams; Required sends no credential at all without TLS.
enum EncryptionPolicy { EncryptionAllowPlaintext = 0, EncryptionProtectPassword = 1, EncryptionRequired = 2 };

// Stream error conditions (RFC 3920), as recorded from a stream:error.
enum StreamErrorCondition {
    StreamErrorUndefined = 0,
    StreamErrorBadFormat,
    StreamErrorBadNamespacePrefix,
    StreamErrorConflict,
    StreamErrorConnectionTimeout,
    StreamErrorHostGone,
    StreamErrorHostUnknown,
    StreamErrorImproperAddressing,
    StreamErrorInternalServerError,
    StreamErrorInvalidFrom,
    StreamErrorInvalidId,
    StreamErrorInvalidNamespace,
    StreamErrorInvalidXml,
    StreamErrorNotAuthorized,
    StreamErrorPolicyViolation,
    StreamErrorRemoteConnectionFailed,
    StreamErrorResourceConstraint,
    StreamErrorRestrictedXml,
    StreamErrorSeeOtherHost,
    StreamErrorSystemShutdown,
    StreamErrorUndefinedCondition,
    StreamErrorUnsupportedEncoding,
    StreamErrorUnsupportedStanzaType,
    StreamErrorUnsupportedVersion,
    StreamErrorXmlNotWellFormed,
    StreamErrorReset,
    StreamErrorNotWellFormed,
    StreamErrorUnsupportedFeature,
};

class KeepAlive;
class StreamManagement;

class ClientBase : public XmlTagHandler,
                   public NetworkDataHandler,
                   public CompactionDataHandler,
                   public TLSHandler {
public:
    static constexpr int kDefaultNegotiationTimeoutMs = 60000;
    // How long what a disconnect() leaves to write may take to go out, on a
    // thread of its own, before the socket closes regardless.
    static constexpr int kClosingLingerMs = 60000;

    ClientBase(const std::string& ns, const std::string& server, int port = -1);
    ClientBase(const std::string& ns, const std::string& password, const std::string& server, int port = -1);
    ~ClientBase() override;
    ClientBase(const ClientBase&) = delete;
    ClientBase& operator=(const ClientBase&) = delete;

    // XmlTagHandler: every top-level element of the stream, and its end.
    void handleXmlTag(XmlTag* tag) override;
    void handleStreamEnd() override;

    virtual const std::string username() const { return jid_.username(); }
    virtual const std::string password() const { return password_; }
    virtual ServiceDiscovery* disco() const { return disco_.get(); }
    // Serialises, sends and destroys the element (null is ignored).
    virtual void sendTag(XmlTag* tag);
    virtual void disconnect(ConnectionError reason);
    virtual bool checkStreamVersion(const std::string& version);

    // Starts connecting. With block set, returns only when the connection
    // has ended. True when the attempt started (or one is under way).
    bool connect(bool block = true);
    // One receive pass: waits at most timeoutUs (-1: no limit) for data.
    // NotConnected when there is no usable connection.
    ConnectionError receive(int timeoutUs = -1);
    void disconnect() { disconnect(UserDisconnected); }
    // Ends a wait for data, or a connection attempt, on the receiving thread
    // at once (receive then returns NotConnected); the stream is not closed.
    void interruptReceive();
    // Ends a wait for data on the receiving thread, which returns from
    // receive() with nothing changed (work was queued for it).
    void wakeReceive();
    // Holds the order of stanzas while no write holds it; empty (not owning)
    // when one does, perhaps stuck on a full socket. For a last word that
    // should not wait behind it: a logout's leave.
    std::unique_lock<std::recursive_mutex> idleWriter();
    void sendTag(std::unique_ptr<XmlTag> tag) { sendTag(tag.release()); }
    void sendRaw(const std::string& text);
    void header();
    // A fresh id: 64 bits from the system's random source, so that nobody
    // can answer a request before its addressee does.
    std::string newId();
    // Ids from this function instead (tests that compare the wire byte for
    // byte). Set it before connecting.
    void setIdSource(std::function<std::string()> source) { idSource_ = std::move(source); }

    void addNetworkListener(NetworkListener* listener);
    void removeNetworkListener(NetworkListener* listener);
    void addIqHandler(IqHandler* handler, const std::string& ns);
    void removeIqHandler(const std::string& ns);
    // The answer to the request with this id goes to handler's handleIqById
    // with the context, once, and only when it comes from the address the
    // request went to: for a request to the account itself (no 'to', its
    // bare JID or its server) only the server, without 'from' or from the
    // account's bare JID or domain. Answers from anyone else are unsolicited.
    void trackIqId(IqHandler* handler, const std::string& id, int context, const JID& to = JID());
    // Tracks the request by its id and 'to', and sends it.
    void sendIq(XmlTag* iq, IqHandler* handler, int context);
    // A stanza of a session the server forgot, sent again as it was.
    void sendAgain(const PendingStanza& stanza);
    // Stanzas of the session that will not arrive, for the listeners
    // (handleNotSent); services that held some call it too.
    void reportNotSent(const std::vector<PendingStanza>& stanzas, NotSentReason reason);
    void removeIqIdHandler(IqHandler* handler);
    void addPresenceHandler(PresenceHandler* handler);
    void removePresenceHandler(PresenceHandler* handler);
    void addPresenceHandler(const JID& jid, PresenceHandler* handler);
    void removePresenceHandler(const JID& jid, PresenceHandler* handler);
    void addSubscriptionHandler(SubscriptionHandler* handler);
    void removeSubscriptionHandler(SubscriptionHandler* handler);
    // The engine owns the session from now on.
    void addMessageSession(MessageSessionBase* session);
    void disposeMessageSession(MessageSessionBase* session);
    // Returns once a stanza dispatch under way on another thread has ended
    // (at once on the dispatching thread itself). Services that keep
    // handlers of their own call it after removing one.
    void waitForDispatch();

    LogExport& logInstance() { return logger_; }
    void setCompression(bool compress) { compress_ = compress; }

    // Settings.
    const JID& jid() const { return jid_; }
    const JID& authzid() const { return authzid_; }
    void setAuthzid(const JID& authzid) { authzid_ = authzid; }
    const std::string& server() const { return server_; }
    int port() const { return port_; }
    void setTlsPolicy(TlsPolicy policy) { tlsPolicy_ = policy; }
    TlsPolicy tlsPolicy() const { return tlsPolicy_; }
    void setEncryptionPolicy(EncryptionPolicy policy) { encryptionPolicy_ = policy; }
    EncryptionPolicy encryptionPolicy() const { return encryptionPolicy_; }
    // Whether the password itself may be sent on the stream as it is now.
    bool passwordMayTravel() const { return encryptionActive_ || encryptionPolicy_ == EncryptionAllowPlaintext; }
    // TLS protects the stream as it is now.
    bool encrypted() const { return encryptionActive_; }
    void setSaslMechanisms(int mask) { saslMechanisms_ = mask; }
    int saslMechanisms() const { return saslMechanisms_; }
    void setCACerts(const StringList& certs) { caCerts_ = certs; }
    const StringList& caCerts() const { return caCerts_; }
    void setClientCert(const std::string& key, const std::string& certs) {
        clientKey_ = key;
        clientCerts_ = certs;
    }
    void setXmlLang(const std::string& lang) { xmlLang_ = lang; }
    const std::string& streamId() const { return streamId_; }
    bool authed() const { return authed_; }
    // Where the connection is in its negotiation (see StreamStep).
    StreamStep step() const { return step_.load(); }
    // Time from connecting until the session is ready; a stream that stalls
    // longer is ended (AuthenticationFailed while authenticating, else
    // NotConnected). Checked in receive().
    void setNegotiationTimeout(int ms) { negotiationTimeoutMs_ = ms; }
    // Once the session is up: after idleMs without data the server is
    // pinged, and when nothing arrives within timeoutMs after that the
    // connection ends with IoError. 0 turns the probe off. Defaults: 60 s, 30 s.
    void setKeepAlive(int idleMs, int timeoutMs);
    // Stream management (XEP-0198): acknowledgements, and resumption of the
    // session when the connection is lost (I/O error, end of stream, the
    // keepalive timeout) without a stream error and without disconnect():
    // listeners hear of the loss only when resumption fails, and then with
    // its first reason. On by default, used where the server offers it.
    StreamManagement* streamManagement() const { return sm_.get(); }
    // Deadlines of services, fired on the receiving thread while connected.
    Timers& timers() { return timers_; }
    // Limits on received elements (see XmlParser).
    void setParserLimits(std::size_t maxDepth, std::size_t maxElementSize);

    // What the last stream error said, and whether the server said it (not
    // this engine, refusing what the server sent).
    StreamErrorCondition streamError() const { return streamError_; }
    bool streamErrorFromServer() const { return streamErrorFromServer_; }
    std::string streamErrorText(const std::string& lang = "default") const;
    const std::string& seeOtherHost() const { return seeOtherHost_; }
    const XmlTag* streamErrorAppCondition() const { return streamErrorAppCondition_.get(); }

    ConnectionState state() const {
        NetworkUtil* c = conn();
        return c ? c->state() : StateDisconnected;
    }
    // Connected, and no write has found the connection broken yet: what is
    // sent now may get through (its end is reported on the receiving thread).
    bool writable() const { return state() == StateConnected && live_ && endOnReceiver_.load() < 0; }
    // Uses this transport instead of a TCP connection (tests, other
    // transports); the engine owns it. Only while not connected.
    void setConnectionImpl(NetworkUtil* connection);
    NetworkUtil* connectionImpl() const { return conn(); }
    // A compressor to negotiate with; owned. None by default.
    void setCompressionImpl(CompactionBase* compression);
    // A TLS object instead of the build's default; owned.
    void setEncryptionImpl(TLSBase* tls);
    TLSBase* encryptionImpl() const { return encryption_.get(); }

    // NetworkDataHandler
    void onDataReceived(NetworkUtil* connection, const std::string& data) override;
    void onConnected(NetworkUtil* connection) override;
    void onDisconnected(NetworkUtil* connection, ConnectionError reason) override;
    // CompactionDataHandler
    void onCompressed(const std::string& data) override;
    void onDecompressed(const std::string& data) override;
    // TLSHandler
    void onEncrypted(TLSBase* tls, const std::string& data) override;
    void onDecrypted(TLSBase* tls, const std::string& data) override;
    void onHandshakeResult(TLSBase* tls, bool success, CertificateInfo& info) override;

    // Whether this build can make a TLS object.
    static bool tlsAvailable();

    // The session is established (the roster, when managed, has arrived).
    virtual void sessionReady() = 0;

protected:
    virtual void streamStarted() = 0;
    enum class ElementVerdict { Handled, OutOfTurn, Unknown };
    // Every element that is neither a stanza, nor the header, nor a stream
    // error, nor stream management: the step's handler runs when it is one
    // the current step expects; OutOfTurn when another step expects it.
    virtual ElementVerdict handleNormalTag(Stanza* stanza) = 0;
    // Why the session cannot log in with what it was given (a log line), or
    // empty. Checked before anything is sent.
    virtual std::string credentialProblem() const { return std::string(); }
    void enterStep(StreamStep step);
    // This connection's stream has authenticated: from now on what the
    // server says about the session (a stream error, a clean close) counts.
    void streamAuthenticated() { authenticatedStream_ = true; }
    // Forgets what the parser holds; from inside a dispatch, the rest of the
    // chunk being read is dropped too.
    void resetParser();
    // The server broke the protocol: the stream error goes out, the log says
    // what came when, and the connection ends with StreamError.
    void refuseElement(const XmlTag& element, StreamErrorCondition condition, const std::string& why = std::string(),
                       const std::string& detail = std::string());
    virtual void resetState() {}
    // The session was resumed on a new connection.
    virtual void streamResumed() {}
    // Ends a resumption under way: listeners hear of the first loss.
    void giveUpResumption();
    // The server no longer knows the session: a new one is made on this
    // (authenticated) connection, through startNewSession.
    void renewSession();
    virtual void startNewSession() { giveUpResumption(); }
    // The new session is up (instead of notifyConnected).
    void sessionRenewed();
    // The stream header is going out over a new TLS connection: what is
    // sent from here goes in the same write.
    virtual void encryptedStreamOpening() {}
    // An answer the login waits for that must come sooner than the
    // negotiation's end: past the time, answerOverdue runs and the
    // connection ends with NotConnected, or, where it returns true, the
    // login starts again on a new connection without telling the
    // listeners. A default time point clears it.
    void setAnswerDeadline(std::chrono::steady_clock::time_point due) { answerDeadline_ = due; }
    virtual bool answerOverdue() { return false; }
    // An element of urn:xmpp:sm:3, also when SASL2's <success> carries it.
    ElementVerdict handleStreamManagement(const XmlTag& element);

    void notifyStreamEvent(StreamEvent event);
    void notifyConnected();
    void notifySessionStarting();
    // What is sent between the two (from any thread) goes out in one write,
    // in order (they nest).
    void beginWriteBatch();
    void endWriteBatch();
    // Negotiation is over (or authentication is): the deadline stops or
    // changes meaning.
    void setNegotiating(bool negotiating) { negotiating_ = negotiating; }
    void setAuthenticating(bool authenticating) { authenticating_ = authenticating; }
    std::vector<NetworkListener*> listenersSnapshot() const;

    JID jid_;
    JID authzid_;
    std::string clientCerts_;
    std::string clientKey_;
    std::string xmlns_;
    std::string password_;
    std::string xmlLang_ = "en";
    std::string server_;
    std::string streamId_;
    std::atomic<bool> compressionActive_{false};
    std::atomic<bool> encryptionActive_{false};
    bool compress_ = true;
    std::atomic<bool> authed_{false};
    bool block_ = false;
    TlsPolicy tlsPolicy_ = TlsOptional;
    std::atomic<EncryptionPolicy> encryptionPolicy_{EncryptionProtectPassword};
    int port_;
    int saslMechanisms_ = 0xFFFF;
    StringList caCerts_;
    LogExport logger_;

private:
    void reset();
    bool sendText(const std::string& text);
    void endConnection(ConnectionError reason, bool sendClose, std::vector<PendingStanza> unsent = {});
    void feedParser(const std::string& data);
    void parseStreamError(const Stanza& error);
    bool stanzaInTurn(const Stanza& stanza);
    void dispatchStanza(Stanza* stanza);
    void dispatchIq(Stanza* stanza);
    bool answersRequest(const JID& from, const JID& to) const;
    void dispatchMessage(Stanza* stanza);
    void dispatchPresence(Stanza* stanza);
    void dispatchSubscription(Stanza* stanza);
    void logOutgoing(const XmlTag& tag, const std::string& text);
    bool stillListed(const void* handler) const;
    void checkDeadline();
    std::unique_ptr<KeepAlive> keepAlive_;

    // Stream management: the order of stanzas on the wire is the order of
    // the unacknowledged queue, so keeping and writing a stanza (and the
    // resend after resumption) happen under one lock.
    void sendManaged(const XmlTag& tag);
    int writeDeadlineMs() const;
    // While a new session is made, before it is bound, a stanza other than
    // the binding's own requests waits for it: true when it was kept.
    bool waitForNewSession(const XmlTag& stanza);
    // An iq answer for a request of ours (tracked: its sender was checked).
    void requestAnswered(const Stanza& answer, bool tracked);
    void dropConnection();
    void suspendConnection();
    void connectAfresh();
    ConnectionError resumeStep(int timeoutUs);
    std::unique_ptr<StreamManagement> sm_;
    Timers timers_;
    int batchDepth_ = 0;  // with batch_, guarded by stanzaOrder_
    std::string batch_;
    std::recursive_mutex stanzaOrder_;
    void runBlockingLoop();

    // Made on the receiving thread, used from every thread: published
    // through connectionPtr_.
    NetworkUtil* conn() const { return connectionPtr_.load(std::memory_order_acquire); }
    void setConnection(std::unique_ptr<NetworkUtil> connection);
    std::unique_ptr<NetworkUtil> connection_;
    std::atomic<NetworkUtil*> connectionPtr_{nullptr};
    std::unique_ptr<TLSBase> encryption_;
    std::unique_ptr<CompactionBase> compression_;
    std::unique_ptr<ServiceDiscovery> disco_;
    std::unique_ptr<XmlParser> parser_;
    // Used only by the thread that feeds it (see feedParser).
    std::atomic<std::thread::id> feedingThread_{};
    std::atomic<bool> parserResetPending_{false};
    std::atomic<std::size_t> maxDepth_{XmlParser::kDefaultMaxDepth};
    std::atomic<std::size_t> maxElementSize_{XmlParser::kDefaultMaxElementSize};

    mutable std::mutex registryMutex_;
    std::vector<NetworkListener*> listeners_;
    std::map<std::string, IqHandler*> iqHandlers_;
    struct TrackedRequest {
        IqHandler* handler;
        int context;
        JID to;
    };
    std::map<std::string, TrackedRequest> trackedIds_;
    std::vector<MessageSessionBase*> messageSessions_;  // owned
    std::vector<MessageSessionBase*> disposedDuringDispatch_;
    std::vector<PresenceHandler*> presenceHandlers_;
    std::vector<std::pair<JID, PresenceHandler*>> jidPresenceHandlers_;
    std::vector<SubscriptionHandler*> subscriptionHandlers_;
    // The receiving thread's stanza dispatch, so that a handler removed by
    // another thread is not called after its removal returns.
    std::thread::id dispatchThread_;
    int dispatchDepth_ = 0;
    std::uint64_t dispatchSerial_ = 0;
    std::condition_variable dispatchDone_;
    void awaitDispatchElsewhere(std::unique_lock<std::mutex>& registryLock);

    std::atomic<StreamErrorCondition> streamError_{StreamErrorUndefined};
    std::atomic<bool> streamErrorFromServer_{false};
    std::unique_ptr<Stanza> spareStanza_;  // the receiving thread's, between elements
    std::map<std::string, std::string> streamErrorText_;
    std::string seeOtherHost_;
    std::unique_ptr<XmlTag> streamErrorAppCondition_;
    std::function<std::string()> idSource_;
    std::atomic<StreamStep> step_{StreamStep::Closed};
    std::atomic<bool> authenticatedStream_{false};
    StreamStep suspendedStep_ = StreamStep::Closed;  // where the login stood when its connection was lost
    // True from a connection attempt until its end has been reported once.
    std::atomic<bool> live_{false};
    // The thread that last waited for data. A connection that breaks under
    // another thread's send is reported on this one (kept in endOnReceiver_),
    // so that listeners and the host hear of it where they hear of the rest.
    std::atomic<std::thread::id> receiver_{};
    std::atomic<int> endOnReceiver_{-1};
    ConnectionError reportEndOnReceiver();

    std::atomic<int> negotiationTimeoutMs_{kDefaultNegotiationTimeoutMs};
    std::atomic<bool> negotiating_{false};
    std::atomic<bool> authenticating_{false};
    std::chrono::steady_clock::time_point negotiationStart_;
    std::chrono::steady_clock::time_point answerDeadline_;  // the receiving thread's
};

}  // namespace tern

#endif

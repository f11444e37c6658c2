#include "client/ClientBase.h"

#include <algorithm>

#include "client/Hex.h"
#include "client/KeepAlive.h"
#include "client/Redact.h"
#include "client/StreamManagement.h"
#include "services/ServiceDiscovery.h"
#include "stanza/Constants.h"
#include "transport/NetworkTCPC.h"
#include "transport/Platform.h"
#include "transport/TLSDefault.h"

namespace tern {

using namespace std::string_view_literals;

namespace {

// Sends under way on this thread: a failure found inside one is reported
// by the receiving loop, never under the send path's locks.
thread_local int tSending = 0;

template <typename T>
void eraseValue(std::vector<T*>& v, const T* value) {
    v.erase(std::remove(v.begin(), v.end(), value), v.end());
}

}  // namespace

bool ClientBase::tlsAvailable() { return TLSDefault::available(); }

ClientBase::ClientBase(const std::string& ns, const std::string& server, int port)
    : xmlns_(ns), server_(server), port_(port) {
    jid_.setServer(server);
    reset();
}

ClientBase::ClientBase(const std::string& ns, const std::string& password, const std::string& server, int port)
    : xmlns_(ns), password_(password), server_(server), port_(port) {
    jid_.setServer(server);
    reset();
}

ClientBase::~ClientBase() {
    keepAlive_.reset();
    setConnection(nullptr);
    encryption_.reset();
    compression_.reset();
    parser_.reset();
    disco_.reset();
    std::vector<MessageSessionBase*> sessions;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        sessions.swap(messageSessions_);
        sessions.insert(sessions.end(), disposedDuringDispatch_.begin(), disposedDuringDispatch_.end());
        disposedDuringDispatch_.clear();
    }
    for (MessageSessionBase* s : sessions) delete s;
}

void ClientBase::reset() {
    if (!disco_) {
        disco_ = std::make_unique<ServiceDiscovery>(this);
        disco_->setVersion("based on xmpp", XMPP_VERSION, "");
    }
    if (!keepAlive_) keepAlive_ = std::make_unique<KeepAlive>(this);
    if (!sm_) sm_ = std::make_unique<StreamManagement>(this);
    streamError_ = StreamErrorUndefined;
    streamErrorFromServer_ = false;
    block_ = false;
    resetState();
}

void ClientBase::setKeepAlive(int idleMs, int timeoutMs) {
    keepAlive_->setIntervals(idleMs, timeoutMs);
    if (NetworkUtil* c = conn()) c->setWriteTimeout(writeDeadlineMs());
}

// A write stuck that long on a full socket is a dead link, keepalive or
// not: without a limit it would hold every other writer, a logout's among them.
int ClientBase::writeDeadlineMs() const {
    const int t = keepAlive_->timeoutMs();
    return t > 0 ? t : KeepAlive::kDefaultTimeoutMs;
}

std::unique_lock<std::recursive_mutex> ClientBase::idleWriter() {
    return std::unique_lock<std::recursive_mutex>(stanzaOrder_, std::try_to_lock);
}

void ClientBase::setParserLimits(std::size_t maxDepth, std::size_t maxElementSize) {
    // Taken up by the receiving thread before its next chunk.
    maxDepth_ = maxDepth;
    maxElementSize_ = maxElementSize;
}

void ClientBase::setConnection(std::unique_ptr<NetworkUtil> connection) {
    connectionPtr_.store(connection.get(), std::memory_order_release);
    connection_ = std::move(connection);
}

void ClientBase::setConnectionImpl(NetworkUtil* connection) {
    if (connection_ && connection_->state() != StateDisconnected) {
        delete connection;
        return;
    }
    setConnection(std::unique_ptr<NetworkUtil>(connection));
}

void ClientBase::setCompressionImpl(CompactionBase* compression) { compression_.reset(compression); }

void ClientBase::setEncryptionImpl(TLSBase* tls) { encryption_.reset(tls); }

// ---- connecting ---------------------------------------------------------

bool ClientBase::connect(bool block) {
    if (server_.empty()) return false;
    // A stream under way keeps its parser and whatever it holds.
    if (connection_ && connection_->state() != StateDisconnected) return true;
    const std::string problem = credentialProblem();
    if (!problem.empty()) {
        logger_.log(LogError, LogAreaClient, problem + "; not connecting");
        for (NetworkListener* l : listenersSnapshot()) l->handleDisconnected(AuthenticationFailed);
        return false;
    }
    if (!parser_) parser_ = std::make_unique<XmlParser>(this);
    parser_->cleanup();  // nothing of an earlier stream survives
    parserResetPending_ = false;
    if (!connection_) setConnection(std::make_unique<NetworkTCPC>(this, &logger_, server_, port_));
    if (!encryption_ && tlsPolicy_ != TlsDisabled && tlsAvailable())
        encryption_ = std::make_unique<TLSDefault>(this, server_, TLSDefault::KindClient);
    if (encryption_) {
        encryption_->setCACerts(caCerts_);
        encryption_->setClientCert(clientKey_, clientCerts_);
        encryption_->setAlpn("");
    }
    connection_->allowDirectTls(encryption_ && tlsPolicy_ != TlsDisabled);
    connection_->setWriteTimeout(writeDeadlineMs());
    logger_.log(LogDebug, LogAreaClientBase, "This is xmpp " + XMPP_VERSION + ", connecting...");
    block_ = block;
    negotiationStart_ = std::chrono::steady_clock::now();
    answerDeadline_ = std::chrono::steady_clock::time_point();
    authenticating_ = false;
    negotiating_ = true;
    endOnReceiver_ = -1;
    enterStep(StreamStep::Header);
    live_ = true;
    return connection_->connect() == NoError;
}

void ClientBase::onConnected(NetworkUtil* connection) {
    if (connection && connection->directTls() && encryption_) {
        // XEP-0368: TLS from the first byte, no STARTTLS and no stream
        // restart; the header follows the handshake, the certificate is
        // checked as ever.
        logger_.log(LogDebug, LogAreaClientBase, "direct TLS: starting the handshake");
        encryption_->setAlpn("xmpp-client");
        enterStep(StreamStep::TlsHandshake);
        encryptionActive_ = true;
        encryption_->handshake();
    } else {
        header();
    }
    if (block_) runBlockingLoop();
}

void ClientBase::interruptReceive() {
    sm_->interrupt();
    if (NetworkUtil* c = conn()) c->disconnect();
}

void ClientBase::wakeReceive() {
    if (NetworkUtil* c = conn()) c->wake();
}

void ClientBase::runBlockingLoop() {
    while (receive(-1) == NoError) {
    }
}

ConnectionError ClientBase::receive(int timeoutUs) {
    receiver_ = std::this_thread::get_id();
    NetworkUtil* c = conn();
    if ((!c || c->state() == StateDisconnected) && sm_->resuming()) return resumeStep(timeoutUs);
    if (!c || c->state() == StateDisconnected) return reportEndOnReceiver();
    long long wait = timeoutUs;
    if (negotiating_) {
        auto deadline = negotiationStart_ + std::chrono::milliseconds(negotiationTimeoutMs_.load());
        if (answerDeadline_ != std::chrono::steady_clock::time_point() && answerDeadline_ < deadline)
            deadline = answerDeadline_;
        const long long left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now()).count();
        const long long bounded = std::max(0LL, left);
        if (wait < 0 || wait > bounded) wait = bounded;
    }
    // An idle session wakes only when the keepalive or a service's
    // deadline has something to do.
    const auto now = std::chrono::steady_clock::now();
    const long long timerDue = negotiating_ ? -1 : timers_.untilDue(now);
    for (const long long due : {keepAlive_->untilDue(now), timerDue})
        if (due >= 0 && (wait < 0 || wait > due)) wait = due;
    ConnectionError e = c->receiveOnce(static_cast<int>(std::min<long long>(wait, 0x7fffffff)));
    if (e == NoError) {
        checkDeadline();
        const auto after = std::chrono::steady_clock::now();
        if (keepAlive_->check(after)) endConnection(IoError, false);
        // Under a flood most reads come long before any deadline; one set
        // meanwhile is seen on the next pass, whose wait it shortens.
        const bool timerDueNow = timerDue >= 0 && after >= now + std::chrono::microseconds(timerDue);
        if (timerDueNow && !negotiating_ && c->state() == StateConnected) timers_.fire(after);
        if (c->state() == StateDisconnected) e = NotConnected;
    }
    if (e == NotConnected) e = reportEndOnReceiver();
    // A lost connection that is being resumed does not end the receive loop.
    return e != NoError && sm_->resuming() ? NoError : e;
}

ConnectionError ClientBase::reportEndOnReceiver() {
    const int reason = endOnReceiver_.exchange(-1);
    if (reason < 0) return NotConnected;
    endConnection(static_cast<ConnectionError>(reason), false);
    return static_cast<ConnectionError>(reason);
}

void ClientBase::checkDeadline() {
    if (!negotiating_) return;
    const auto now = std::chrono::steady_clock::now();
    if (answerDeadline_ != std::chrono::steady_clock::time_point() && now >= answerDeadline_) {
        answerDeadline_ = std::chrono::steady_clock::time_point();
        if (answerOverdue())
            connectAfresh();
        else
            disconnect(NotConnected);
        return;
    }
    const auto elapsed = now - negotiationStart_;
    if (elapsed < std::chrono::milliseconds(negotiationTimeoutMs_.load())) return;
    logger_.log(LogError, LogAreaClientBase,
                "stream negotiation did not finish within " + std::to_string(negotiationTimeoutMs_.load()) + " ms");
    // While a lost session is being recovered a stall is the network's (or
    // a restarting server's), not a verdict on the password: it is retried.
    disconnect(authenticating_ && !sm_->resuming() ? AuthenticationFailed : NotConnected);
}

void ClientBase::header() {
    sendRaw("<?xml version='1.0' ?><stream:stream to='" + jid_.server() + "' xmlns='" + xmlns_ + "' xmlns:stream='" +
            XMPP_XMLNS_STREAMS + "'  xml:lang='" + xmlLang_ + "' version='" + XMPP_STREAM_VERSION_MAJOR + "." +
            XMPP_STREAM_VERSION_MINOR + "'>");
}

std::string ClientBase::newId() {
    if (idSource_) return idSource_();
    std::string bytes(8, '\0');
    platform::fillRandom(&bytes[0], bytes.size());
    return hexEncode(bytes);
}

// ---- the send chain -----------------------------------------------------

bool ClientBase::sendText(const std::string& text) {
    NetworkUtil* c = conn();
    if (!c || c->state() != StateConnected) return false;
    // While a batch is open, whatever any thread sends joins it, so that
    // nothing overtakes what the batch holds (a host message overtaking
    // <enable/> would be counted here and not by the server).
    std::lock_guard<std::recursive_mutex> order(stanzaOrder_);
    if (batchDepth_ > 0) {
        batch_ += text;
        return true;
    }
    ++tSending;
    if (compression_ && compressionActive_)
        compression_->compress(text);
    else if (encryption_ && encryptionActive_)
        encryption_->encrypt(text);
    else
        c->send(text);
    --tSending;
    return true;
}

void ClientBase::sendRaw(const std::string& text) {
    if (sendText(text)) logger_.log(LogDebug, LogAreaXmlOutgoing, text);
}

void ClientBase::logOutgoing(const XmlTag& tag, const std::string& text) {
    if (!logger_.wants(LogDebug, LogAreaXmlOutgoing)) return;
    logger_.log(LogDebug, LogAreaXmlOutgoing, containsCredentials(tag) ? serializeForLog(tag) : text);
}

void ClientBase::sendTag(XmlTag* tag) {
    if (!tag) return;
    std::unique_ptr<XmlTag> owned(tag);
    const std::string& name = owned->name();
    if (name == "message"sv || name == "presence"sv || name == "iq"sv) {
        if (waitForNewSession(*owned)) return;
        if (sm_->counting()) {
            sendManaged(*owned);
            return;
        }
    }
    NetworkUtil* c = conn();
    if (!c || c->state() != StateConnected) return;
    const std::string text = owned->serialize();
    if (sendText(text)) logOutgoing(*owned, text);
}

void ClientBase::onCompressed(const std::string& data) {
    if (encryption_ && encryptionActive_)
        encryption_->encrypt(data);
    else if (NetworkUtil* c = conn())
        c->send(data);
    else
        logger_.log(LogError, LogAreaClientBase, "Compression finished, but chain broken");
}

void ClientBase::onEncrypted(TLSBase*, const std::string& data) {
    if (NetworkUtil* c = conn())
        c->send(data);
    else
        logger_.log(LogError, LogAreaClientBase, "Encryption finished, but chain broken");
}

// ---- the receive chain --------------------------------------------------

void ClientBase::onDataReceived(NetworkUtil*, const std::string& data) {
    keepAlive_->onReceived(std::chrono::steady_clock::now());
    if (encryption_ && encryptionActive_)
        encryption_->decrypt(data);
    else if (compression_ && compressionActive_)
        compression_->decompress(data);
    else if (parser_)
        feedParser(data);
    else
        logger_.log(LogError, LogAreaClientBase, "Received data, but chain broken");
}

void ClientBase::onDecrypted(TLSBase*, const std::string& data) {
    if (compression_ && compressionActive_)
        compression_->decompress(data);
    else if (parser_)
        feedParser(data);
    else
        logger_.log(LogError, LogAreaClientBase, "Decryption finished, but chain broken");
}

void ClientBase::onDecompressed(const std::string& data) {
    if (parser_)
        feedParser(data);
    else
        logger_.log(LogError, LogAreaClientBase, "Decompression finished, but chain broken");
}

// The parser belongs to the thread that feeds it; no lock is held while it
// dispatches, so handlers (and the host behind them) run free of ours.
void ClientBase::feedParser(const std::string& data) {
    if (parserResetPending_.exchange(false)) parser_->cleanup();
    parser_->setMaxDepth(maxDepth_);
    parser_->setMaxElementSize(maxElementSize_);
    feedingThread_ = std::this_thread::get_id();
    const bool ok = parser_->feed(data);
    feedingThread_ = std::thread::id();
    if (parserResetPending_.exchange(false)) parser_->cleanup();
    if (ok) return;
    logger_.log(LogError, LogAreaClientBase, "parse error: " + data);
    XmlTag* error = new XmlTag("stream:error");
    new XmlTag(error, "restricted-xml", "xmlns", XMPP_XMLNS_XMPP_STREAM);
    sendTag(error);
    disconnect(XmlParseError);
}

void ClientBase::resetParser() {
    // From inside a dispatch the rest of the chunk is dropped at once;
    // another thread leaves it to the feeding one, before its next chunk.
    if (parser_ && feedingThread_.load() == std::this_thread::get_id())
        parser_->cleanup();
    else
        parserResetPending_ = true;
}

std::string ClientBase::streamErrorText(const std::string& lang) const {
    auto it = streamErrorText_.find(lang);
    return it == streamErrorText_.end() ? std::string() : it->second;
}

// ---- dispatch -----------------------------------------------------------

void ClientBase::dispatchIq(Stanza* stanza) {
    std::vector<IqHandler*> byNamespace;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        for (const auto& entry : iqHandlers_)
            if (stanza->hasChildWithAttribute("xmlns", entry.first)) byNamespace.push_back(entry.second);
    }
    bool handled = false;
    for (IqHandler* h : byNamespace) {
        if (!stillListed(h)) continue;
        if (h->handleIqByNamespace(stanza)) handled = true;
    }
    const bool answer = stanza->subtype() == IqResult || stanza->subtype() == IqError;
    IqHandler* tracked = nullptr;
    int context = 0;
    std::string strayFrom;  // logged once the registry is unlocked
    if (answer) {
        std::lock_guard<std::mutex> lock(registryMutex_);
        auto it = trackedIds_.find(stanza->id());
        if (it != trackedIds_.end() && answersRequest(stanza->from(), it->second.to)) {
            tracked = it->second.handler;
            context = it->second.context;
            trackedIds_.erase(it);  // each tracked id is answered once
        } else if (it != trackedIds_.end()) {
            strayFrom = it->second.to.empty() ? jid_.server() : it->second.to.full();
        }
    }
    if (!strayFrom.empty())
        logger_.log(LogWarning, LogAreaClientBase,
                    "ignoring an answer from " + stanza->from().full() + " to a request that went to " + strayFrom);
    if (answer && strayFrom.empty()) requestAnswered(*stanza, tracked != nullptr);
    if (tracked && tracked->handleIqById(stanza, context)) handled = true;

    if (!handled && (stanza->subtype() == IqGet || stanza->subtype() == IqSet)) {
        XmlTag* iq = new XmlTag("iq");
        iq->setAttribute("type", "error");
        iq->setAttribute("id", stanza->id());
        iq->setAttribute("to", stanza->from().full());
        XmlTag* error = new XmlTag(iq, "error", "type", "cancel");
        new XmlTag(error, "service-unavailable", "xmlns", XMPP_XMLNS_XMPP_STANZAS);
        sendTag(iq);
    }
}

void ClientBase::dispatchMessage(Stanza* stanza) {
    const JID& from = stanza->from();
    const std::string& thread = stanza->thread();
    const int type = stanza->subtype();
    MessageSessionBase* target = nullptr;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        auto matches = [&](MessageSessionBase* s, bool full) {
            const bool address = full ? s->target().full() == from.full() : s->target().bare() == from.bare();
            return address && s->takesThread(thread) && (s->types() == 0 || (s->types() & type));
        };
        for (bool full : {true, false}) {
            for (MessageSessionBase* s : messageSessions_)
                if (matches(s, full)) {
                    target = s;
                    break;
                }
            if (target) break;
        }
    }
    // Still safe if the session is disposed meanwhile: deletion waits for
    // the end of this dispatch.
    if (target) target->receiveMessage(stanza);
}

void ClientBase::dispatchPresence(Stanza* stanza) {
    PresenceHandler* perJid = nullptr;
    std::vector<PresenceHandler*> global;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        for (const auto& entry : jidPresenceHandlers_)
            if (entry.first.bare() == stanza->from().bare()) {
                perJid = entry.second;
                break;
            }
        if (!perJid) global = presenceHandlers_;
    }
    if (perJid) {
        perJid->handlePresenceStanza(stanza);
        return;
    }
    for (PresenceHandler* h : global)
        if (stillListed(h)) h->handlePresenceStanza(stanza);
}

void ClientBase::dispatchSubscription(Stanza* stanza) {
    std::vector<SubscriptionHandler*> handlers;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        handlers = subscriptionHandlers_;
    }
    for (SubscriptionHandler* h : handlers)
        if (stillListed(h)) h->handleSubscriptionStanza(stanza);
}

bool ClientBase::stillListed(const void* handler) const {
    std::lock_guard<std::mutex> lock(registryMutex_);
    for (const auto& e : iqHandlers_)
        if (e.second == handler) return true;
    for (PresenceHandler* h : presenceHandlers_)
        if (h == handler) return true;
    for (SubscriptionHandler* h : subscriptionHandlers_)
        if (h == handler) return true;
    return false;
}

// ---- registries ---------------------------------------------------------

void ClientBase::addNetworkListener(NetworkListener* listener) {
    if (!listener) return;
    std::lock_guard<std::mutex> lock(registryMutex_);
    listeners_.push_back(listener);
}

void ClientBase::removeNetworkListener(NetworkListener* listener) {
    std::lock_guard<std::mutex> lock(registryMutex_);
    eraseValue(listeners_, listener);
}

std::vector<NetworkListener*> ClientBase::listenersSnapshot() const {
    std::lock_guard<std::mutex> lock(registryMutex_);
    return listeners_;
}

void ClientBase::addIqHandler(IqHandler* handler, const std::string& ns) {
    if (!handler || ns.empty()) return;
    std::lock_guard<std::mutex> lock(registryMutex_);
    iqHandlers_[ns] = handler;
}

void ClientBase::removeIqHandler(const std::string& ns) {
    if (ns.empty()) return;
    std::unique_lock<std::mutex> lock(registryMutex_);
    iqHandlers_.erase(ns);
    awaitDispatchElsewhere(lock);
}

void ClientBase::trackIqId(IqHandler* handler, const std::string& id, int context, const JID& to) {
    if (!handler || id.empty()) return;
    std::lock_guard<std::mutex> lock(registryMutex_);
    trackedIds_[id] = {handler, context, to};
}

void ClientBase::sendIq(XmlTag* iq, IqHandler* handler, int context) {
    if (!iq) return;
    if (!iq->hasAttribute("id")) iq->setAttribute("id", newId());
    trackIqId(handler, iq->getAttribute("id"), context, JID(iq->getAttribute("to")));
    sendTag(iq);
}

void ClientBase::removeIqIdHandler(IqHandler* handler) {
    std::unique_lock<std::mutex> lock(registryMutex_);
    for (auto it = trackedIds_.begin(); it != trackedIds_.end();) {
        if (it->second.handler == handler)
            it = trackedIds_.erase(it);
        else
            ++it;
    }
    awaitDispatchElsewhere(lock);
}

void ClientBase::addPresenceHandler(PresenceHandler* handler) {
    if (!handler) return;
    std::lock_guard<std::mutex> lock(registryMutex_);
    presenceHandlers_.push_back(handler);
}

void ClientBase::removePresenceHandler(PresenceHandler* handler) {
    std::unique_lock<std::mutex> lock(registryMutex_);
    eraseValue(presenceHandlers_, handler);
    awaitDispatchElsewhere(lock);
}

void ClientBase::addPresenceHandler(const JID& jid, PresenceHandler* handler) {
    if (!handler || jid.server().empty()) return;
    std::lock_guard<std::mutex> lock(registryMutex_);
    jidPresenceHandlers_.emplace_back(JID(jid.bare()), handler);
}

void ClientBase::removePresenceHandler(const JID& jid, PresenceHandler* handler) {
    std::unique_lock<std::mutex> lock(registryMutex_);
    auto& v = jidPresenceHandlers_;
    v.erase(std::remove_if(v.begin(), v.end(),
                           [&](const std::pair<JID, PresenceHandler*>& e) {
                               return e.first.bare() == jid.bare() && (!handler || e.second == handler);
                           }),
            v.end());
    awaitDispatchElsewhere(lock);
}

void ClientBase::addSubscriptionHandler(SubscriptionHandler* handler) {
    if (!handler) return;
    std::lock_guard<std::mutex> lock(registryMutex_);
    subscriptionHandlers_.push_back(handler);
}

void ClientBase::removeSubscriptionHandler(SubscriptionHandler* handler) {
    std::unique_lock<std::mutex> lock(registryMutex_);
    eraseValue(subscriptionHandlers_, handler);
    awaitDispatchElsewhere(lock);
}

void ClientBase::awaitDispatchElsewhere(std::unique_lock<std::mutex>& lock) {
    // The dispatching thread itself must not wait: a handler may remove
    // itself from inside its own call.
    if (dispatchDepth_ == 0 || dispatchThread_ == std::this_thread::get_id()) return;
    const std::uint64_t serial = dispatchSerial_;
    dispatchDone_.wait(lock, [&] { return dispatchDepth_ == 0 || dispatchSerial_ != serial; });
}

void ClientBase::addMessageSession(MessageSessionBase* session) {
    if (!session) return;
    std::lock_guard<std::mutex> lock(registryMutex_);
    messageSessions_.push_back(session);
}

void ClientBase::disposeMessageSession(MessageSessionBase* session) {
    if (!session) return;
    {
        std::unique_lock<std::mutex> lock(registryMutex_);
        auto it = std::find(messageSessions_.begin(), messageSessions_.end(), session);
        if (it == messageSessions_.end()) return;
        messageSessions_.erase(it);
        if (dispatchDepth_ > 0 && dispatchThread_ == std::this_thread::get_id()) {
            // The dispatch on this thread may still be calling it: delete
            // when that is done.
            disposedDuringDispatch_.push_back(session);
            return;
        }
        awaitDispatchElsewhere(lock);
    }
    delete session;
}

void ClientBase::waitForDispatch() {
    std::unique_lock<std::mutex> lock(registryMutex_);
    awaitDispatchElsewhere(lock);
}

// ---- listeners and the end of a connection ------------------------------

void ClientBase::notifyStreamEvent(StreamEvent event) {
    for (NetworkListener* l : listenersSnapshot()) l->handleStreamEvent(event);
}

void ClientBase::beginWriteBatch() {
    std::lock_guard<std::recursive_mutex> order(stanzaOrder_);
    ++batchDepth_;
}

void ClientBase::endWriteBatch() {
    std::lock_guard<std::recursive_mutex> order(stanzaOrder_);
    if (batchDepth_ == 0 || --batchDepth_ > 0) return;
    std::string out;
    out.swap(batch_);
    if (!out.empty()) sendText(out);
}

void ClientBase::notifySessionStarting() {
    for (NetworkListener* l : listenersSnapshot()) l->handleSessionStarting();
}

void ClientBase::notifyConnected() {
    negotiating_ = false;
    authenticating_ = false;
    keepAlive_->start(std::chrono::steady_clock::now());
    for (NetworkListener* l : listenersSnapshot()) l->handleConnected();
}

void ClientBase::onHandshakeResult(TLSBase*, bool success, CertificateInfo& info) {
    if (success) {
        bool accepted = true;
        for (NetworkListener* l : listenersSnapshot()) {
            if (!l->handleTlsConnected(info)) {
                accepted = false;
                break;
            }
        }
        if (accepted) {
            logger_.log(LogDebug, LogAreaClientBase,
                        info.resumed ? "connection encryption active (TLS session resumed)"
                                     : "connection encryption active");
            enterStep(StreamStep::Header);
            beginWriteBatch();
            header();
            encryptedStreamOpening();
            endWriteBatch();
            return;
        }
        logger_.log(LogError, LogAreaClientBase, "Server's certificate rejected!");
    } else if (step_ != StreamStep::TlsHandshake) {
        // A record that does not decrypt on an established stream: the
        // link is broken or tampered with, which says nothing of the server.
        logger_.log(LogError, LogAreaClientBase, "a TLS record did not decrypt; the connection is broken");
        endConnection(IoError, false);  // nothing more goes out on it
        return;
    } else {
        logger_.log(LogError, LogAreaClientBase, "TLS handshake failed!");
    }
    disconnect(TlsFailed);
}

void ClientBase::onDisconnected(NetworkUtil* connection, ConnectionError reason) {
    const std::thread::id receiver = receiver_;
    const bool elsewhere = receiver != std::thread::id() && receiver != std::this_thread::get_id();
    if ((elsewhere || tSending > 0) && live_) {
        // A send (from the host's thread, or one under the send path's
        // locks) found the connection broken: the receiving thread reports
        // it on its next pass, and this one returns without calling out to
        // anyone.
        int none = -1;
        if (endOnReceiver_.compare_exchange_strong(none, reason) && connection) connection->disconnect();
        return;
    }
    endConnection(reason, false);
}

void ClientBase::disconnect(ConnectionError reason) { endConnection(reason, reason != TlsFailed); }

void ClientBase::endConnection(ConnectionError reason, bool sendClose, std::vector<PendingStanza> unsent) {
    NetworkUtil* c = conn();
    if (!c) return;
    // A loss that stream management can repair is not reported (yet).
    const bool recovering = sm_->resuming();
    if (live_ && reason != UserDisconnected &&
        sm_->beginResumption(reason, authenticatedStream_, std::chrono::steady_clock::now())) {
        suspendConnection();
        reportNotSent(sm_->takeRefused(), NotSentReason::Refused);
        if (!recovering)
            for (NetworkListener* l : listenersSnapshot()) l->handleConnectionInterrupted(reason);
        return;
    }
    // Exactly one report per connection, whichever thread sees its end first.
    if (!live_.exchange(false)) return;
    if (reason == UserDisconnected) {
        // Our own end waits for nobody: the close, and whatever the stream
        // still had to say before it, go out once the server takes them.
        c->disconnect();
        c->lingerOnClose(kClosingLingerMs);
    }
    if (sendClose) sendRaw("</stream:stream>");
    dropConnection();
    sm_->forget(&unsent);
    // A session the client ends itself hears of nothing more, unless it ends
    // it while recovering: what waited then never had a stream to go on.
    if (reason != UserDisconnected || recovering) reportNotSent(unsent, NotSentReason::SessionEnded);
    for (NetworkListener* l : listenersSnapshot()) l->handleDisconnected(reason);
    reset();
}

}  // namespace tern

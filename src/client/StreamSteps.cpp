// The engine's reading of the stream: every top-level element is acted on
// only in the step that expects it, and an answer to a request only when it
// comes from where the request went. A server (or anyone in the path of a
// plaintext stream) that sends anything else ends the connection; stanzas
// from others reach us only once the resource is bound, and an answer from
// someone who was not asked is ignored like any unsolicited stanza.
#include <algorithm>
#include <iterator>

#include "client/ClientBase.h"
#include "client/Redact.h"
#include "client/StreamManagement.h"
#include "stanza/Constants.h"
#include "stanza/Numbers.h"

namespace tern {

using namespace std::string_view_literals;

namespace {

// Index + 1 = StreamErrorCondition.
const char* const kStreamErrors[] = {
    "bad-format",         "bad-namespace-prefix",   "conflict",
    "connection-timeout", "host-gone",              "host-unknown",
    "improper-addressing", "internal-server-error", "invalid-from",
    "invalid-id",         "invalid-namespace",      "invalid-xml",
    "not-authorized",     "policy-violation",       "remote-connection-failed",
    "resource-constraint", "restricted-xml",        "see-other-host",
    "system-shutdown",    "undefined-condition",    "unsupported-encoding",
    "unsupported-stanza-type", "unsupported-version", "xml-not-well-formed",
    "reset",              "not-well-formed",        "unsupported-feature",
};

bool isStanzaName(const std::string& name) { return name == "message"sv || name == "presence"sv || name == "iq"sv; }

}  // namespace

void ClientBase::enterStep(StreamStep step) { step_ = step; }

// The login starts again on a new connection; the listeners have heard of
// no end, and hear of none.
void ClientBase::connectAfresh() {
    logger_.log(LogWarning, LogAreaClientBase, "starting the login again on a new connection");
    sendRaw("</stream:stream>");
    dropConnection();
    reset();
    connect(false);
}

void ClientBase::refuseElement(const XmlTag& element, StreamErrorCondition condition, const std::string& why,
                               const std::string& detail) {
    const char* conditionName = kStreamErrors[condition - 1];
    logger_.log(LogError, LogAreaClientBase,
                "the server sent <" + element.name() + "> " +
                    (why.empty() ? "out of turn (" + std::string(streamStepName(step_)) + ")" : why) +
                    "; ending the stream with " + conditionName);
    streamError_ = condition;
    streamErrorFromServer_ = false;
    sendRaw(std::string("<stream:error><") + conditionName + " xmlns='" + XMPP_XMLNS_XMPP_STREAM + "'/>" + detail +
            "</stream:error>");
    disconnect(StreamError);
}

bool ClientBase::answersRequest(const JID& from, const JID& to) const {
    const JID server(jid_.server());
    const bool toAccount = to.empty() || (to.resource().empty() && (to.sameBareAs(server) || to.sameBareAs(jid_)));
    if (toAccount)
        return from.empty() || (from.resource().empty() && (from.sameBareAs(jid_) || from.sameBareAs(server)));
    // The addressee itself, or its bare address (errors its server returns).
    return from.sameBareAs(to) && (from.resource().empty() || from.resource() == to.resource());
}

// Before the resource is bound only answers to our own requests can come,
// and only from the server; stanzas from others flow once it is bound.
bool ClientBase::stanzaInTurn(const Stanza& stanza) {
    const StreamStep step = step_;
    if (stanzasFlow(step)) return true;
    if (step != StreamStep::Bind && step != StreamStep::LegacyAuth) return false;
    if (stanza.kind() != KindIq || (stanza.subtype() != IqResult && stanza.subtype() != IqError)) return false;
    std::lock_guard<std::mutex> lock(registryMutex_);
    auto it = trackedIds_.find(stanza.id());
    return it != trackedIds_.end() && answersRequest(stanza.from(), it->second.to);
}

void ClientBase::handleXmlTag(XmlTag* tag) {
    // One stanza object serves element after element (a handler that feeds
    // the parser again gets a fresh one).
    struct Recycled {
        std::unique_ptr<Stanza>& spare;
        std::unique_ptr<Stanza> stanza;
        ~Recycled() {
            stanza->recycle();
            if (!spare) spare = std::move(stanza);
        }
    } held{spareStanza_, std::unique_ptr<Stanza>(Stanza::adopt(*tag, spareStanza_))};
    std::unique_ptr<Stanza>& stanza = held.stanza;
    // The rest of a chunk read before another thread ended the stream:
    // nothing in it is acted on, or refused.
    if (step_ == StreamStep::Closed) return;
    if (logger_.wants(LogDebug, LogAreaXmlIncoming)) logger_.log(LogDebug, LogAreaXmlIncoming, serializeForLog(*stanza));

    const std::string& name = stanza->name();
    if (name == "stream:error"sv) {
        parseStreamError(*stanza);
        disconnect(StreamError);
        return;
    }
    if (name == "stream:stream"sv) {
        if (step_ != StreamStep::Header) {
            refuseElement(*stanza, StreamErrorPolicyViolation);
            return;
        }
        if (!checkStreamVersion(stanza->getAttribute("version"))) {
            logger_.log(LogDebug, LogAreaClientBase,
                        "This server is not XMPP-compliant (it does not send a 'version' attribute). Please fix it "
                        "or try another one.\n");
            disconnect(StreamVersionError);
            return;
        }
        streamId_ = stanza->getAttribute("id");
        enterStep(StreamStep::Features);
        streamStarted();
        return;
    }
    if (isStanzaName(name)) {
        if (stanzaInTurn(*stanza))
            dispatchStanza(stanza.get());
        else
            refuseElement(*stanza, StreamErrorPolicyViolation);
        return;
    }
    const ElementVerdict verdict = stanza->getAttribute("xmlns") == StreamManagement::kNamespace
                                       ? handleStreamManagement(*stanza)
                                       : handleNormalTag(stanza.get());
    if (verdict != ElementVerdict::Handled)
        refuseElement(*stanza, verdict == ElementVerdict::OutOfTurn ? StreamErrorPolicyViolation
                                                                   : StreamErrorUnsupportedStanzaType);
}

// A clean close ends the session for the server (XEP-0198): nothing to
// resume. Before the stream has authenticated it may come from anyone in
// the path, and counts as a lost connection.
void ClientBase::handleStreamEnd() {
    logger_.log(LogWarning, LogAreaClientBase, "the server closed the stream");
    if (authenticatedStream_) sm_->sessionEndedByServer();
    disconnect(StreamClosed);
}

void ClientBase::dispatchStanza(Stanza* stanza) {
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        if (dispatchDepth_++ == 0) {
            dispatchThread_ = std::this_thread::get_id();
            ++dispatchSerial_;
        }
    }
    switch (stanza->kind()) {
        case KindIq: dispatchIq(stanza); break;
        case KindMessage: dispatchMessage(stanza); break;
        case KindPresence: dispatchPresence(stanza); break;
        case KindSubscription: dispatchSubscription(stanza); break;
        default: break;
    }
    std::vector<MessageSessionBase*> disposed;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        if (--dispatchDepth_ == 0) {
            disposed.swap(disposedDuringDispatch_);
            dispatchThread_ = std::thread::id();
        }
    }
    dispatchDone_.notify_all();
    for (MessageSessionBase* s : disposed) delete s;
    sm_->inboundStanza();
}

bool ClientBase::checkStreamVersion(const std::string& version) {
    if (version.empty()) return false;
    const int own = parseDecimal(XMPP_STREAM_VERSION_MAJOR, 0, 0x7fffffff);
    const std::size_t dot = version.find('.');
    const int major = dot != std::string::npos && dot != 0 ? parseDecimal(version.substr(0, dot), INT32_MIN, INT32_MAX) : 0;
    return own >= major;
}

void ClientBase::parseStreamError(const Stanza& error) {
    streamErrorFromServer_ = true;
    streamErrorText_.clear();
    streamErrorAppCondition_.reset();
    seeOtherHost_.clear();
    for (const XmlTag* c : error.children()) {
        const auto* begin = std::begin(kStreamErrors);
        const auto* found = std::find_if(begin, std::end(kStreamErrors), [&](const char* n) { return c->name() == n; });
        if (found != std::end(kStreamErrors)) {
            if (!c->hasAttribute("xmlns", XMPP_XMLNS_XMPP_STREAM)) continue;
            streamError_ = static_cast<StreamErrorCondition>(found - begin + 1);
            if (streamError_ == StreamErrorSeeOtherHost) seeOtherHost_ = c->text();
        } else if (c->name() == "text"sv) {
            const std::string lang = c->getAttribute("xml:lang");
            streamErrorText_[lang.empty() ? "default" : lang] = c->text();
        } else {
            streamErrorAppCondition_.reset(c->clone());
        }
    }
}

}  // namespace tern

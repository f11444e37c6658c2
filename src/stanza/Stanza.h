// An XmlTag that also carries the parsed meaning of an XMPP stanza: kind,
// subtype, addresses, id, per-language texts, presence show and priority,
// stanza error and the recognised extensions.
#ifndef TERN_STANZA_STANZA_H
#define TERN_STANZA_STANZA_H

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "JID.h"
#include "StanzaExtension.h"
#include "../xml/XmlTag.h"

namespace tern {

enum StanzaKind { KindUndefined = 0, KindIq = 1, KindMessage = 2, KindSubscription = 3, KindPresence = 4 };

// Single bits, so callers can build masks.
enum StanzaSubtype {
    StanzaSubUndefined = 0,
    IqGet = 1,
    IqSet = 2,
    IqResult = 4,
    IqError = 8,
    PresenceUnavailable = 16,
    PresenceAvailable = 32,
    PresenceProbe = 64,
    PresenceError = 128,
    Subscribe = 256,
    Subscribed = 512,
    Unsubscribe = 1024,
    Unsubscribed = 2048,
    MessageChat = 4096,
    MessageError = 8192,
    MessageGroupchat = 16384,
    MessageHeadline = 32768,
    MessageNormal = 65536,
};

enum PresenceShow {
    PresenceUnknown = 0,
    PresenceShowAvailable = 1,
    PresenceChat = 2,
    PresenceAway = 3,
    PresenceDnd = 4,
    PresenceXa = 5,
    PresenceShowUnavailable = 6,
};

enum StanzaErrorType {
    StanzaErrorTypeUndefined = 0,
    StanzaErrorTypeCancel = 1,
    StanzaErrorTypeContinue = 2,
    StanzaErrorTypeModify = 3,
    StanzaErrorTypeAuth = 4,
    StanzaErrorTypeWait = 5,
};

enum StanzaError {
    StanzaErrorUndefined = 0,
    StanzaErrorBadRequest = 1,
    StanzaErrorConflict = 2,
    StanzaErrorFeatureNotImplemented = 3,
    StanzaErrorForbidden = 4,
    StanzaErrorGone = 5,
    StanzaErrorInternalServerError = 6,
    StanzaErrorItemNotFound = 7,
    StanzaErrorJidMalformed = 8,
    StanzaErrorNotAcceptable = 9,
    StanzaErrorNotAllowed = 10,
    StanzaErrorNotAuthorized = 11,
    StanzaErrorRecipientUnavailable = 13,
    StanzaErrorRedirect = 14,
    StanzaErrorRegistrationRequired = 15,
    StanzaErrorRemoteServerNotFound = 16,
    StanzaErrorRemoteServerTimeout = 17,
    StanzaErrorResourceConstraint = 18,
    StanzaErrorServiceUnavailable = 19,
    StanzaErrorSubscriptionRequired = 20,
    StanzaErrorUndefinedCondition = 21,
    StanzaErrorUnexpectedRequest = 22,
};

// Wire texts of the enumerations; an empty string for values without one.
const char* stanzaErrorText(StanzaError condition);
StanzaError stanzaErrorFromText(const std::string& text);
const char* stanzaErrorTypeText(StanzaErrorType type);

using ExtensionList = std::vector<std::unique_ptr<StanzaExtension>>;
using LanguageMap = std::map<std::string, std::string>;

class Stanza : public XmlTag {
public:
    static constexpr int kNoPriority = -300;

    // Used by the factories: an element with nothing parsed yet.
    Stanza(const std::string& name, const std::string& text, const std::string& xmlLang,
           bool fromWire);
    // A copy of a parsed element (which stays with its owner), then parsed.
    explicit Stanza(const XmlTag* element);
    ~Stanza() override;

    // Takes name, text, attributes and children out of a parsed element
    // instead of copying them; the husk stays with its owner. The engine uses
    // this for every received element, which the parser deletes right after.
    static Stanza* adopt(XmlTag& element);
    // The same into spare when there is one, which leaves what it held in
    // the element: the parser refills those buffers for later stanzas, so a
    // stream of alike stanzas costs no allocation.
    static Stanza* adopt(XmlTag& element, std::unique_ptr<Stanza>& spare);
    // Done with: keeps a small stanza's content for the next adopt to hand
    // back, lets go of a larger one.
    void recycle();

    void parseFields();

    // The extension factory parseFields offers candidate children to.
    static StanzaExtension* createExtension(const XmlTag* element) {
        return tern::createExtension(element);
    }

    // New stanzas owned by the caller. See Stanza.cpp for the exact shapes.
    static Stanza* buildIq(const JID& to, const std::string& id, int subtype,
                           const std::string& payloadNs, XmlTag* payload = nullptr);
    static Stanza* buildPresence(const JID& to, const std::string& status, int show,
                                 const std::string& statusLang = std::string());

    virtual int priority() const { return priority_; }
    virtual const JID& from() const { return from_; }
    // Parsed on first use: the engine itself never asks for it.
    virtual const JID& to() const;
    virtual const std::string& id() const { return id_; }
    virtual const std::string& payloadNamespace() const { return payloadNamespace_; }
    // Exactly the given language key (no fallback); "default" for children
    // without xml:lang.
    virtual std::string status(const std::string& lang = "default") const;
    virtual std::string body(const std::string& lang = "default") const;
    virtual std::string subject(const std::string& lang = "default") const;
    virtual std::string errorText(const std::string& lang = "default") const;
    // body(lang), borrowed from the stanza: valid while it is.
    const std::string& bodyText(std::string_view lang = "default") const;
    virtual const std::string& thread() const { return thread_; }
    virtual StanzaError errorCondition() const { return errorCondition_; }
    virtual PresenceShow show() const { return show_; }
    virtual StanzaSubtype subtype() const { return subtype_; }

    StanzaErrorType errorType() const { return errorType_; }
    const XmlTag* errorAppCondition() const { return errorAppCondition_; }
    const std::string& xmlLang() const { return xmlLang_; }
    const ExtensionList& extensions() const { return extensions_; }
    // The first extension of the given type, or null.
    const StanzaExtension* extension(ExtensionType type) const;

    // Sets the thread, in the parsed field and in the element's "thread" child.
    void setThread(const std::string& thread);

    // Built on first use; body(), subject() and status() read the children
    // directly, without building them.
    const LanguageMap& bodies() const;
    const LanguageMap& subjects() const;
    const LanguageMap& statuses() const;
    const LanguageMap& errorTexts() const { return errorTexts_; }

private:
    explicit Stanza(Bare) : XmlTag(Bare{}) {}
    void offerToExtensions(const XmlTag* child);
    // The text of the last child of that name in that language ("default":
    // without xml:lang), where this kind of stanza carries such texts.
    std::string childText(std::string_view name, const std::string& lang) const;
    const std::string& childTextRef(std::string_view name, std::string_view lang) const;
    const LanguageMap& childTexts(std::optional<LanguageMap>& cache, std::string_view name) const;
    bool carries(std::string_view name) const;

    LanguageMap errorTexts_;
    mutable std::optional<LanguageMap> bodies_;
    mutable std::optional<LanguageMap> subjects_;
    mutable std::optional<LanguageMap> statuses_;
    ExtensionList extensions_;
    StanzaSubtype subtype_ = StanzaSubUndefined;
    PresenceShow show_ = PresenceUnknown;
    StanzaError errorCondition_ = StanzaErrorUndefined;
    StanzaErrorType errorType_ = StanzaErrorTypeUndefined;
    const XmlTag* errorAppCondition_ = nullptr;
    JID from_;
    mutable JID to_;
    mutable bool toParsed_ = false;
    std::string payloadNamespace_;
    std::string id_;
    std::string thread_;
    std::string xmlLang_;
    int priority_ = kNoPriority;
};

}  // namespace tern

#endif

#include "stanza/Stanza.h"

#include "stanza/Constants.h"
#include "stanza/Numbers.h"

namespace tern {

using namespace std::string_view_literals;

namespace {

// Index = StanzaError value; 12 has no condition.
const char* const kErrorTexts[] = {
    "",
    "bad-request",
    "conflict",
    "feature-not-implemented",
    "forbidden",
    "gone",
    "internal-server-error",
    "item-not-found",
    "jid-malformed",
    "not-acceptable",
    "not-allowed",
    "not-authorized",
    "",
    "recipient-unavailable",
    "redirect",
    "registration-required",
    "remote-server-not-found",
    "remote-server-timeout",
    "resource-constraint",
    "service-unavailable",
    "subscription-required",
    "undefined-condition",
    "unexpected-request",
};
constexpr int kErrorCount = sizeof kErrorTexts / sizeof kErrorTexts[0];

const char* const kErrorTypeTexts[] = {"", "cancel", "continue", "modify", "auth", "wait"};

std::string languageKey(const XmlTag* child) {
    std::string lang = child->getAttribute("xml:lang");
    return lang.empty() ? std::string("default") : lang;
}

// Whether the child's language key (its xml:lang, or "default") is lang,
// read in place: every message's body is looked up this way.
bool inLanguage(const XmlTag& child, std::string_view lang) {
    for (const Attribute& a : child.attributes())
        if (a.first == "xml:lang"sv) return a.second.empty() ? lang == "default"sv : a.second == lang;
    return lang == "default"sv;
}

std::string lookup(const LanguageMap& map, const std::string& lang) {
    auto it = map.find(lang);
    return it == map.end() ? std::string() : it->second;
}

}  // namespace

const char* stanzaErrorText(StanzaError condition) {
    return condition >= 0 && condition < kErrorCount ? kErrorTexts[condition] : "";
}

StanzaError stanzaErrorFromText(const std::string& text) {
    if (text.empty()) return StanzaErrorUndefined;
    for (int i = 1; i < kErrorCount; ++i)
        if (text == kErrorTexts[i]) return static_cast<StanzaError>(i);
    return StanzaErrorUndefined;
}

const char* stanzaErrorTypeText(StanzaErrorType type) {
    return type >= 0 && type <= StanzaErrorTypeWait ? kErrorTypeTexts[type] : "";
}

Stanza::Stanza(const std::string& name, const std::string& text, const std::string& xmlLang,
               bool fromWire)
    : XmlTag(name, text, fromWire), xmlLang_(xmlLang) {}

Stanza::Stanza(const XmlTag* element) : XmlTag(Bare{}), xmlLang_("default") {
    if (element) {
        name_ = element->name();
        text_ = element->text();
        attributes_ = element->attributes();
        children_.reserve(element->children().size());
        for (const XmlTag* c : element->children()) appendChild(c->clone());
    }
    parseFields();
}

Stanza* Stanza::adopt(XmlTag& element) {
    Stanza* s = new Stanza(Bare{});
    s->exchangeContentWith(element);
    s->xmlLang_ = "default";
    s->parseFields();
    return s;
}

Stanza* Stanza::adopt(XmlTag& element, std::unique_ptr<Stanza>& spare) {
    if (!spare) return adopt(element);
    Stanza* s = spare.release();
    s->exchangeContentWith(element);
    s->parseFields();
    return s;
}

// A small stanza keeps its elements and strings until the next adoption
// hands them back to the parser; anything larger goes now, so that an idle
// session does not hold the last big result it received.
void Stanza::recycle() {
    errorAppCondition_ = nullptr;
    extensions_.clear();
    toParsed_ = false;
    constexpr std::size_t kKeptChildren = 8;
    auto small = [&](const XmlTag& t) {
        if (t.name().size() > kKeptBytes || t.text().size() > kKeptBytes || t.attributes().size() > kKeptEntries)
            return false;
        for (const Attribute& a : t.attributes())
            if (a.first.capacity() > kKeptBytes || a.second.capacity() > kKeptBytes) return false;
        return true;
    };
    bool keep = children_.size() <= kKeptChildren && small(*this);
    for (const XmlTag* c : children_) keep = keep && c->children().empty() && small(*c);
    if (keep) return;
    for (XmlTag* c : children_) delete c;  // each takes its own subtree, without recursion
    children_.clear();
    attributes_.clear();
    text_ = std::string();
}

Stanza::~Stanza() = default;

const JID& Stanza::to() const {
    if (!toParsed_) {
        to_.assign(getAttribute("to"));
        toParsed_ = true;
    }
    return to_;
}

void Stanza::offerToExtensions(const XmlTag* child) {
    if (StanzaExtension* ext = createExtension(child)) extensions_.emplace_back(ext);
}

void Stanza::parseFields() {
    // Parsing again starts from nothing, so the result never accumulates.
    errorTexts_.clear();
    bodies_.reset();
    subjects_.reset();
    statuses_.reset();
    extensions_.clear();
    subtype_ = StanzaSubUndefined;
    show_ = PresenceUnknown;
    errorCondition_ = StanzaErrorUndefined;
    errorType_ = StanzaErrorTypeUndefined;
    errorAppCondition_ = nullptr;
    payloadNamespace_.clear();
    thread_.clear();
    priority_ = kNoPriority;

    // One pass over the attributes, without copying their values twice.
    const std::string* from = nullptr;
    const std::string* id = nullptr;
    const std::string* type = nullptr;
    const std::string* lang = nullptr;
    for (const Attribute& a : attributes_) {
        const std::string** slot = a.first == "from"sv       ? &from
                                   : a.first == "id"sv       ? &id
                                   : a.first == "type"sv     ? &type
                                   : a.first == "xml:lang"sv ? &lang
                                                             : nullptr;
        if (slot && !*slot) *slot = &a.second;  // the first of a name counts
    }
    static const std::string kEmpty;
    from_.assign(from ? *from : kEmpty);
    toParsed_ = false;
    id_ = id ? *id : kEmpty;
    auto typeIs = [type](std::string_view v) { return type && *type == v; };

    if (name_ == "iq"sv) {
        kind_ = KindIq;
        subtype_ = typeIs("get")      ? IqGet
                   : typeIs("set")    ? IqSet
                   : typeIs("result") ? IqResult
                   : typeIs("error")  ? IqError
                                      : StanzaSubUndefined;
        if (const XmlTag* payload = firstChildWithAttribute("xmlns"))
            payloadNamespace_ = payload->getAttribute("xmlns");
        for (const XmlTag* c : children_) offerToExtensions(c);
    } else if (name_ == "message"sv) {
        kind_ = KindMessage;
        subtype_ = typeIs("chat")        ? MessageChat
                   : typeIs("error")     ? MessageError
                   : typeIs("headline")  ? MessageHeadline
                   : typeIs("groupchat") ? MessageGroupchat
                                         : MessageNormal;
        for (const XmlTag* c : children_) {
            if (c->name() == "thread"sv)
                thread_ = c->text();
            else if (c->name() != "body"sv && c->name() != "subject"sv)
                offerToExtensions(c);
        }
    } else if (name_ == "presence"sv) {
        static const std::pair<const char*, StanzaSubtype> subscriptions[] = {
            {"subscribe", Subscribe},
            {"subscribed", Subscribed},
            {"unsubscribe", Unsubscribe},
            {"unsubscribed", Unsubscribed},
        };
        static const std::pair<const char*, StanzaSubtype> presences[] = {
            {"unavailable", PresenceUnavailable},
            {"probe", PresenceProbe},
            {"error", PresenceError},
        };
        kind_ = KindPresence;
        subtype_ = type ? StanzaSubUndefined : PresenceAvailable;
        for (const auto& s : subscriptions)
            if (typeIs(s.first)) {
                kind_ = KindSubscription;
                subtype_ = s.second;
            }
        if (kind_ == KindPresence)
            for (const auto& p : presences)
                if (typeIs(p.first)) subtype_ = p.second;
    } else {
        kind_ = KindUndefined;
        subtype_ = StanzaSubUndefined;
    }

    if (kind_ == KindPresence) {
        if (!type) show_ = PresenceShowAvailable;
        if (hasChildWithText("show", "chat")) show_ = PresenceChat;
        else if (hasChildWithText("show", "away")) show_ = PresenceAway;
        else if (hasChildWithText("show", "dnd")) show_ = PresenceDnd;
        else if (hasChildWithText("show", "xa")) show_ = PresenceXa;
        else if (typeIs("unavailable")) show_ = PresenceShowUnavailable;
        // RFC 6121 allows -128..127; longer digit strings saturate.
        if (const XmlTag* priority = firstChild("priority")) priority_ = parseDecimal(priority->text(), -128, 127);
    }

    if (kind_ == KindPresence || kind_ == KindSubscription) {
        for (const XmlTag* c : children_) {
            if (c->name() != "status"sv) offerToExtensions(c);
        }
    }

    xmlLang_ = lang ? *lang : kEmpty;

    if (typeIs("error")) {
        if (const XmlTag* error = firstChild("error")) {
            const std::string errorType = error->getAttribute("type");
            errorType_ = StanzaErrorTypeUndefined;
            for (int t = StanzaErrorTypeCancel; t <= StanzaErrorTypeWait; ++t)
                if (errorType == kErrorTypeTexts[t]) errorType_ = static_cast<StanzaErrorType>(t);
            for (const XmlTag* c : error->children()) {
                const StanzaError condition = stanzaErrorFromText(c->name());
                if (condition != StanzaErrorUndefined) {
                    if (c->hasAttribute("xmlns", XMPP_XMLNS_XMPP_STANZAS)) errorCondition_ = condition;
                } else if (c->name() == "text"sv) {
                    errorTexts_[languageKey(c)] = c->text();
                } else {
                    errorAppCondition_ = c;
                }
            }
        }
    }
}

bool Stanza::carries(std::string_view name) const {
    if (name == "status"sv) return kind_ == KindPresence || kind_ == KindSubscription;
    return kind_ == KindMessage;  // body, subject
}

const std::string& Stanza::childTextRef(std::string_view name, std::string_view lang) const {
    static const std::string kNone;
    if (!carries(name)) return kNone;
    for (auto it = children_.rbegin(); it != children_.rend(); ++it)
        if ((*it)->name() == name && inLanguage(**it, lang)) return (*it)->text();
    return kNone;
}

std::string Stanza::childText(std::string_view name, const std::string& lang) const { return childTextRef(name, lang); }

const LanguageMap& Stanza::childTexts(std::optional<LanguageMap>& cache, std::string_view name) const {
    if (!cache) {
        cache.emplace();
        if (carries(name))
            for (const XmlTag* c : children_)
                if (c->name() == name) (*cache)[languageKey(c)] = c->text();
    }
    return *cache;
}

std::string Stanza::status(const std::string& lang) const { return childText("status"sv, lang); }
std::string Stanza::body(const std::string& lang) const { return childText("body"sv, lang); }
const std::string& Stanza::bodyText(std::string_view lang) const { return childTextRef("body"sv, lang); }
std::string Stanza::subject(const std::string& lang) const { return childText("subject"sv, lang); }
const LanguageMap& Stanza::bodies() const { return childTexts(bodies_, "body"sv); }
const LanguageMap& Stanza::subjects() const { return childTexts(subjects_, "subject"sv); }
const LanguageMap& Stanza::statuses() const { return childTexts(statuses_, "status"sv); }
std::string Stanza::errorText(const std::string& lang) const { return lookup(errorTexts_, lang); }

void Stanza::setThread(const std::string& thread) {
    thread_ = thread;
    if (XmlTag* child = firstChild("thread"))
        child->setText(thread);
    else
        new XmlTag(this, "thread", thread);
}

const StanzaExtension* Stanza::extension(ExtensionType type) const {
    for (const auto& e : extensions_)
        if (e->extensionType() == type) return e.get();
    return nullptr;
}

Stanza* Stanza::buildIq(const JID& to, const std::string& id, int subtype, const std::string& payloadNs,
                        XmlTag* payload) {
    Stanza* iq = new Stanza("iq", "", "default", false);
    iq->setAttribute("type", subtype == IqSet      ? "set"
                             : subtype == IqResult ? "result"
                             : subtype == IqError  ? "error"
                                                   : "get");
    if (!payloadNs.empty()) {
        XmlTag* query = new XmlTag(iq, "query");
        query->setAttribute("xmlns", payloadNs);
        if (payload) query->appendChild(payload);
    }
    iq->setAttribute("to", to.full());
    iq->setAttribute("id", id);
    iq->parseFields();
    return iq;
}

Stanza* Stanza::buildPresence(const JID& to, const std::string& status, int show,
                              const std::string& statusLang) {
    static const char* const shows[] = {nullptr, nullptr, "chat", "away", "dnd", "xa"};
    Stanza* p = new Stanza("presence", "", "default", false);
    if (show >= PresenceChat && show <= PresenceXa)
        new XmlTag(p, "show", shows[show]);
    else if (show == PresenceShowUnavailable)
        p->setAttribute("type", "unavailable");
    if (!to.server().empty()) p->setAttribute("to", to.full());
    if (!status.empty()) {
        XmlTag* s = new XmlTag(p, "status", status);
        s->setAttribute("xml:lang", statusLang);
    }
    p->parseFields();
    return p;
}

}  // namespace tern

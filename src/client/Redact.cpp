#include "client/Redact.h"

#include <memory>
#include <vector>

#include "stanza/Constants.h"

namespace tern {

const char* const kRedacted = "[redacted]";

namespace {

// SASL elements whose text may carry a password (PLAIN) or a proof, in
// the classic form and in SASL2's (an initial response inside
// <authenticate>, or a response).
bool isSaslSecret(const XmlTag& t) {
    if (t.text().empty()) return false;
    if ((t.name() == "auth" || t.name() == "response") && t.hasAttribute("xmlns", XMPP_XMLNS_STREAM_SASL)) return true;
    if (t.name() == "response") return t.hasAttribute("xmlns", "urn:xmpp:sasl:2");
    return t.name() == "initial-response" && t.parent() && t.parent()->name() == "authenticate";
}

bool isPasswordField(const XmlTag& t) {
    return (t.name() == "password" || t.name() == "digest") && !t.text().empty();
}

template <typename Visit>
void walk(XmlTag& root, Visit visit) {
    std::vector<XmlTag*> pending{&root};
    while (!pending.empty()) {
        XmlTag* t = pending.back();
        pending.pop_back();
        visit(*t);
        for (XmlTag* c : t->children()) pending.push_back(c);
    }
}

}  // namespace

bool containsCredentials(const XmlTag& tag) {
    bool found = false;
    walk(const_cast<XmlTag&>(tag), [&](XmlTag& t) { found = found || isSaslSecret(t) || isPasswordField(t); });
    return found;
}

std::string serializeForLog(const XmlTag& tag) {
    if (!containsCredentials(tag)) return tag.serialize();
    std::unique_ptr<XmlTag> copy(tag.clone());
    walk(*copy, [](XmlTag& t) {
        if (isSaslSecret(t) || isPasswordField(t)) t.setText(kRedacted);
    });
    return copy->serialize();
}

}  // namespace tern

// The server's side of SASL2 (XEP-0388) for scripted servers: its offer in
// the stream features, its challenges and its success, and a reader for
// what the client sent.
#ifndef PARLEY_TESTS_SUPPORT_SASL2SCRIPT_H
#define PARLEY_TESTS_SUPPORT_SASL2SCRIPT_H

#include <initializer_list>
#include <string>

#include "client/Base64.h"
#include "support/ScramServer.h"

namespace testsupport {

// Bind2 inline, with the client state; with stream management inside it;
// stream management (resumption) inline.
const char* const kBind2 = "<bind xmlns='urn:xmpp:bind:0'><inline><feature var='urn:xmpp:csi:0'/></inline></bind>";
const char* const kBind2Sm = "<bind xmlns='urn:xmpp:bind:0'><inline><feature var='urn:xmpp:sm:3'/></inline></bind>";
const char* const kInlineSm = "<sm xmlns='urn:xmpp:sm:3'/>";
const char* const kEnabledInline = "<enabled xmlns='urn:xmpp:sm:3' id='sm-1' resume='true'/>";

inline std::string sasl2Offer(std::initializer_list<const char*> names, const std::string& inlined = std::string()) {
    std::string out = "<authentication xmlns='urn:xmpp:sasl:2'>";
    for (const char* n : names) out += std::string("<mechanism>") + n + "</mechanism>";
    if (!inlined.empty()) out += "<inline>" + inlined + "</inline>";
    return out + "</authentication>";
}

inline std::string sasl2Challenge(const std::string& decoded) {
    return "<challenge xmlns='urn:xmpp:sasl:2'>" + tern::base64Encode(decoded) + "</challenge>";
}

// additional: the server's final message (empty: none); bound: Bind2's
// answer, holding boundInner; inner: whatever else the success carries.
inline std::string sasl2Success(const std::string& additional, const std::string& authorized, bool bound = false,
                                const std::string& inner = std::string(), const std::string& boundInner = std::string()) {
    std::string out = "<success xmlns='urn:xmpp:sasl:2'>";
    if (!additional.empty()) out += "<additional-data>" + tern::base64Encode(additional) + "</additional-data>";
    out += "<authorization-identifier>" + authorized + "</authorization-identifier>";
    if (bound) out += "<bound xmlns='urn:xmpp:bind:0'>" + boundInner + "</bound>";
    return out + inner + "</success>";
}

// The decoded text of the first element with this name in what was sent
// ("(none)" when there is none).
inline std::string sentPayload(const std::string& sent, const std::string& name) {
    const std::size_t open = sent.find("<" + name);
    if (open == std::string::npos) return "(none)";
    const std::size_t start = sent.find('>', open) + 1;
    return tern::base64Decode(sent.substr(start, sent.find('<', start) - start));
}

}  // namespace testsupport

#endif

#include "stanza/JID.h"

#include <cctype>
#include <cstring>

namespace tern {

namespace {
// Messages from one room share most parts of their sender: a part that is
// already what it should be is compared, not copied again.
inline void setPart(std::string& part, const std::string& text, std::size_t at, std::size_t n) {
    const char* from = text.data() + at;
    if (part.size() != n || std::memcmp(part.data(), from, n) != 0) part.assign(from, n);
}
}  // namespace

void JID::assign(const std::string& text) {
    const std::size_t slash = text.find('/');
    const std::size_t hostEnd = slash == std::string::npos ? text.size() : slash;
    const std::size_t at = text.find('@');
    if (slash != std::string::npos)
        resource_.assign(text.data() + slash + 1, text.size() - slash - 1);
    else
        resource_.clear();
    if (at != std::string::npos && at < hostEnd) {
        setPart(username_, text, 0, at);
        setPart(serverRaw_, text, at + 1, hostEnd - at - 1);
    } else {
        username_.clear();
        setPart(serverRaw_, text, 0, hostEnd);
    }
    if (at == 0) {
        rebuild();  // "@host": the bare address is the host alone
        return;
    }
    // Otherwise the addresses are the text itself, cut where they end.
    setPart(bare_, text, 0, hostEnd);
    full_.assign(text.data(), resource_.empty() ? hostEnd : text.size());
}

JID::JID(const std::string& username, const std::string& server, const std::string& resource)
    : resource_(resource), username_(username), serverRaw_(server) {
    rebuild();
}

namespace {

constexpr std::size_t kMaxPart = 1023;

// The first character a part may not carry, described, or empty. Controls
// are refused everywhere; the rest is what the part's form excludes.
std::string forbiddenIn(const std::string& part, const char* excluded) {
    for (unsigned char c : part) {
        if (c < 0x20 || c == 0x7F) return "a control character";
        if (std::strchr(excluded, c)) return std::string("'") + static_cast<char>(c) + "'";
    }
    return std::string();
}

}  // namespace

namespace {
bool sameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x != y && std::tolower(x) != std::tolower(y)) return false;
    }
    return true;
}
}  // namespace

bool JID::sameBareAs(const JID& other) const {
    return sameIgnoringCase(username_, other.username_) && sameIgnoringCase(serverRaw_, other.serverRaw_);
}

std::string JID::addressProblem() const {
    if (username_.empty()) return "the address " + full_ + " has no user part";
    if (serverRaw_.empty()) return "the address " + full_ + " has no server";
    if (username_.size() > kMaxPart || serverRaw_.size() > kMaxPart || resource_.size() > kMaxPart)
        return "a part of the address " + full_ + " is longer than 1023 bytes";
    // RFC 7622 3.3.1: these may not stand in a localpart, nor spaces.
    std::string bad = forbiddenIn(username_, " \"&'/:<>@");
    if (!bad.empty()) return "the user name holds " + bad + ", which an address's user part may not carry";
    bad = forbiddenIn(serverRaw_, " \"&'/<>@\\");
    if (!bad.empty()) return "the server name holds " + bad + ", which a domain may not carry";
    bad = forbiddenIn(resource_, "");
    if (!bad.empty()) return "the resource holds " + bad;
    return std::string();
}

void JID::setServer(const std::string& server) {
    serverRaw_ = server;
    rebuild();
}

void JID::setResource(const std::string& resource) {
    resource_ = resource;
    rebuild();
}

void JID::rebuild() {
    bare_.clear();
    if (!username_.empty()) {
        bare_.reserve(username_.size() + 1 + serverRaw_.size());
        bare_.append(username_).push_back('@');
    }
    bare_.append(serverRaw_);
    full_.clear();
    full_.reserve(bare_.size() + 1 + resource_.size());
    full_.append(bare_);
    if (!resource_.empty()) full_.append(1, '/').append(resource_);
}

}  // namespace tern

#include "stanza/JID.h"

namespace tern {

void JID::assign(const std::string& text) {
    const std::size_t slash = text.find('/');
    const std::size_t hostEnd = slash == std::string::npos ? text.size() : slash;
    const std::size_t at = text.find('@');
    if (slash != std::string::npos)
        resource_.assign(text, slash + 1, std::string::npos);
    else
        resource_.clear();
    if (at != std::string::npos && at < hostEnd) {
        username_.assign(text, 0, at);
        serverRaw_.assign(text, at + 1, hostEnd - at - 1);
    } else {
        username_.clear();
        serverRaw_.assign(text, 0, hostEnd);
    }
    rebuild();
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
    server_ = serverRaw_;
    bare_.clear();
    if (!username_.empty()) {
        bare_.reserve(username_.size() + 1 + server_.size());
        bare_.append(username_).push_back('@');
    }
    bare_.append(server_);
    full_.clear();
    full_.reserve(bare_.size() + 1 + resource_.size());
    full_.append(bare_);
    if (!resource_.empty()) full_.append(1, '/').append(resource_);
}

}  // namespace tern

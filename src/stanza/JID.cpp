#include "stanza/JID.h"

namespace tern {

void JID::assign(const std::string& text) {
    resource_.clear();
    username_.clear();
    serverRaw_.clear();
    const std::size_t slash = text.find('/');
    const std::size_t hostEnd = slash == std::string::npos ? text.size() : slash;
    const std::size_t at = text.find('@');
    if (slash != std::string::npos) resource_ = text.substr(slash + 1);
    if (at != std::string::npos && at < hostEnd) {
        username_ = text.substr(0, at);
        serverRaw_ = text.substr(at + 1, hostEnd - at - 1);
    } else {
        serverRaw_ = text.substr(0, hostEnd);
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
    bare_ = username_.empty() ? server_ : username_ + "@" + server_;
    full_ = resource_.empty() ? bare_ : bare_ + "/" + resource_;
}

}  // namespace tern

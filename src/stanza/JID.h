// An XMPP address: user, server and resource with the derived bare and full
// forms. No normalisation is applied: the server part is kept as written.
#ifndef TERN_STANZA_JID_H
#define TERN_STANZA_JID_H

#include <string>

namespace tern {

class JID {
public:
    JID() = default;
    explicit JID(const std::string& text) { assign(text); }

    // Parses "user@server/resource" as RFC 7622 does: the resource starts at
    // the first "/", and only an "@" before that "/" ends the user part, so
    // "example.com/phone@home" is the server example.com with resource
    // "phone@home". Every field is replaced, so the result is exactly the
    // address given.
    void assign(const std::string& text);
    // From its parts, as they are (no part is split at "@" or "/").
    JID(const std::string& username, const std::string& server, const std::string& resource);
    void setServer(const std::string& server);
    void setResource(const std::string& resource);

    const std::string& resource() const { return resource_; }
    const std::string& username() const { return username_; }
    const std::string& server() const { return serverRaw_; }
    const std::string& serverRaw() const { return serverRaw_; }
    const std::string& bare() const { return bare_; }
    const std::string& full() const { return full_; }
    bool empty() const { return full_.empty(); }
    // Why this cannot be the address of an account to log in as or of a
    // room to join (RFC 7622: a user part without the characters it may
    // not carry, a domain, no part over 1023 bytes), or empty when it can.
    std::string addressProblem() const;

    // The same account or service: user and server parts compared without
    // ASCII case (servers answer with the prepared form).
    bool sameBareAs(const JID& other) const;

    bool operator==(const JID& other) const { return full_ == other.full_; }
    bool operator!=(const JID& other) const { return full_ != other.full_; }

private:
    void rebuild();

    std::string resource_;
    std::string username_;
    std::string serverRaw_;
    std::string bare_;
    std::string full_;
};

}  // namespace tern

#endif

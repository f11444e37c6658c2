// Legacy iq-based login (XEP-0078, jabber:iq:auth): ask which credentials
// the server wants, then send user name, resource and either the SHA-1
// digest of stream id and password or the password itself.
#ifndef TERN_CLIENT_NONSASLAUTH_H
#define TERN_CLIENT_NONSASLAUTH_H

#include <string>

#include "client/Handlers.h"

namespace tern {

class Client;

class NonSaslAuth : public IqHandler {
public:
    explicit NonSaslAuth(Client* client);
    ~NonSaslAuth() override;

    // Sends the field query for the stream with this id.
    void doAuth(const std::string& sessionId);

    bool handleIqByNamespace(Stanza*) override { return false; }
    bool handleIqById(Stanza* stanza, int context) override;

private:
    enum Context { FieldQuery = 0, Login = 1 };
    const JID& identity() const;

    Client* client_;
    std::string sessionId_;
};

}  // namespace tern

#endif

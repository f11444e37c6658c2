// What the host trusts for server certificates (its own authority file on
// top of the system's store, or, for testing only, anything at all) and
// what it lets travel without TLS. Read when a session starts.
#ifndef TERN_HOST_TRUSTSETTINGS_H
#define TERN_HOST_TRUSTSETTINGS_H

#include <mutex>
#include <string>

#include "client/ClientBase.h"
#include "transport/TLSBase.h"

namespace tern {

class TrustSettings {
public:
    static TrustSettings& instance();

    void setTrustedCaFile(const std::string& path);
    void setAcceptAnyCertificate(bool accept);
    bool acceptAnyCertificate() const;
    // The trust anchors a new session hands its client.
    StringList caCerts() const;
    // Values outside the policies are ignored.
    void setEncryptionPolicy(int policy);
    EncryptionPolicy encryptionPolicy() const;

private:
    TrustSettings() = default;
    mutable std::mutex mutex_;
    std::string caFile_;
    bool acceptAny_ = false;
    EncryptionPolicy encryptionPolicy_ = EncryptionProtectPassword;
};

}  // namespace tern

#endif

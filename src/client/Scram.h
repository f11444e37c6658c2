// The client side of SCRAM (RFC 5802, RFC 7677) without channel binding.
// It only computes messages; the SASL element handling lives in Client.
#ifndef TERN_CLIENT_SCRAM_H
#define TERN_CLIENT_SCRAM_H

#include <string>

namespace tern {

class ScramClient {
public:
    enum class Hash { Sha1, Sha256 };

    // A hostile server could ask for any iteration count; beyond this the
    // exchange is refused rather than burning the receive thread.
    static constexpr unsigned kMaxIterations = 1000000;

    // The salted password of the last exchange: with the same salt and
    // iteration count the next one (a reconnection) skips PBKDF2.
    struct SaltedPasswordCache {
        Hash hash = Hash::Sha256;
        std::string salt;
        unsigned iterations = 0;
        std::string salted;
    };

    // nonce: printable, without ','. authzid may be empty. cache, when
    // given, outlives the client and belongs to this password.
    ScramClient(Hash hash, const std::string& user, const std::string& password, const std::string& authzid,
                const std::string& nonce, SaltedPasswordCache* cache = nullptr);

    // Refuses a server that asks for fewer iterations (a stream without
    // TLS, where an eavesdropper could test guesses against the exchange).
    void setMinimumIterations(unsigned minimum) { minIterations_ = minimum; }
    // The last clientFinal failed for that reason alone.
    bool refusedForIterations() const { return refusedForIterations_; }

    // The initial message, with the GS2 header.
    std::string clientFirst() const;
    // The answer to the server's first message; false (with a reason) when
    // that message cannot be accepted.
    bool clientFinal(const std::string& serverFirst, std::string& out, std::string& error);
    // Whether the server's final message proves that it knows the password.
    bool verifyServerFinal(const std::string& serverFinal, std::string& error) const;

    static const char* mechanismName(Hash hash) { return hash == Hash::Sha1 ? "SCRAM-SHA-1" : "SCRAM-SHA-256"; }

private:
    std::string hmac(const std::string& key, const std::string& message) const;
    std::string digest(const std::string& data) const;
    std::string saltedPassword(const std::string& salt, unsigned iterations) const;

    Hash hash_;
    SaltedPasswordCache* cache_;
    std::string password_;
    std::string gs2Header_;
    std::string clientFirstBare_;
    std::string nonce_;
    std::string serverSignature_;  // empty until clientFinal succeeded
    unsigned minIterations_ = 1;
    bool refusedForIterations_ = false;
};

}  // namespace tern

#endif

// The client side of SCRAM (RFC 5802, RFC 7677), with channel binding
// (-PLUS) and XEP-0474's check of what the server offered. It only computes
// messages; the SASL element handling lives in Client.
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

    // Before clientFirst: the GS2 channel-binding flag ("p=TYPE" for a -PLUS
    // mechanism, with that type's data; "y" when the client could bind but
    // the server offers no -PLUS; "n", the default, when it cannot) (RFC 5802).
    void setChannelBinding(const std::string& flag, const std::string& data = std::string());
    // XEP-0474: the mechanism and channel-binding lists this stream received,
    // as the text whose hash a server may send back; a hash that differs
    // means someone in the path changed what the client saw.
    void setOfferedLists(const std::string& text) { offeredLists_ = text; }
    // The last clientFinal failed because that hash differed.
    bool listsDiffered() const { return listsDiffered_; }
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

    static const char* mechanismName(Hash hash, bool plus = false) {
        if (hash == Hash::Sha1) return plus ? "SCRAM-SHA-1-PLUS" : "SCRAM-SHA-1";
        return plus ? "SCRAM-SHA-256-PLUS" : "SCRAM-SHA-256";
    }

private:
    std::string hmac(const std::string& key, const std::string& message) const;
    std::string digest(const std::string& data) const;
    std::string saltedPassword(const std::string& salt, unsigned iterations) const;

    Hash hash_;
    SaltedPasswordCache* cache_;
    std::string password_;
    std::string authzidPart_;  // "a=NAME" or empty
    std::string gs2Header_;
    std::string bindingData_;
    std::string offeredLists_;
    std::string clientFirstBare_;
    std::string nonce_;
    std::string serverSignature_;  // empty until clientFinal succeeded
    unsigned minIterations_ = 1;
    bool refusedForIterations_ = false;
    bool listsDiffered_ = false;
};

}  // namespace tern

#endif

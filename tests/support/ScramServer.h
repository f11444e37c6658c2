// The server's side of one SCRAM exchange (RFC 5802), for scripted
// servers: it answers the client's first message, checks its proof and
// channel binding, and proves itself in turn.
#ifndef PARLEY_TESTS_SUPPORT_SCRAMSERVER_H
#define PARLEY_TESTS_SUPPORT_SCRAMSERVER_H

#include <string>

#include "client/Base64.h"
#include "client/Hmac.h"
#include "client/SHA.h"
#include "client/SHA256.h"

namespace testsupport {

class ScramServer {
public:
    explicit ScramServer(bool sha1 = false, std::string password = "pencil") : sha1_(sha1), password_(password) {}

    // The server's first message; extra goes after the iteration count
    // (",d=..." for XEP-0474).
    std::string first(const std::string& clientFirst, const std::string& extra = std::string()) {
        const std::size_t bare = clientFirst.find(',', clientFirst.find(',') + 1) + 1;
        gs2Header_ = clientFirst.substr(0, bare);
        clientFirstBare_ = clientFirst.substr(bare);
        const std::size_t r = clientFirstBare_.find("r=");
        serverFirst_ = clientFirstBare_.substr(r, clientFirstBare_.find(',', r) - r) + "3rfcNHYJY1ZVvWVs7j,s=" +
                       tern::base64Encode("salt of the test") + ",i=4096" + extra;
        return serverFirst_;
    }
    const std::string& gs2Header() const { return gs2Header_; }

    // The server's final message, or "e=..." when the proof or the binding
    // (gs2 header and binding data in c=) does not hold.
    std::string final(const std::string& clientFinal, const std::string& bindingData = std::string()) {
        const std::size_t p = clientFinal.rfind(",p=");
        const std::string withoutProof = clientFinal.substr(0, p);
        if (withoutProof.compare(0, withoutProof.find(','), "c=" + tern::base64Encode(gs2Header_ + bindingData)) != 0)
            return "e=channel-bindings-dont-match";
        const std::string authMessage = clientFirstBare_ + "," + serverFirst_ + "," + withoutProof;
        const std::string salted = sha1_ ? tern::pbkdf2<tern::SHA>(password_, "salt of the test", 4096)
                                         : tern::pbkdf2<tern::SHA256>(password_, "salt of the test", 4096);
        const std::string clientKey = hmac(salted, "Client Key");
        std::string proof = tern::base64Decode(clientFinal.substr(p + 3));
        const std::string signature = hmac(digest(clientKey), authMessage);
        for (std::size_t i = 0; i < proof.size() && i < signature.size(); ++i) proof[i] ^= signature[i];
        if (proof != clientKey) return "e=invalid-proof";
        return "v=" + tern::base64Encode(hmac(hmac(salted, "Server Key"), authMessage));
    }

    // The hash XEP-0474 puts in d=, of this text.
    std::string digestBase64(const std::string& text) const { return tern::base64Encode(digest(text)); }

private:
    std::string hmac(const std::string& key, const std::string& m) const {
        return sha1_ ? tern::hmac<tern::SHA>(key, m) : tern::hmac<tern::SHA256>(key, m);
    }
    std::string digest(const std::string& data) const {
        if (sha1_) {
            tern::SHA h;
            h.update(data);
            return h.rawDigest();
        }
        tern::SHA256 h;
        h.update(data);
        return h.rawDigest();
    }
    bool sha1_;
    std::string password_;
    std::string gs2Header_, clientFirstBare_, serverFirst_;
};

}  // namespace testsupport

#endif

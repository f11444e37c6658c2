#include "client/Scram.h"

#include <cstdlib>

#include "client/Base64.h"
#include "client/Hmac.h"
#include "client/SHA.h"
#include "client/SHA256.h"

namespace tern {

namespace {

// RFC 5802 saslname: ',' and '=' are escaped.
std::string saslName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        if (c == ',')
            out += "=2C";
        else if (c == '=')
            out += "=3D";
        else
            out.push_back(c);
    }
    return out;
}

// The value of "key=" among the comma-separated attributes; found false
// when the key is absent.
std::string attribute(const std::string& message, char key, bool& found) {
    std::size_t pos = 0;
    while (pos <= message.size()) {
        std::size_t end = message.find(',', pos);
        if (end == std::string::npos) end = message.size();
        if (end - pos >= 2 && message[pos] == key && message[pos + 1] == '=') {
            found = true;
            return message.substr(pos + 2, end - pos - 2);
        }
        pos = end + 1;
    }
    found = false;
    return std::string();
}

bool isDecimal(const std::string& s) {
    if (s.empty() || s.size() > 10) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// Compares without leaking where the first difference is.
bool sameBytes(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string exclusiveOr(std::string a, const std::string& b) {
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) a[i] = static_cast<char>(a[i] ^ b[i]);
    return a;
}

}  // namespace

ScramClient::ScramClient(Hash hash, const std::string& user, const std::string& password, const std::string& authzid,
                         const std::string& nonce, SaltedPasswordCache* cache)
    : hash_(hash), cache_(cache), password_(password), nonce_(nonce) {
    authzidPart_ = authzid.empty() ? std::string() : "a=" + saslName(authzid);
    setChannelBinding("n");
    clientFirstBare_ = "n=" + saslName(user) + ",r=" + nonce;
}

void ScramClient::setChannelBinding(const std::string& flag, const std::string& data) {
    gs2Header_ = flag + "," + authzidPart_ + ",";
    bindingData_ = data;
}

std::string ScramClient::clientFirst() const { return gs2Header_ + clientFirstBare_; }

std::string ScramClient::hmac(const std::string& key, const std::string& message) const {
    return hash_ == Hash::Sha1 ? tern::hmac<SHA>(key, message) : tern::hmac<SHA256>(key, message);
}

std::string ScramClient::digest(const std::string& data) const {
    if (hash_ == Hash::Sha1) {
        SHA h;
        h.update(data);
        return h.rawDigest();
    }
    SHA256 h;
    h.update(data);
    return h.rawDigest();
}

std::string ScramClient::saltedPassword(const std::string& salt, unsigned iterations) const {
    if (cache_ && cache_->hash == hash_ && cache_->salt == salt && cache_->iterations == iterations &&
        !cache_->salted.empty())
        return cache_->salted;
    std::string salted =
        hash_ == Hash::Sha1 ? pbkdf2<SHA>(password_, salt, iterations) : pbkdf2<SHA256>(password_, salt, iterations);
    if (cache_) *cache_ = {hash_, salt, iterations, salted};
    return salted;
}

bool ScramClient::clientFinal(const std::string& serverFirst, std::string& out, std::string& error) {
    if (serverFirst.compare(0, 2, "m=") == 0) {
        error = "the server requires an extension we do not know";
        return false;
    }
    bool haveNonce, haveSalt, haveIterations;
    const std::string nonce = attribute(serverFirst, 'r', haveNonce);
    const std::string salt = base64Decode(attribute(serverFirst, 's', haveSalt));
    const std::string iterationText = attribute(serverFirst, 'i', haveIterations);
    if (!haveNonce || !haveSalt || !haveIterations) {
        error = "the server's first message lacks the nonce, the salt or the iteration count";
        return false;
    }
    // The server's nonce must extend ours, or a replayed exchange would pass.
    if (nonce.size() <= nonce_.size() || nonce.compare(0, nonce_.size(), nonce_) != 0) {
        error = "the server's nonce does not extend ours";
        return false;
    }
    if (salt.empty()) {
        error = "the server sent an empty salt";
        return false;
    }
    const unsigned long iterations = isDecimal(iterationText) ? std::strtoul(iterationText.c_str(), nullptr, 10) : 0;
    if (iterations < 1 || iterations > kMaxIterations) {
        error = "the server asks for " + iterationText + " iterations";
        return false;
    }
    if (iterations < minIterations_) {
        refusedForIterations_ = true;
        error = "the server asks for " + iterationText + " iterations, fewer than the " +
                std::to_string(minIterations_) + " a stream without TLS needs (encryption policy)";
        return false;
    }

    // XEP-0474: what the server says it offered, against what arrived here.
    bool haveOffered;
    const std::string offered = attribute(serverFirst, 'd', haveOffered);
    if (haveOffered && !sameBytes(base64Decode(offered), digest(offeredLists_))) {
        listsDiffered_ = true;
        error = "the mechanisms or channel-binding types the server says it offered differ from what this stream "
                "received: someone in the path may be intercepting the connection";
        return false;
    }

    const std::string withoutProof = "c=" + base64Encode(gs2Header_ + bindingData_) + ",r=" + nonce;
    const std::string authMessage = clientFirstBare_ + "," + serverFirst + "," + withoutProof;
    const std::string salted = saltedPassword(salt, static_cast<unsigned>(iterations));
    const std::string clientKey = hmac(salted, "Client Key");
    const std::string clientSignature = hmac(digest(clientKey), authMessage);
    serverSignature_ = hmac(hmac(salted, "Server Key"), authMessage);
    out = withoutProof + ",p=" + base64Encode(exclusiveOr(clientKey, clientSignature));
    return true;
}

bool ScramClient::verifyServerFinal(const std::string& serverFinal, std::string& error) const {
    bool found;
    const std::string serverError = attribute(serverFinal, 'e', found);
    if (found) {
        error = "the server reports " + serverError;
        return false;
    }
    const std::string verifier = attribute(serverFinal, 'v', found);
    if (!found || serverSignature_.empty() || !sameBytes(base64Decode(verifier), serverSignature_)) {
        error = "the server's signature does not verify";
        return false;
    }
    return true;
}

}  // namespace tern

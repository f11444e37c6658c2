// HMAC (RFC 2104) and PBKDF2 (RFC 8018) over a hash with update(string),
// rawDigest(), kDigestSize and kBlockSize. SCRAM runs thousands of HMACs
// with one key, so the keyed inner and outer states are computed once.
#ifndef TERN_CLIENT_HMAC_H
#define TERN_CLIENT_HMAC_H

#include <cstddef>
#include <string>

namespace tern {

template <class Hash>
class Hmac {
public:
    explicit Hmac(const std::string& key) {
        std::string k = key;
        if (k.size() > Hash::kBlockSize) {
            Hash h;
            h.update(k);
            k = h.rawDigest();
        }
        k.resize(Hash::kBlockSize, '\0');
        std::string ipad(k), opad(k);
        for (std::size_t i = 0; i < Hash::kBlockSize; ++i) {
            ipad[i] = static_cast<char>(ipad[i] ^ 0x36);
            opad[i] = static_cast<char>(opad[i] ^ 0x5c);
        }
        inner_.update(ipad);
        outer_.update(opad);
    }

    std::string sign(const std::string& message) const {
        Hash in = inner_;
        in.update(message);
        Hash out = outer_;
        out.update(in.rawDigest());
        return out.rawDigest();
    }

private:
    Hash inner_;
    Hash outer_;
};

template <class Hash>
std::string hmac(const std::string& key, const std::string& message) {
    return Hmac<Hash>(key).sign(message);
}

// PBKDF2 with HMAC-Hash; iterations below 1 count as 1.
template <class Hash>
std::string pbkdf2(const std::string& password, const std::string& salt, unsigned iterations,
                   std::size_t length = Hash::kDigestSize) {
    const Hmac<Hash> prf(password);
    std::string out;
    for (unsigned block = 1; out.size() < length; ++block) {
        std::string u = salt;
        for (int shift = 24; shift >= 0; shift -= 8) u.push_back(static_cast<char>(block >> shift));
        u = prf.sign(u);
        std::string t = u;
        for (unsigned i = 1; i < iterations; ++i) {
            u = prf.sign(u);
            for (std::size_t j = 0; j < t.size(); ++j) t[j] = static_cast<char>(t[j] ^ u[j]);
        }
        out += t;
    }
    out.resize(length);
    return out;
}

}  // namespace tern

#endif

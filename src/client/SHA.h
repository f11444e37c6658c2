// SHA-1 (FIPS 180-1). Used by the digest form of legacy authentication and
// by SCRAM-SHA-1.
#ifndef TERN_CLIENT_SHA_H
#define TERN_CLIENT_SHA_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace tern {

class SHA {
public:
    static constexpr std::size_t kDigestSize = 20;
    static constexpr std::size_t kBlockSize = 64;

    SHA() { reset(); }
    virtual ~SHA() = default;

    void reset();
    // Absorbing after the digest was computed, or past 2^64 bits, corrupts
    // the object: nothing more is absorbed and hexDigest() returns "".
    void update(const char* data, unsigned length);
    void update(const std::string& data);
    void finish();
    std::string hexDigest();
    // The 20 digest bytes (empty when corrupted).
    std::string rawDigest();

private:
    void processBlock();

    std::uint32_t h_[5];
    std::uint32_t lengthLow_, lengthHigh_;  // message length in bits
    unsigned char block_[64];
    int blockIndex_;
    bool computed_;
    bool corrupted_;
};

}  // namespace tern

#endif

// SHA-256 (FIPS 180-4). Used by SCRAM-SHA-256.
#ifndef TERN_CLIENT_SHA256_H
#define TERN_CLIENT_SHA256_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace tern {

class SHA256 {
public:
    static constexpr std::size_t kDigestSize = 32;
    static constexpr std::size_t kBlockSize = 64;

    SHA256() { reset(); }

    void reset();
    void update(const void* data, std::size_t length);
    void update(const std::string& data) { update(data.data(), data.size()); }
    // Finishes on the first call; absorbing afterwards starts nothing new.
    std::string rawDigest();
    std::string hexDigest();

private:
    void processBlock(const unsigned char* block);

    std::uint32_t h_[8];
    std::uint64_t length_;  // bytes absorbed
    unsigned char block_[kBlockSize];
    std::size_t blockIndex_;
    bool finished_;
};

}  // namespace tern

#endif

#include "client/SHA.h"

#include "client/Hex.h"

#include <algorithm>
#include <cstring>

namespace tern {

namespace {
inline std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
}  // namespace

void SHA::reset() {
    h_[0] = 0x67452301;
    h_[1] = 0xefcdab89;
    h_[2] = 0x98badcfe;
    h_[3] = 0x10325476;
    h_[4] = 0xc3d2e1f0;
    lengthLow_ = lengthHigh_ = 0;
    std::memset(block_, 0, sizeof block_);
    blockIndex_ = 0;
    computed_ = false;
    corrupted_ = false;
}

void SHA::processBlock() {
    std::uint32_t w[80];
    for (int t = 0; t < 16; ++t)
        w[t] = std::uint32_t(block_[4 * t]) << 24 | std::uint32_t(block_[4 * t + 1]) << 16 |
               std::uint32_t(block_[4 * t + 2]) << 8 | std::uint32_t(block_[4 * t + 3]);
    for (int t = 16; t < 80; ++t) w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    std::uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
    for (int t = 0; t < 80; ++t) {
        std::uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5a827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ed9eba1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8f1bbcdc;
        } else {
            f = b ^ c ^ d;
            k = 0xca62c1d6;
        }
        const std::uint32_t temp = rotl(a, 5) + f + e + w[t] + k;
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = temp;
    }
    h_[0] += a;
    h_[1] += b;
    h_[2] += c;
    h_[3] += d;
    h_[4] += e;
    blockIndex_ = 0;
}

void SHA::update(const char* data, unsigned length) {
    if (length == 0) return;
    if (computed_ || corrupted_) {
        corrupted_ = true;
        return;
    }
    const std::uint64_t bits = std::uint64_t(lengthHigh_) << 32 | lengthLow_;
    const std::uint64_t added = std::uint64_t(length) << 3;
    if (bits + added < bits) {  // the message length no longer fits 64 bits
        corrupted_ = true;
        return;
    }
    lengthLow_ = static_cast<std::uint32_t>(bits + added);
    lengthHigh_ = static_cast<std::uint32_t>((bits + added) >> 32);
    while (length > 0) {
        const unsigned n = std::min(length, 64u - static_cast<unsigned>(blockIndex_));
        std::memcpy(block_ + blockIndex_, data, n);
        blockIndex_ += static_cast<int>(n);
        data += n;
        length -= n;
        if (blockIndex_ == 64) processBlock();
    }
}

void SHA::update(const std::string& data) {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const unsigned n = left > 0x40000000u ? 0x40000000u : static_cast<unsigned>(left);
        update(p, n);
        p += n;
        left -= n;
    }
}

void SHA::finish() {
    if (computed_ || corrupted_) return;
    block_[blockIndex_++] = 0x80;
    if (blockIndex_ > 56) {
        while (blockIndex_ < 64) block_[blockIndex_++] = 0;
        processBlock();
    }
    while (blockIndex_ < 56) block_[blockIndex_++] = 0;
    for (int i = 0; i < 4; ++i) {
        block_[56 + i] = static_cast<unsigned char>(lengthHigh_ >> (24 - 8 * i));
        block_[60 + i] = static_cast<unsigned char>(lengthLow_ >> (24 - 8 * i));
    }
    processBlock();
    computed_ = true;
}

std::string SHA::rawDigest() {
    if (corrupted_) return std::string();
    finish();
    std::string out(20, '\0');
    for (int i = 0; i < 20; ++i) out[i] = static_cast<char>(h_[i / 4] >> (24 - 8 * (i % 4)));
    return out;
}

std::string SHA::hexDigest() { return hexEncode(rawDigest()); }

}  // namespace tern

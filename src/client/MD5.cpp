#include "client/MD5.h"

#include "client/Hex.h"

#include <cstring>

namespace tern {

namespace {

inline std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline std::uint32_t load32le(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

constexpr std::uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
    0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
    0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
    0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
    0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
    0xeb86d391};

constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

}  // namespace

void MD5::reset() {
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    count_[0] = count_[1] = 0;
    std::memset(buffer_, 0, sizeof buffer_);
    finished_ = false;
}

void MD5::transform(const unsigned char block[64]) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = load32le(block + 4 * i);
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (b & d) | (c & ~d);
            g = (5 * i + 1) & 15;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) & 15;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) & 15;
        }
        const std::uint32_t t = d;
        d = c;
        c = b;
        b = b + rotl(a + f + kT[i] + x[g], kShift[i]);
        a = t;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void MD5::update(const unsigned char* data, int length) {
    if (length <= 0 || finished_) return;
    std::size_t len = static_cast<std::size_t>(length);
    std::size_t index = (count_[0] >> 3) & 0x3f;
    const std::uint64_t bits = (std::uint64_t(count_[1]) << 32 | count_[0]) + (std::uint64_t(len) << 3);
    count_[0] = static_cast<std::uint32_t>(bits);
    count_[1] = static_cast<std::uint32_t>(bits >> 32);
    std::size_t i = 0;
    const std::size_t partLen = 64 - index;
    if (len >= partLen) {
        std::memcpy(buffer_ + index, data, partLen);
        transform(buffer_);
        for (i = partLen; i + 63 < len; i += 64) transform(data + i);
        index = 0;
    }
    std::memcpy(buffer_ + index, data + i, len - i);
}

void MD5::update(const std::string& data) {
    // Longer strings go in pieces so the int length never overflows.
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t left = data.size();
    while (left > 0) {
        const int n = left > 0x40000000 ? 0x40000000 : static_cast<int>(left);
        update(p, n);
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void MD5::finish() {
    if (finished_) return;
    unsigned char bits[8];
    for (int i = 0; i < 4; ++i) {
        bits[i] = static_cast<unsigned char>(count_[0] >> (8 * i));
        bits[4 + i] = static_cast<unsigned char>(count_[1] >> (8 * i));
    }
    static const unsigned char padding[64] = {0x80};
    const std::size_t index = (count_[0] >> 3) & 0x3f;
    const int padLen = static_cast<int>(index < 56 ? 56 - index : 120 - index);
    update(padding, padLen);
    update(bits, 8);
    finished_ = true;
}

std::string MD5::rawDigest() {
    finish();
    std::string out(16, '\0');
    for (int i = 0; i < 16; ++i) out[i] = static_cast<char>(state_[i / 4] >> (8 * (i % 4)));
    return out;
}

std::string MD5::hexDigest() { return hexEncode(rawDigest()); }

}  // namespace tern

#include "client/SipHash.h"

#include <cstring>

#include "transport/Platform.h"

namespace tern {

namespace {

inline std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

// Little-endian, whatever the machine.
inline std::uint64_t load64(const unsigned char* p, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= std::uint64_t{p[i]} << (8 * i);
    return v;
}

// A whole block: one load where the machine is little-endian.
inline std::uint64_t loadBlock(const unsigned char* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ || defined(_WIN32)
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
#else
    return load64(p, 8);
#endif
}

struct State {
    std::uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1;
        v1 = rotl(v1, 13) ^ v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16) ^ v2;
        v0 += v3;
        v3 = rotl(v3, 21) ^ v0;
        v2 += v1;
        v1 = rotl(v1, 17) ^ v2;
        v2 = rotl(v2, 32);
    }
    template <int Rounds>
    void absorb(std::uint64_t m) {
        v3 ^= m;
        for (int i = 0; i < Rounds; ++i) round();
        v0 ^= m;
    }
};

// The last data.size() % 8 bytes, in the low bytes of a block: from the last
// whole block's bytes where there is one, rather than byte by byte.
inline std::uint64_t loadTail(std::string_view data) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const std::size_t left = data.size() % 8;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ || defined(_WIN32)
    if (left && data.size() >= 8) return loadBlock(p + data.size() - 8) >> (8 * (8 - left));
#endif
    return load64(p + data.size() - left, left);
}

State start(std::uint64_t k0, std::uint64_t k1) {
    return {k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull, k0 ^ 0x6c7967656e657261ull,
            k1 ^ 0x7465646279746573ull};
}

template <int C>
void absorbWhole(State& s, std::string_view data) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const std::size_t whole = data.size() / 8 * 8;
    for (std::size_t i = 0; i < whole; i += 8) s.absorb<C>(loadBlock(p + i));
}

template <int C, int D>
std::uint64_t finish(State& s, std::string_view data) {
    absorbWhole<C>(s, data);
    s.absorb<C>(loadTail(data) | (std::uint64_t{data.size() & 0xff} << 56));
    s.v2 ^= 0xff;
    for (int i = 0; i < D; ++i) s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// SipHash-c-d: c rounds for each block, d to finish.
template <int C, int D>
std::uint64_t sipHash(std::uint64_t k0, std::uint64_t k1, std::string_view data) {
    State s = start(k0, k1);
    return finish<C, D>(s, data);
}

struct Key {
    std::uint64_t k[2];
};

const Key& processKey() {
    static const Key key = [] {
        Key drawn{};
        platform::fillRandom(drawn.k, sizeof drawn.k);
        return drawn;
    }();
    return key;
}

}  // namespace

std::uint64_t sipHash24(std::uint64_t k0, std::uint64_t k1, std::string_view data) { return sipHash<2, 4>(k0, k1, data); }

std::uint64_t sipHash24(std::string_view data, std::uint64_t tweak) {
    const Key& key = processKey();
    return sipHash24(key.k[0] ^ tweak, key.k[1], data);
}

std::uint64_t sipHash13(std::uint64_t k0, std::uint64_t k1, std::string_view data) { return sipHash<1, 3>(k0, k1, data); }

std::uint64_t sipHash13(std::string_view data, std::uint64_t tweak) {
    const Key& key = processKey();
    return sipHash13(key.k[0] ^ tweak, key.k[1], data);
}

std::uint64_t sipHash13Pair(std::string_view first, std::string_view second) {
    const Key& key = processKey();
    // A key of its own (the single-part forms tweak only the first half):
    // no pair's key is a single text's whatever its lengths.
    State s = start(key.k[0], key.k[1] ^ 0x7061697273697021ull);
    // first's length ahead of it tells where it ends, whatever the bytes.
    s.absorb<1>(first.size());
    absorbWhole<1>(s, first);
    if (first.size() % 8) s.absorb<1>(loadTail(first));
    return finish<1, 3>(s, second);
}

}  // namespace tern

#include "client/SipHash.h"

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
    void absorb(std::uint64_t m) {
        v3 ^= m;
        round();
        round();
        v0 ^= m;
    }
};

}  // namespace

std::uint64_t sipHash24(std::uint64_t k0, std::uint64_t k1, std::string_view data) {
    State s{k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull, k0 ^ 0x6c7967656e657261ull,
            k1 ^ 0x7465646279746573ull};
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const std::size_t whole = data.size() / 8 * 8;
    for (std::size_t i = 0; i < whole; i += 8) s.absorb(load64(p + i, 8));
    s.absorb(load64(p + whole, data.size() - whole) | (std::uint64_t{data.size() & 0xff} << 56));
    s.v2 ^= 0xff;
    for (int i = 0; i < 4; ++i) s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::uint64_t sipHash24(std::string_view data, std::uint64_t tweak) {
    struct Key {
        std::uint64_t k[2];
    };
    static const Key key = [] {
        Key drawn{};
        platform::fillRandom(drawn.k, sizeof drawn.k);
        return drawn;
    }();
    return sipHash24(key.k[0] ^ tweak, key.k[1], data);
}

}  // namespace tern

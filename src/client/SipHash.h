// SipHash-2-4 (Aumasson and Bernstein, 2012): a keyed 64-bit hash for
// tables whose keys come from the wire, where whoever does not know the
// key cannot choose inputs that collide.
#ifndef TERN_CLIENT_SIPHASH_H
#define TERN_CLIENT_SIPHASH_H

#include <cstdint>
#include <string_view>

namespace tern {

std::uint64_t sipHash24(std::uint64_t k0, std::uint64_t k1, std::string_view data);

// With a key drawn once per process from the system's random source, its
// first half xored with tweak (so that keys can be chained).
std::uint64_t sipHash24(std::string_view data, std::uint64_t tweak = 0);

// SipHash-1-3, the same construction with fewer rounds: for keys made of
// every message that arrives, where half the cost matters and the outputs
// never leave the process.
std::uint64_t sipHash13(std::uint64_t k0, std::uint64_t k1, std::string_view data);
std::uint64_t sipHash13(std::string_view data, std::uint64_t tweak = 0);
// Both parts in one pass under the process key, where they end counting:
// ("ab", "c") and ("a", "bc") differ.
std::uint64_t sipHash13Pair(std::string_view first, std::string_view second);

}  // namespace tern

#endif

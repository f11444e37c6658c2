// Lowercase hexadecimal text of raw bytes, as the digests print them.
#ifndef TERN_CLIENT_HEX_H
#define TERN_CLIENT_HEX_H

#include <string>

namespace tern {

inline std::string hexEncode(const std::string& raw) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(raw.size() * 2);
    for (unsigned char c : raw) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

}  // namespace tern

#endif

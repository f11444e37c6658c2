// Exact conversions between the host interface's UTF-16 and UTF-8, for
// the example hosts. Ill-formed input (an unpaired surrogate, a broken or
// overlong UTF-8 sequence) becomes U+FFFD instead of losing the rest of the
// text or turning into other characters.
#ifndef PARLEY_EXAMPLES_HOSTTEXT_H
#define PARLEY_EXAMPLES_HOSTTEXT_H

#include <cstddef>
#include <string>
#include <string_view>

#include "parley.h"

namespace hosttext {

using HostString = std::basic_string<ParleyChar>;

namespace detail {
constexpr char32_t kReplacement = 0xFFFD;
inline bool isHigh(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool isLow(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
}  // namespace detail

inline void appendUtf8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = detail::kReplacement;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

inline std::string toUtf8(const ParleyChar* text, std::size_t length) {
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        char32_t c = static_cast<char16_t>(text[i]);
        if (detail::isHigh(c) && i + 1 < length && detail::isLow(static_cast<char16_t>(text[i + 1]))) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(text[++i]) - 0xDC00);
        } else if (detail::isHigh(c) || detail::isLow(c)) {
            c = detail::kReplacement;
        }
        appendUtf8(out, c);
    }
    return out;
}

inline std::u32string decodeUtf8(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            out += b;
            ++i;
            continue;
        }
        // Length, first payload bits and the smallest code point the length may carry.
        int n = 0;
        char32_t c = 0, least = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            n = 2, c = b & 0x1F, least = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            n = 3, c = b & 0x0F, least = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            n = 4, c = b & 0x07, least = 0x10000;
        }
        int k = 1;
        for (; n && k < n && i + k < s.size(); ++k) {
            const unsigned char t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) break;
            c = (c << 6) | (t & 0x3F);
        }
        if (n == 0 || k < n || c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += detail::kReplacement;
            i += n == 0 ? 1 : static_cast<std::size_t>(k);  // resynchronise at the first byte that broke it
            continue;
        }
        out += c;
        i += static_cast<std::size_t>(n);
    }
    return out;
}

inline HostString toHost(std::string_view utf8) {
    HostString out;
    out.reserve(utf8.size());
    for (char32_t c : decodeUtf8(utf8)) {
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<ParleyChar>(0xD800 + (c >> 10));
            out += static_cast<ParleyChar>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<ParleyChar>(c);
        }
    }
    return out;
}

inline std::string toUtf8(const HostString& text) { return toUtf8(text.data(), text.size()); }

}  // namespace hosttext

#endif

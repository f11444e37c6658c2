#include "host/TextCodec.h"

#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tern {

namespace {
constexpr char16_t kReplacement = 0xFFFD;
inline bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }
}  // namespace

// Each maximal ill-formed subpart becomes one U+FFFD (the Unicode
// recommendation that Windows follows): overlong forms, surrogates, values
// past U+10FFFF and truncated sequences included.
std::u16string utf8ToUtf16(std::string_view in) {
    // No input byte yields more than one code unit (four bytes yield two),
    // so the result fits in as many units as there are bytes.
    std::u16string out(in.size(), u'\0');
    out.resize(utf8ToUtf16(in, out.data()));
    return out;
}

std::size_t utf8ToUtf16(std::string_view in, char16_t* const out) {
    char16_t* q = out;
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    const auto* end = p + in.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
#if defined(__SSE2__)
            // Sixteen at a time while there is no byte above 0x7F.
            const __m128i zero = _mm_setzero_si128();
            while (end - p >= 16) {
                const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
                if (_mm_movemask_epi8(bytes) != 0) break;
                _mm_storeu_si128(reinterpret_cast<__m128i*>(q), _mm_unpacklo_epi8(bytes, zero));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 8), _mm_unpackhi_epi8(bytes, zero));
                p += 16;
                q += 16;
            }
#endif
            // Eight at a time while there is no byte above 0x7F.
            std::uint64_t word;
            while (end - p >= 8 && (std::memcpy(&word, p, 8), (word & 0x8080808080808080ull) == 0)) {
                for (int i = 0; i < 8; ++i) q[i] = p[i];
                p += 8;
                q += 8;
            }
            while (p < end && *p < 0x80) *q++ = *p++;
            continue;
        }
        // Whole two- and three-byte sequences whose second byte may be any
        // continuation byte (most non-ASCII text) directly; the rest below.
        if (c >= 0xC2 && c <= 0xDF && end - p >= 2 && isContinuation(p[1])) {
            *q++ = static_cast<char16_t>(((c & 0x1F) << 6) | (p[1] & 0x3F));
            p += 2;
            continue;
        }
        if (c >= 0xE1 && c <= 0xEF && c != 0xED && end - p >= 3 && isContinuation(p[1]) && isContinuation(p[2])) {
            *q++ = static_cast<char16_t>(((c & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
            p += 3;
            continue;
        }
        int length;
        char32_t cp;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            cp = c & 0x0F;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            cp = c & 0x07;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
        } else {
            *q++ = kReplacement;
            ++p;
            continue;
        }
        int taken = 1;
        bool ok = true;
        for (; taken < length; ++taken) {
            if (p + taken >= end) {
                ok = false;
                break;
            }
            const unsigned char b = p[taken];
            const bool inRange = taken == 1 ? (b >= lo && b <= hi) : isContinuation(b);
            if (!inRange) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        p += taken;
        if (!ok) {
            *q++ = kReplacement;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            *q++ = static_cast<char16_t>(0xD800 + (cp >> 10));
            *q++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            *q++ = static_cast<char16_t>(cp);
        }
    }
    return static_cast<std::size_t>(q - out);
}

std::string utf16ToUtf8(std::u16string_view in) {
    std::string out;
    out.reserve(in.size() * 3);
    for (std::size_t i = 0; i < in.size(); ++i) {
        char32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;  // an unpaired surrogate
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

}  // namespace tern

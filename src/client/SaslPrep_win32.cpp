// SASLprep on Windows: the RFC's mapping and prohibition tables (RFC 3454
// appendices B.1 and C, fixed since 2002), normalisation form KC from
// NormalizeString, and the bidirectional classes from GetStringTypeW.
#include "client/SaslPrep.h"

#include <windows.h>

#include <iterator>
#include <vector>

namespace tern {

namespace {

struct Range {
    char32_t first;
    char32_t last;
};

// B.1: commonly mapped to nothing.
const Range kMappedToNothing[] = {
    {0x00AD, 0x00AD}, {0x034F, 0x034F}, {0x1806, 0x1806}, {0x180B, 0x180D}, {0x200B, 0x200D},
    {0x2060, 0x2060}, {0xFE00, 0xFE0F}, {0xFEFF, 0xFEFF},
};

// C.1.2: non-ASCII spaces, which SASLprep maps to SPACE.
const Range kNonAsciiSpaces[] = {
    {0x00A0, 0x00A0}, {0x1680, 0x1680}, {0x2000, 0x200B}, {0x202F, 0x202F}, {0x205F, 0x205F}, {0x3000, 0x3000},
};

// C.1.2 and C.2.1 to C.9; C.4's non-characters at the end of every plane
// are checked apart.
const Range kProhibited[] = {
    {0x0000, 0x001F},     {0x007F, 0x009F},     {0x00A0, 0x00A0},   {0x0340, 0x0341},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},     {0x1680, 0x1680},     {0x180E, 0x180E},   {0x2000, 0x200F},   {0x2028, 0x202F},
    {0x205F, 0x2063},     {0x206A, 0x206F},     {0x2FF0, 0x2FFB},   {0x3000, 0x3000},   {0xD800, 0xDFFF},
    {0xE000, 0xF8FF},     {0xFDD0, 0xFDEF},     {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFD},   {0x1D173, 0x1D17A},
    {0xE0001, 0xE0001},   {0xE0020, 0xE007F},   {0xF0000, 0xFFFFD}, {0x100000, 0x10FFFD},
};

template <std::size_t N>
bool inTable(const Range (&table)[N], char32_t c) {
    for (const Range& r : table)
        if (c >= r.first && c <= r.last) return true;
    return false;
}

bool prohibited(char32_t c) { return (c & 0xFFFE) == 0xFFFE || inTable(kProhibited, c); }

// Strict UTF-8: no overlong forms, surrogates or values past U+10FFFF.
bool decodeUtf8(const std::string& in, std::vector<char32_t>& out) {
    for (std::size_t i = 0; i < in.size();) {
        const unsigned char b = static_cast<unsigned char>(in[i]);
        int extra;
        char32_t c;
        if (b < 0x80) {
            extra = 0;
            c = b;
        } else if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2;
            c = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3;
            c = b & 0x07;
        } else {
            return false;
        }
        if (in.size() - i <= static_cast<std::size_t>(extra)) return false;  // cut short
        for (int k = 1; k <= extra; ++k) {
            const unsigned char t = static_cast<unsigned char>(in[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            c = (c << 6) | (t & 0x3F);
        }
        static const char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (c < kMinimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        out.push_back(c);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

void appendUtf16(std::wstring& out, char32_t c) {
    if (c < 0x10000) {
        out.push_back(static_cast<wchar_t>(c));
    } else {
        c -= 0x10000;
        out.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
    }
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool normalizeKc(const std::wstring& in, std::wstring& out) {
    if (in.empty()) {
        out.clear();
        return true;
    }
    int size = NormalizeString(NormalizationKC, in.data(), static_cast<int>(in.size()), nullptr, 0);
    // The first answer is an estimate; a few rounds settle it.
    for (int round = 0; round < 4 && size > 0; ++round) {
        out.assign(static_cast<std::size_t>(size), L'\0');
        const int n = NormalizeString(NormalizationKC, in.data(), static_cast<int>(in.size()), &out[0], size);
        if (n > 0) {
            out.resize(static_cast<std::size_t>(n));
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
        size = -n;
    }
    return false;
}

}  // namespace

bool saslPrep(const std::string& text, std::string& out) {
    std::vector<char32_t> input;
    if (!decodeUtf8(text, input)) return false;
    std::wstring mapped;
    for (char32_t c : input) {
        if (inTable(kNonAsciiSpaces, c))
            mapped.push_back(L' ');
        else if (!inTable(kMappedToNothing, c))
            appendUtf16(mapped, c);
    }
    std::wstring normalized;
    if (!normalizeKc(mapped, normalized)) return false;

    std::vector<char32_t> result;
    for (std::size_t i = 0; i < normalized.size(); ++i) {
        char32_t c = static_cast<char16_t>(normalized[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < normalized.size()) {
            const char32_t low = static_cast<char16_t>(normalized[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (prohibited(c)) return false;
        result.push_back(c);
    }

    // Bidirectional text: right-to-left characters exclude left-to-right
    // ones and must open and close the string.
    if (!normalized.empty()) {
        std::vector<WORD> types(normalized.size());
        if (!GetStringTypeW(CT_CTYPE2, normalized.data(), static_cast<int>(normalized.size()), types.data()))
            return false;
        bool rtl = false, ltr = false;
        for (WORD t : types) {
            rtl = rtl || t == C2_RIGHTTOLEFT;
            ltr = ltr || t == C2_LEFTTORIGHT;
        }
        if (rtl && (ltr || types.front() != C2_RIGHTTOLEFT || types.back() != C2_RIGHTTOLEFT)) return false;
    }

    out.clear();
    for (char32_t c : result) appendUtf8(out, c);
    return true;
}

}  // namespace tern

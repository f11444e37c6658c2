// SASLprep on Windows: RFC 3454's tables, and normalisation form KC from
// NormalizeString. The system's Unicode is later than the RFC's 3.2, so only
// runs of code points assigned in 3.2 go to NormalizeString: in 3.2 the
// others have no decomposition and compose with nothing, even where the
// system has since given them one (U+2150, U+03F9, ...).
#include "client/SaslPrep.h"

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "client/StringprepTables.h"

namespace tern {

namespace {

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

// Appends the normalised run to out as code points and empties the run.
bool normalizeKc(std::wstring& run, std::vector<char32_t>& out) {
    if (run.empty()) return true;
    std::wstring normalized;
    int size = NormalizeString(NormalizationKC, run.data(), static_cast<int>(run.size()), nullptr, 0);
    int n = 0;
    // The first answer is an estimate; a few rounds settle it.
    for (int round = 0; round < 4 && size > 0 && n <= 0; ++round) {
        normalized.assign(static_cast<std::size_t>(size), L'\0');
        n = NormalizeString(NormalizationKC, run.data(), static_cast<int>(run.size()), &normalized[0], size);
        if (n <= 0 && GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
        size = -n;
    }
    if (n <= 0) return false;
    normalized.resize(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < normalized.size(); ++i) {
        char32_t c = static_cast<char16_t>(normalized[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < normalized.size()) {
            const char32_t low = static_cast<char16_t>(normalized[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        out.push_back(c);
    }
    run.clear();
    return true;
}

}  // namespace

bool saslPrep(const std::string& text, std::string& out) {
    std::vector<char32_t> input;
    if (!decodeUtf8(text, input)) return false;
    std::vector<char32_t> prepared;
    std::wstring run;
    for (char32_t c : input) {
        if (stringprep::nonAsciiSpace(c))
            c = U' ';
        else if (stringprep::mappedToNothing(c))
            continue;
        if (!stringprep::unassigned(c)) {
            appendUtf16(run, stringprep::decomposedAsIn32(c));
            continue;
        }
        if (!normalizeKc(run, prepared)) return false;
        prepared.push_back(c);
    }
    if (!normalizeKc(run, prepared)) return false;

    // Bidirectional text: right-to-left characters exclude left-to-right
    // ones and must open and close the string.
    bool rtl = false, ltr = false;
    for (char32_t c : prepared) {
        if (stringprep::prohibited(c)) return false;
        rtl = rtl || stringprep::rightToLeft(c);
        ltr = ltr || stringprep::leftToRight(c);
    }
    if (rtl && (ltr || !stringprep::rightToLeft(prepared.front()) || !stringprep::rightToLeft(prepared.back())))
        return false;

    out.clear();
    for (char32_t c : prepared) appendUtf8(out, c);
    return true;
}

}  // namespace tern

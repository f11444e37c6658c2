// SASLprep gives the same bytes on every build: one table, run on Linux
// (libidn) and on Windows (NormalizeString and the stringprep tables).
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <vector>

#include "client/SaslPrep.h"
#include "support/Corpus.h"

using tern::saslPrep;

namespace {

// Surrogates too, in their three-byte forms.
std::string utf8(unsigned c) {
    std::string out;
    if (c < 0x80) return out += static_cast<char>(c);
    if (c >= 0x800) out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(c < 0x800 ? 0xC0 | (c >> 6) : 0x80 | ((c >> 6) & 0x3F));
    return out += static_cast<char>(0x80 | (c & 0x3F));
}

}  // namespace

TEST(SaslPrep, SameBytesOnEveryBuild) {
    struct Case {
        const char* in;
        const char* out;  // null: refused
    };
    const Case cases[] = {
        {"user", "user"},
        {"", ""},
        {"I\xC2\xADX", "IX"},                      // soft hyphen: mapped to nothing (RFC 4013's example)
        {"\xC2\xAA", "a"},                         // feminine ordinal: compatibility mapping
        {"\xE2\x85\xA8", "IX"},                    // roman numeral nine
        {"\xEF\xBD\x90\xEF\xBD\x81ss", "pass"},    // full-width letters
        {"\xEF\xAC\x81le", "file"},                // the fi ligature
        {"a\xC2\xA0" "b\xE3\x80\x80" "c", "a b c"},  // no-break and ideographic spaces
        {"caf\x65\xCC\x81", "caf\xC3\xA9"},        // composed
        {"\xE1\xAC\x85\xE1\xAC\xB5", "\xE1\xAC\x85\xE1\xAC\xB5"},  // unassigned in Unicode 3.2: not composed
        {"\xF0\xAF\xA1\xA8", "\xF0\xA1\x8D\xAA"},  // U+2F868: Unicode 3.2's decomposition, not the corrected one
        {"\xD7\x90\xD7\x91", "\xD7\x90\xD7\x91"},  // right-to-left alone
        {"\x07", nullptr},                         // ASCII control (RFC 4013's example)
        {"a\xC2\x85", nullptr},                    // non-ASCII control
        {"\xEE\x80\x80", nullptr},                 // private use
        {"\xEF\xBF\xBE", nullptr},                 // non-character
        {"\xD8\xA7" "1", nullptr},                 // right-to-left not closing the string (RFC 4013's example)
        {"\xD7\x90" "a\xD7\x91", nullptr},         // right-to-left and left-to-right mixed
        {"\xC3", nullptr},                         // cut-off UTF-8
        {"\xED\xA0\x80", nullptr},                 // an encoded surrogate
    };
    for (const Case& c : cases) {
        std::string out = "unchanged";
        const bool ok = saslPrep(c.in, out);
        EXPECT_EQ(ok, c.out != nullptr) << c.in;
        if (ok && c.out) {
            EXPECT_EQ(out, c.out) << c.in;
        }
    }
}

// Every BMP code point alone, and in the two probes that show its
// bidirectional class, as GNU libidn prepares it (the table that
// support/saslprep-bmp.c writes): what a password prepares to must not
// depend on the system's Unicode version.
TEST(SaslPrep, EveryBmpCodePointAsLibidnPreparesIt) {
    const char* probes[][2] = {{"", ""}, {"\xD7\x90", "\xD7\x90"}, {"a", ""}};  // tags X, L, R
    std::vector<std::vector<bool>> refused(3, std::vector<bool>(0x10000));
    std::map<unsigned, std::string> mapped;
    std::istringstream table(testsupport::readFile(PARLEY_SASLPREP_TABLE));
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        char tag = 0;
        unsigned first = 0, next = 0;
        fields >> tag >> std::hex >> first;
        const std::size_t probe = std::string("XLR").find(tag);
        if (probe != std::string::npos && fields >> next)
            for (unsigned c = first; c <= next; ++c) refused[probe][c] = true;
        if (tag == 'M')
            for (std::string& out = mapped[first]; fields >> next;) out += utf8(next);
    }
    int differing = 0;
    for (unsigned c = 0; c < 0x10000; ++c) {
        const auto m = mapped.find(c);
        std::string want = refused[0][c] ? "(refused)" : m != mapped.end() ? m->second : utf8(c);
        std::string got, alone = "(refused)";
        for (std::size_t p = 0; p < 3; ++p) {
            std::string out;
            got += saslPrep(probes[p][0] + utf8(c) + probes[p][1], out) ? '-' : "XLR"[p];
            want += refused[p][c] ? "XLR"[p] : '-';
            if (p == 0 && got == "-") alone = out;
        }
        if (alone + got != want && ++differing <= 30) {
            char name[16];
            std::snprintf(name, sizeof name, "U+%04X", c);
            ADD_FAILURE() << name << ": " << alone << " " << got << ", libidn: " << want;
        }
    }
    EXPECT_EQ(differing, 0) << "code points that prepare unlike libidn";
}

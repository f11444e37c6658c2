// SASLprep gives the same bytes on every build: one table, run on Linux
// (libidn) and on Windows (NormalizeString and the stringprep tables).
#include <gtest/gtest.h>

#include "client/SaslPrep.h"

using tern::saslPrep;

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

/* Writes SASLprep of every BMP code point as GNU libidn (Unicode 3.2) gives
 * it, for SaslPrepTest to hold every build to. The native test build makes
 * it (target saslprep_table); scripts/windows makes it for the Windows
 * builds, which cannot link libidn.
 * Each code point is prepared alone and in two probes that show its
 * bidirectional class: between two U+05D0 (refused when it is or becomes
 * left-to-right) and after "a" (refused when it is or becomes right-to-left).
 * Surrogates go in as their three-byte forms. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <stringprep.h>

/* The prepared text of prefix, c, suffix in UCS-4, or NULL when refused.
 * U+0000 is a control; a C string cannot carry it. */
static uint32_t* prepare(const char* prefix, uint32_t c, const char* suffix, size_t* n) {
    char in[16], *out = NULL;
    const int len = sprintf(in, "%s", prefix);
    sprintf(in + len + stringprep_unichar_to_utf8(c, in + len), "%s", suffix);
    if (c == 0 || stringprep_profile(in, &out, "SASLprep", 0) != STRINGPREP_OK) {
        free(out);
        return NULL;
    }
    uint32_t* ucs = stringprep_utf8_to_ucs4(out, -1, n);
    free(out);
    return ucs;
}

/* The ranges of code points for which the probe is refused, one per line. */
static void ranges(char tag, const char* prefix, const char* suffix) {
    long first = -1;
    for (uint32_t c = 0; c <= 0x10000; ++c) {
        size_t n;
        uint32_t* ucs = c < 0x10000 ? prepare(prefix, c, suffix, &n) : NULL;
        const int refused = c < 0x10000 && !ucs;
        free(ucs);
        if (refused && first < 0) first = c;
        if (!refused && first >= 0) {
            printf("%c %04lX %04X\n", tag, first, c - 1);
            first = -1;
        }
    }
}

int main(void) {
    printf("# SASLprep of each BMP code point by GNU libidn %s, made by saslprep-bmp.c\n"
           "# X first last: refused alone\n"
           "# L first last: refused between two U+05D0 (left-to-right)\n"
           "# R first last: refused after \"a\" (right-to-left)\n"
           "# M code point [code points]: prepared alone to these (none: to nothing)\n"
           "# Every other code point prepares to itself.\n",
           stringprep_check_version(NULL));
    ranges('X', "", "");
    ranges('L', "\xD7\x90", "\xD7\x90");
    ranges('R', "a", "");
    for (uint32_t c = 0; c < 0x10000; ++c) {
        size_t n;
        uint32_t* ucs = prepare("", c, "", &n);
        if (ucs && !(n == 1 && ucs[0] == c)) {
            printf("M %04X", c);
            for (size_t i = 0; i < n; ++i) printf(" %04X", ucs[i]);
            printf("\n");
        }
        free(ucs);
    }
    return 0;
}

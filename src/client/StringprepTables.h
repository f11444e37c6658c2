// RFC 3454's tables for the SASLprep profile (RFC 4013), fixed at Unicode 3.2
// since 2002. Servers prepare names and passwords with them, so the Windows
// build applies them itself rather than the system's later Unicode data (on
// Linux, GNU libidn carries the same tables).
#ifndef TERN_CLIENT_STRINGPREPTABLES_H
#define TERN_CLIENT_STRINGPREPTABLES_H

namespace tern {
namespace stringprep {

bool unassigned(char32_t c);       // A.1: no decomposition, composes with nothing
bool mappedToNothing(char32_t c);  // B.1
bool nonAsciiSpace(char32_t c);    // C.1.2, which SASLprep maps to SPACE
bool prohibited(char32_t c);       // C.1.2 and C.2.1 to C.9
bool rightToLeft(char32_t c);      // D.1 (RandALCat)
bool leftToRight(char32_t c);      // D.2 (LCat)

// c, or for the five CJK compatibility ideographs whose decomposition
// Corrigendum 4 (2003) corrected, the ideograph Unicode 3.2 gave them.
char32_t decomposedAsIn32(char32_t c);

}  // namespace stringprep
}  // namespace tern

#endif

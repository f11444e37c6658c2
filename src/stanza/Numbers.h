// Decimal numbers as the wire writes them, read leniently and safely.
#ifndef TERN_STANZA_NUMBERS_H
#define TERN_STANZA_NUMBERS_H

#include <string_view>

namespace tern {

// Optional leading white space and sign, then decimal digits up to the first
// other character; 0 without digits. The value saturates at lo and hi
// instead of overflowing, however many digits follow.
int parseDecimal(std::string_view text, int lo, int hi);

}  // namespace tern

#endif

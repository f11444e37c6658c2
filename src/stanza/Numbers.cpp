#include "stanza/Numbers.h"

namespace tern {

int parseDecimal(std::string_view text, int lo, int hi) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    const long long limit = negative ? -static_cast<long long>(lo) : hi;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > limit) value = limit;  // saturated: later digits change nothing
    }
    const long long signedValue = negative ? -value : value;
    if (signedValue < lo) return lo;
    if (signedValue > hi) return hi;
    return static_cast<int>(signedValue);
}

}  // namespace tern

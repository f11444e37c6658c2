// Exact conversions between the host interface's UTF-16 and mpv's UTF-8.
// Ill-formed input (an unpaired surrogate, a broken or overlong UTF-8
// sequence) becomes U+FFFD instead of losing the rest of the text.
#ifndef PARLEY_MPV_UTF16_H
#define PARLEY_MPV_UTF16_H

#include <cstddef>
#include <string>
#include <string_view>

#include "parley.h"

namespace mpvchat {

using HostString = std::basic_string<ParleyChar>;

std::string toUtf8(const ParleyChar* text, std::size_t length);
inline std::string toUtf8(const HostString& text) { return toUtf8(text.data(), text.size()); }
HostString toHost(std::string_view utf8);

// The code points of UTF-8 text, U+FFFD for each ill-formed sequence.
std::u32string decodeUtf8(std::string_view utf8);
void appendUtf8(std::string& out, char32_t c);

}  // namespace mpvchat

#endif

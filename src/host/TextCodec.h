// UTF-8 <-> UTF-16 conversion as the platform's converters do it with no
// flags: ill-formed input is replaced with U+FFFD, never rejected.
// TextCodec_posix.cpp converts itself; a Windows sibling calls
// MultiByteToWideChar / WideCharToMultiByte with code page 65001.
#ifndef TERN_HOST_TEXTCODEC_H
#define TERN_HOST_TEXTCODEC_H

#include <string>
#include <string_view>

namespace tern {

std::u16string utf8ToUtf16(std::string_view utf8);
// The same conversion into out, which has room for utf8.size() units;
// returns the units written.
std::size_t utf8ToUtf16(std::string_view utf8, char16_t* out);
std::string utf16ToUtf8(std::u16string_view utf16);

}  // namespace tern

#endif

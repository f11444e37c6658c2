// The system's converters with code page 65001 and no flags: ill-formed
// input becomes U+FFFD instead of failing the whole text.
#include "host/TextCodec.h"

#include <windows.h>

#include <climits>

namespace tern {

std::u16string utf8ToUtf16(std::string_view in) {
    if (in.empty() || in.size() > INT_MAX) return std::u16string();
    const int n = MultiByteToWideChar(CP_UTF8, 0, in.data(), static_cast<int>(in.size()), nullptr, 0);
    if (n <= 0) return std::u16string();
    std::u16string out(static_cast<std::size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, in.data(), static_cast<int>(in.size()), reinterpret_cast<wchar_t*>(&out[0]), n);
    return out;
}

std::size_t utf8ToUtf16(std::string_view in, char16_t* out) {
    if (in.empty() || in.size() > INT_MAX) return 0;
    const int n = MultiByteToWideChar(CP_UTF8, 0, in.data(), static_cast<int>(in.size()), reinterpret_cast<wchar_t*>(out),
                                      static_cast<int>(in.size()));
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::string utf16ToUtf8(std::u16string_view in) {
    if (in.empty() || in.size() > INT_MAX) return std::string();
    const auto* wide = reinterpret_cast<const wchar_t*>(in.data());
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(in.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(in.size()), &out[0], n, nullptr, nullptr);
    return out;
}

}  // namespace tern

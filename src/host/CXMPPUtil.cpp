#include "host/CXMPPUtil.h"

#include <cstdlib>
#include <cstring>

#include "host/TextCodec.h"

namespace tern {

namespace {
constexpr char16_t kReplacement = 0xFFFD;
inline bool isHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool isLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
inline bool allowedBelowSpace(char16_t c) { return c == 0x9 || c == 0xA || c == 0xD; }
}  // namespace

std::size_t replaceNonXmlCharacters(char16_t* text, std::size_t length) {
    std::size_t replaced = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const char16_t c = text[i];
        if (c >= 0x20 && c < 0xD800) continue;
        if (isHigh(c) && i + 1 < length && isLow(text[i + 1])) {
            ++i;  // a pair: a character beyond the BMP
            continue;
        }
        const bool allowed = c < 0x20 ? allowedBelowSpace(c) : !(isHigh(c) || isLow(c) || c == 0xFFFE || c == 0xFFFF);
        if (allowed) continue;
        text[i] = kReplacement;
        ++replaced;
    }
    return replaced;
}

std::uint32_t CXMPPUtil::allocBuffer(Buffer* buffer, std::uint32_t count, unsigned char fill) {
    if (!buffer || count > 0x3fffffff) return ResultInvalidArgument;
    if (count == 0) {
        buffer->size = 0;
        buffer->data = nullptr;
        return ResultOk;
    }
    void* p = std::malloc(count);
    if (!p) return ResultOutOfMemory;
    std::memset(p, fill, count);
    buffer->size = static_cast<std::int32_t>(count);
    buffer->data = p;
    return ResultOk;
}

void CXMPPUtil::freeBuffer(Buffer* buffer) {
    if (!buffer) return;
    std::free(buffer->data);
    buffer->size = 0;
    buffer->data = nullptr;
}

std::uint32_t CXMPPUtil::wideToUtf8(const char16_t* text, std::int32_t length, char** out, std::int32_t* outSize) {
    if (!text || !out || !outSize || length <= 0) return ResultInvalidArgument;
    std::u16string cleaned(text, static_cast<std::size_t>(length));
    replaceNonXmlCharacters(cleaned);
    const std::string utf8 = utf16ToUtf8(cleaned);
    Buffer b{};
    const std::uint32_t r = allocBuffer(&b, static_cast<std::uint32_t>(utf8.size() + 2), 0);
    if (r != ResultOk) return r;
    std::memcpy(b.data, utf8.data(), utf8.size());
    *out = static_cast<char*>(b.data);
    *outSize = b.size;
    return ResultOk;
}

std::uint32_t CXMPPUtil::utf8ToWide(const char* bytes, std::int32_t length, char16_t** out, std::int32_t* outLength) {
    if (!bytes || !out || !outLength || length <= 0) return ResultInvalidArgument;
    const std::u16string wide = utf8ToUtf16(std::string_view(bytes, static_cast<std::size_t>(length)));
    Buffer b{};
    const std::uint32_t r = allocBuffer(&b, static_cast<std::uint32_t>(wide.size() * 2), 0);
    if (r != ResultOk) return r;
    if (!wide.empty()) std::memcpy(b.data, wide.data(), wide.size() * 2);
    *out = static_cast<char16_t*>(b.data);
    *outLength = static_cast<std::int32_t>(wide.size());
    return ResultOk;
}

std::string CXMPPUtil::toUtf8String(const char16_t* text) {
    if (!text) return std::string();
    std::size_t n = 0;
    while (text[n]) ++n;
    char* bytes = nullptr;
    std::int32_t size = 0;
    if (n > 0x3fffffff || wideToUtf8(text, static_cast<std::int32_t>(n), &bytes, &size) != ResultOk)
        return std::string();
    std::string out(bytes);  // up to the first zero
    std::free(bytes);
    return out;
}

std::u16string CXMPPUtil::toWideString(const char* bytes, std::size_t length) {
    // What utf8ToWide would give, without its intermediate heap buffer: this
    // runs for every text the host receives.
    if (!bytes || length == 0 || length > 0x3fffffff) return std::u16string();
    return utf8ToUtf16(std::string_view(bytes, length));
}

}  // namespace tern

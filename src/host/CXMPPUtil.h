// Converts between the host's UTF-16 and the stack's UTF-8, and owns the
// small buffers that carry text to the host callback.
#ifndef TERN_HOST_CXMPPUTIL_H
#define TERN_HOST_CXMPPUTIL_H

#include <cstdint>
#include <string>

namespace tern {

// What the host gives may hold characters that XML 1.0 cannot carry: C0
// controls other than tab, line feed and carriage return, U+FFFE, U+FFFF
// and unpaired surrogates. One of them in a stanza ends the stream
// (not-well-formed), so each becomes U+FFFD, one code unit for one: the
// nickname layout, counted in code units from the end, stays as it was.
// Returns how many were replaced.
std::size_t replaceNonXmlCharacters(char16_t* text, std::size_t length);
inline std::size_t replaceNonXmlCharacters(std::u16string& text) {
    return replaceNonXmlCharacters(text.data(), text.size());
}

class CXMPPUtil {
public:
    enum Result : std::uint32_t {
        ResultOk = 0,
        ResultInvalidArgument = 0xe0000001,
        ResultOutOfMemory = 0xe0000002,
        ResultConversionFailed = 0xe000000a,
    };
    // Size (bytes for an allocation, code units for UTF-16 text), then data:
    // the layout of the host's TextBuffer.
    struct Buffer {
        std::int32_t size;
        void* data;
    };

    std::uint32_t allocBuffer(Buffer* buffer, std::uint32_t count, unsigned char fill);
    void freeBuffer(Buffer* buffer);
    // Zero-terminated UTF-8 in a new buffer (released with std::free), with
    // what XML cannot carry replaced (replaceNonXmlCharacters): every host
    // text on its way to the wire passes here.
    std::uint32_t wideToUtf8(const char16_t* text, std::int32_t length, char** out, std::int32_t* outSize);
    // UTF-16 without a terminator in a new buffer (released with std::free).
    std::uint32_t utf8ToWide(const char* bytes, std::int32_t length, char16_t** out, std::int32_t* outLength);

    // Empty for an empty, null or failing input.
    std::string toUtf8String(const char16_t* text);
    std::u16string toWideString(const char* bytes, std::size_t length);
    std::u16string toWideString(const std::string& utf8) { return toWideString(utf8.data(), utf8.size()); }
};

}  // namespace tern

#endif

#include "client/Base64.h"

namespace tern {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct DecodeTable {
    unsigned char v[256] = {};
    constexpr DecodeTable() {
        for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(kAlphabet[i])] = static_cast<unsigned char>(i);
    }
};
constexpr DecodeTable kDecode;

}  // namespace

std::string base64Encode(const std::string& data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t n = data.size();
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const unsigned v = unsigned(p[i]) << 16 | unsigned(p[i + 1]) << 8 | p[i + 2];
        out.push_back(kAlphabet[v >> 18]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
        out.push_back(kAlphabet[v & 63]);
    }
    if (n - i == 1) {
        const unsigned v = unsigned(p[i]) << 16;
        out.push_back(kAlphabet[v >> 18]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.append("==", 2);
    } else if (n - i == 2) {
        const unsigned v = unsigned(p[i]) << 16 | unsigned(p[i + 1]) << 8;
        out.push_back(kAlphabet[v >> 18]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
        out.push_back('=');
    }
    return out;
}

std::string base64Decode(const std::string& text) {
    std::string out;
    out.reserve(text.size() / 4 * 3);
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i + 4 <= text.size(); i += 4) {
        const unsigned v = unsigned(kDecode.v[p[i]]) << 18 | unsigned(kDecode.v[p[i + 1]]) << 12 |
                           unsigned(kDecode.v[p[i + 2]]) << 6 | kDecode.v[p[i + 3]];
        out.push_back(static_cast<char>(v >> 16));
        if (p[i + 2] == '=') break;
        out.push_back(static_cast<char>((v >> 8) & 0xff));
        if (p[i + 3] == '=') break;
        out.push_back(static_cast<char>(v & 0xff));
    }
    return out;
}

}  // namespace tern

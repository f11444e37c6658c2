// User parts compared by the system, without regard to case (its own
// upper-case table, close to nodeprep's folding for the letters names use).
#include "client/UserPart.h"

#include <windows.h>

namespace tern {

namespace {
bool toWide(const std::string& utf8, std::wstring& out) {
    if (utf8.empty()) return true;
    const int size = static_cast<int>(utf8.size());
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (n <= 0) return false;
    out.assign(static_cast<std::size_t>(n), L'\0');
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, &out[0], n) == n;
}
}  // namespace

bool sameUserPart(const std::string& a, const std::string& b) {
    if (a == b) return true;
    std::wstring wa, wb;
    return toWide(a, wa) && toWide(b, wb) &&
           CompareStringOrdinal(wa.data(), static_cast<int>(wa.size()), wb.data(), static_cast<int>(wb.size()), TRUE) ==
               CSTR_EQUAL;
}

}  // namespace tern

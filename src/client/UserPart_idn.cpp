// User parts compared through GNU libidn's nodeprep, the servers' own profile.
#include "client/UserPart.h"

#include <cstdlib>

#include <stringprep.h>

namespace tern {

namespace {
bool nodeprep(const std::string& text, std::string& out) {
    if (text.find('\0') != std::string::npos) return false;
    char* prepared = nullptr;
    const bool ok =
        stringprep_profile(text.c_str(), &prepared, "Nodeprep", Stringprep_profile_flags(0)) == STRINGPREP_OK;
    if (ok) out.assign(prepared);
    std::free(prepared);
    return ok;
}
}  // namespace

bool sameUserPart(const std::string& a, const std::string& b) {
    if (a == b) return true;
    std::string pa, pb;
    return nodeprep(a, pa) && nodeprep(b, pb) && pa == pb;
}

}  // namespace tern

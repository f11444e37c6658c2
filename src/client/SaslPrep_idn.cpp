// SASLprep by GNU libidn's stringprep, which carries the RFC's tables.
#include "client/SaslPrep.h"

#include <cstdlib>

#include <stringprep.h>

namespace tern {

bool saslPrep(const std::string& text, std::string& out) {
    if (text.find('\0') != std::string::npos) return false;  // a control character, and C strings end there
    char* prepared = nullptr;
    if (stringprep_profile(text.c_str(), &prepared, "SASLprep", Stringprep_profile_flags(0)) != STRINGPREP_OK) {
        std::free(prepared);
        return false;
    }
    out.assign(prepared);
    std::free(prepared);
    return true;
}

}  // namespace tern

// SASLprep (RFC 4013): the stringprep profile for user names and passwords
// in SASL. Servers compare prepared strings, so a password that
// compatibility normalisation changes (full-width letters, ligatures,
// non-ASCII spaces) only works when the client prepares it too.
// Unassigned code points are allowed, as for queries.
#ifndef TERN_CLIENT_SASLPREP_H
#define TERN_CLIENT_SASLPREP_H

#include <string>

namespace tern {

// The prepared form of UTF-8 text in out; false when the text is not UTF-8
// or holds what the profile prohibits (controls, private use, surrogates,
// non-characters, mixed bidirectional text, ...).
bool saslPrep(const std::string& text, std::string& out);

}  // namespace tern

#endif

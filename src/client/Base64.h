// Base64 (RFC 4648) for SASL payloads.
#ifndef TERN_CLIENT_BASE64_H
#define TERN_CLIENT_BASE64_H

#include <string>

namespace tern {

// Standard alphabet, "=" padding, no line breaks.
std::string base64Encode(const std::string& data);

// Lenient: groups of four; characters outside the alphabet count as 0 ('A');
// decoding stops at the first "=" in a group's third or fourth place.
std::string base64Decode(const std::string& text);

}  // namespace tern

#endif

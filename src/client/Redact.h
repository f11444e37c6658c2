// Log lines never carry credentials: SASL and SASL2 payloads,
// legacy-authentication and registration passwords and digests are
// replaced, the element kept.
#ifndef TERN_CLIENT_REDACT_H
#define TERN_CLIENT_REDACT_H

#include <string>

#include "xml/XmlTag.h"

namespace tern {

extern const char* const kRedacted;

bool containsCredentials(const XmlTag& tag);
// The serialised element, with every secret replaced by kRedacted.
std::string serializeForLog(const XmlTag& tag);

}  // namespace tern

#endif

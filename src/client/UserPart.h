// Whether two user parts of addresses name the same account, as servers
// compare them: a server answers with its prepared form of ours (nodeprep's
// case folding and normalisation), so "Über" comes back as "über".
#ifndef TERN_CLIENT_USERPART_H
#define TERN_CLIENT_USERPART_H

#include <string>

namespace tern {

// UTF-8 on both sides; false for text that cannot be compared so.
bool sameUserPart(const std::string& a, const std::string& b);

}  // namespace tern

#endif

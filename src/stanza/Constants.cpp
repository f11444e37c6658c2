#include "stanza/Constants.h"

namespace tern {

#define TERN_DEFINE_CONSTANT(name, value) const std::string name(value);
TERN_STRING_CONSTANTS(TERN_DEFINE_CONSTANT)
#undef TERN_DEFINE_CONSTANT

const std::string XMPP_XMLNS_STREAMS("http://etherx.jabber.org/streams");

extern "C" const char* XMPP_version(void) { return XMPP_VERSION.c_str(); }

}  // namespace tern

// A build without TLS: the engine's TLS-availability probe answers no.
#include "transport/TLSDefault.h"

namespace tern {

bool TLSDefault::available() { return false; }
void TLSDefault::initialiseProcess() {}
void TLSDefault::releaseThreadState() {}
TLSBase* createTlsImplementation(TLSHandler*, const std::string&) { return nullptr; }

}  // namespace tern

// A room our join creates is configured so that its occupants see each
// other's real addresses (XEP-0045 10.1.3, muc#roomconfig_whois "anyone"):
// the host names occupants by account, and without the addresses a room
// shows it nobody's. Everything else keeps the service's default.
#ifndef TERN_HOST_ROOMCREATION_H
#define TERN_HOST_ROOMCREATION_H

#include <memory>

#include "stanza/XmlDataForm.h"

namespace tern {

// The offered configuration form submitted with every value as offered,
// except whois set to "anyone" where the form has that field and allows
// that value. Null when the offered form is not a form.
std::unique_ptr<XmlDataForm> formShowingAddresses(const XmlDataForm& offered);

}  // namespace tern

#endif

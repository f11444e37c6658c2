// The examples' exact UTF-16 and UTF-8 conversions, in the plugin's namespace.
#ifndef PARLEY_MPV_UTF16_H
#define PARLEY_MPV_UTF16_H

#include "../HostText.h"

namespace mpvchat {
using namespace hosttext;
}

#endif

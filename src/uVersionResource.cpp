// Strings of the running executable's version resource.
#include "uVersionResource.h"

std::string ReadVersionString(int) { return {}; }

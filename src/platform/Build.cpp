// Facts of the platform that the build decides rather than the code.
#include "KovrelVersion.h"
#include "Platform.h"

namespace platform {

extern const char ExeSuffix[] = KOVREL_EXE_SUFFIX;

}  // namespace platform

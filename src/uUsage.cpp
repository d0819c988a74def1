// The help document.
#include "uUsage.h"

void ShowUsage() {}

// The help document: written beside the executable and opened for "/?".
#pragma once

void ShowUsage();

// Strings of the running executable's version resource.
#pragma once

#include <string>

std::string ReadVersionString(int key);

// Wildcard masks of the name filters: "*", "?", byte sets "[a-z]" / "[!a-z]",
// literals (a-z folded to upper case), and double-byte literals.
#pragma once

#include <string>

// True when `name` fits `mask`. Raises EMaskException for an invalid mask.
bool NameFitsMask(const std::string& name, const std::string& mask);

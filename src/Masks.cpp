// Wildcard mask compiler and matcher.
#include "Masks.h"

bool NameFitsMask(const std::string&, const std::string&) { return true; }

// Test helpers that only the Windows tests (*Win32Test.cpp) use.
#pragma once

#include <string>

namespace test {

// The 8.3 alias of an existing path; empty when the system gives none.
std::string ShortPath(const std::string& path);

}  // namespace test

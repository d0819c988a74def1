// "--help" and "--version": the short English usage and the version line
// that POSIX users expect on standard output.
#pragma once

#include <string>
#include <vector>

// The usage that "--help" prints, for the program named `program`.
std::string ConsoleUsage(const std::string& program);
// The version that "--version" prints: program, product name, product
// version and file version.
std::string ConsoleVersion(const std::string& program, const std::string& productName,
                           const std::string& productVersion, const std::string& fileVersion);

// Where options start with '-', the first word that is "--help" or
// "--version" is answered on standard output and true returned: the run then
// does nothing else. False, having done nothing, otherwise.
bool AnswerConsoleOption(const std::vector<std::string>& words);

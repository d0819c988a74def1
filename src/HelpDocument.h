// The help document: written beside the executable and opened for "/?".
#pragma once

#include <string>
#include <vector>

// What the document is built from, each in the bytes it is shown in.
struct UsageValues {
  std::string productName;
  std::string productVersion;
  std::string fileVersion;
  std::string baseName;   // the executable's file name less its extension
  char switchChar = '/';  // the option prefix the user types
  std::string exeSuffix;  // ".exe", or empty where programs have none
};

// The 291 lines of the document. Raises EConvertError when the file version
// yields no version digit group.
std::vector<std::string> UsageLines(const UsageValues& values);

// Five characters naming the distribution archives: the last character of
// the major field and the last two digits of minor + 100 and revision + 100
// ("5.2.2.0" gives "50202"). Raises EConvertError for a field that is not a
// decimal integer; the revision must be followed by a ".".
std::string VersionDigitGroup(const std::string& fileVersion);

// Without leading and trailing bytes of value 32 or less (blanks, control
// characters, the NUL a version string ends with).
std::string TrimBlanks(const std::string& s);

// Writes the document as base name + ".txt" beside the executable (in the
// user's state directory when that takes no files) and asks the shell to
// open it.
void ShowUsage();

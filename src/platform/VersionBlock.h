// Version blocks in the layout of a 16-bit VERSIONINFO resource, which keeps
// keys and strings as bytes: built for the POSIX program's own block and for
// tests, read where no version library does it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

struct VersionStringTable {
  // Language and code page as eight hexadecimal digits, "041103A4".
  std::string name;
  // Key and value; a value is stored with one terminating NUL, which its
  // reported length counts.
  std::vector<std::pair<std::string, std::string>> strings;
};

struct VersionBlockContents {
  // The four numbers of the file and product version, most significant first.
  uint16_t fileVersion[4] = {0, 0, 0, 0};
  std::vector<VersionStringTable> tables;
  // Entries of "\VarFileInfo\Translation": language in the low half, code
  // page in the high half. Empty: the block has no VarFileInfo at all.
  std::vector<uint32_t> translations;
};

std::vector<unsigned char> BuildVersionBlock(const VersionBlockContents& contents);

// Looks up a value path ("\", "\VarFileInfo\Translation",
// "\StringFileInfo\041103A4\ProductName") as the version library does: keys
// compared without regard to ASCII case, `len` the value's length in bytes
// (a string's terminating NUL included). False, with a null value and a
// length of 0, when the path is not there or the block is malformed.
bool QueryVersionBlock(const std::vector<unsigned char>& block, std::string_view subBlock,
                       const void*& value, uint32_t& len);

// The four numbers of a dotted version such as "5.2.2.0"; missing or
// unreadable fields are 0.
void ParseVersionNumbers(std::string_view text, uint16_t (&numbers)[4]);

}  // namespace platform

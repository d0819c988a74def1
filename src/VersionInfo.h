// Strings of the running executable's version resource.
#pragma once

#include <string>
#include <vector>

// The keys of a version resource's string table, by number.
enum VersionKey : int {
  vkComments,
  vkCompanyName,
  vkFileDescription,
  vkFileVersion,
  vkInternalName,
  vkLegalCopyright,
  vkLegalTrademarks,
  vkOriginalFilename,
  vkPrivateBuild,
  vkProductName,
  vkProductVersion,
  vkSpecialBuild,
};

extern const char* const VersionKeyNames[12];

// The value of `key` in the first language that the resource lists, padded
// with NULs to the length the version library reports (so it usually ends in
// one NUL); empty when the executable has no resource or that language lacks
// the key. Raises Exception when the resource has no translation table.
std::string ReadVersionString(int key);

// The same, for a version block already read.
std::string VersionStringFromBlock(const std::vector<unsigned char>& block, int key);

// Strings of the running executable's version resource.
#include "VersionInfo.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "Exceptions.h"
#include "platform/Platform.h"

const char* const VersionKeyNames[12] = {
    "Comments",     "CompanyName",    "FileDescription", "FileVersion",
    "InternalName", "LegalCopyright", "LegalTrademarks", "OriginalFilename",
    "PrivateBuild", "ProductName",    "ProductVersion",  "SpecialBuild",
};

std::string VersionStringFromBlock(const std::vector<unsigned char>& block, int key) {
  if (key < vkComments || key > vkSpecialBuild) return {};
  const void* value = nullptr;
  uint32_t len = 0;
  if (!platform::VersionQuery(block, "\\VarFileInfo\\Translation", value, len)) len = 0;
  // An entry is a language and a code page, two 16-bit halves.
  if (len < 4 || value == nullptr)
    throw Exception(platform::ProgramText("情報の取得に失敗しました"));
  const auto* entry = static_cast<const unsigned char*>(value);
  const unsigned language = entry[0] | (entry[1] << 8);
  const unsigned codePage = entry[2] | (entry[3] << 8);
  char table[32];
  std::snprintf(table, sizeof table, "\\StringFileInfo\\%04X%04X\\", language, codePage);

  value = nullptr;
  len = 0;
  if (!platform::VersionQuery(block, table + std::string(VersionKeyNames[key]), value, len) ||
      len == 0 || value == nullptr)
    return {};
  // The value runs to its first NUL. The reported length may count UTF-16
  // units rather than the bytes of a double-byte value, so the value is not
  // cut at it, only padded to it; the search stays inside the block.
  const auto* begin = static_cast<const unsigned char*>(value);
  const unsigned char* limit = begin + len;
  if (begin >= block.data() && begin < block.data() + block.size())
    limit = block.data() + block.size();
  const void* nul = std::memchr(begin, 0, static_cast<size_t>(limit - begin));
  const size_t length = nul ? static_cast<const unsigned char*>(nul) - begin : limit - begin;
  std::string result(reinterpret_cast<const char*>(begin), length);
  if (result.size() < len) result.resize(len, '\0');
  return result;
}

std::string ReadVersionString(int key) {
  const std::string path = platform::ExecutablePath();
  const uint32_t size = platform::VersionInfoSize(path);
  if (size == 0) return {};
  std::vector<unsigned char> block(size);
  platform::VersionInfo(path, block);  // a failed read leaves no translation: reported below
  // The version library gives the values in the ANSI code page.
  return platform::FromAnsiSpelling(VersionStringFromBlock(block, key));
}

// Character-level string helpers that never split a double-byte (or, in a
// UTF-8 locale, multi-byte) character. Indices and counts are 1-based and
// count characters, not bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// How the bytes of a string group into characters.
enum class CharRule {
  SingleByte,  // every byte is a character
  Cp932,       // lead bytes 0x81-0x9F and 0xE0-0xFC take the next byte along
  Utf8,        // a well-formed sequence of 2 to 4 bytes is one character
};

// The count that CharCopy reads as "up to the end of the string".
constexpr int32_t MaxCount = 2147483647;

// The byte in upper case: only "a" to "z" change, whatever the code page,
// so the bytes of double-byte characters and full-width letters stay as they are.
constexpr unsigned char UpperAscii(unsigned char c) {
  return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
}
constexpr char UpperAscii(char c) {
  return static_cast<char>(UpperAscii(static_cast<unsigned char>(c)));
}
// True when the two byte strings are equal but for the case of "a" to "z".
bool SameIgnoringAsciiCase(std::string_view a, std::string_view b);

// Length in bytes of the character that starts at s[pos] (pos < s.size()).
size_t CharLength(std::string_view s, size_t pos, CharRule rule);
// True when the byte can begin a character of more than one byte.
bool IsLeadByte(unsigned char c, CharRule rule);

int32_t CharCount(std::string_view s, CharRule rule);
std::string CharCopy(std::string_view s, int32_t index, int32_t count, CharRule rule);
std::string LastChar(std::string_view s, CharRule rule);
int32_t CharPos(std::string_view sub, std::string_view s, CharRule rule);

// FNV-1a of a name; with `foldCase` its letters "a" to "z" count as upper
// case, as file systems that ignore case take them.
uint64_t Fnv1a(std::string_view name, bool foldCase = false);

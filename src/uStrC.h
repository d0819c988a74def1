// Character-level string helpers that never split a double-byte (or, in a
// UTF-8 locale, multi-byte) character. Indices and counts are 1-based and
// count characters, not bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Platform.h"

using platform::CharRule;

// The count that CharCopy reads as "up to the end of the string".
constexpr int32_t MaxCount = 2147483647;

// Length in bytes of the character that starts at s[pos] (pos < s.size()).
size_t CharLength(std::string_view s, size_t pos, CharRule rule);
// True when the byte can begin a character of more than one byte.
bool IsLeadByte(unsigned char c, CharRule rule);

int32_t CharCount(std::string_view s, CharRule rule);
std::string CharCopy(std::string_view s, int32_t index, int32_t count, CharRule rule);
std::string LastChar(std::string_view s, CharRule rule);
int32_t CharPos(std::string_view sub, std::string_view s, CharRule rule);

// The same, under the rule of the running process.
int32_t CharCount(std::string_view s);
std::string CharCopy(std::string_view s, int32_t index, int32_t count);
std::string LastChar(std::string_view s);
int32_t CharPos(std::string_view sub, std::string_view s);

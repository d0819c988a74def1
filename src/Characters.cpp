// Character-level string helpers. Every walk reads the string from its first
// byte: a trail byte can only be told apart from a lead or single byte by
// what comes before it.
#include "Characters.h"

#include <algorithm>

namespace {

bool InRange(unsigned char c, unsigned char lo, unsigned char hi) { return c >= lo && c <= hi; }

// Length of a well-formed UTF-8 sequence at s[pos], or 1 when the bytes there
// do not form one (a lone or broken sequence is single bytes).
size_t Utf8Length(std::string_view s, size_t pos) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(s[pos + i]); };
  const size_t left = s.size() - pos;
  const unsigned char c = b(0);
  if (c < 0xC2 || c > 0xF4) return 1;
  if (c < 0xE0) return left >= 2 && InRange(b(1), 0x80, 0xBF) ? 2 : 1;
  if (c < 0xF0) {
    if (left < 3) return 1;
    const unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
    const unsigned char hi = c == 0xED ? 0x9F : 0xBF;  // no surrogates
    return InRange(b(1), lo, hi) && InRange(b(2), 0x80, 0xBF) ? 3 : 1;
  }
  if (left < 4) return 1;
  const unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
  const unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;
  return InRange(b(1), lo, hi) && InRange(b(2), 0x80, 0xBF) && InRange(b(3), 0x80, 0xBF) ? 4 : 1;
}

}  // namespace

bool IsLeadByte(unsigned char c, CharRule rule) {
  switch (rule) {
    case CharRule::Cp932:
      return InRange(c, 0x81, 0x9F) || InRange(c, 0xE0, 0xFC);
    case CharRule::Utf8:
      return InRange(c, 0xC2, 0xF4);
    case CharRule::SingleByte:
      break;
  }
  return false;
}

size_t CharLength(std::string_view s, size_t pos, CharRule rule) {
  switch (rule) {
    case CharRule::Cp932:
      // A lead byte that ends the string is a character of its own.
      return IsLeadByte(static_cast<unsigned char>(s[pos]), rule) && pos + 1 < s.size() ? 2 : 1;
    case CharRule::Utf8:
      return Utf8Length(s, pos);
    case CharRule::SingleByte:
      break;
  }
  return 1;
}

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return UpperAscii(x) == UpperAscii(y);
         });
}

int32_t CharCount(std::string_view s, CharRule rule) {
  int32_t count = 0;
  for (size_t p = 0; p < s.size(); p += CharLength(s, p, rule)) ++count;
  return count;
}

std::string CharCopy(std::string_view s, int32_t index, int32_t count, CharRule rule) {
  if (count == MaxCount) {
    if (index < 1) return {};
    size_t p = 0;
    for (int32_t k = 1; k < index && p < s.size(); ++k) p += CharLength(s, p, rule);
    return std::string(s.substr(p));
  }
  if (count <= 0 || index < 1) return {};
  // Characters index .. index + count - 1; 64-bit so that the end never wraps.
  const int64_t last = static_cast<int64_t>(index) + count;
  size_t start = std::string_view::npos;
  int64_t k = 1;
  size_t p = 0;
  for (; p < s.size(); p += CharLength(s, p, rule), ++k) {
    if (k == index) start = p;
    if (k == last) break;
  }
  if (start == std::string_view::npos) return {};
  return std::string(s.substr(start, p - start));
}

std::string LastChar(std::string_view s, CharRule rule) {
  size_t last = 0;
  for (size_t p = 0; p < s.size(); p += CharLength(s, p, rule)) last = p;
  return std::string(s.substr(last));
}

int32_t CharPos(std::string_view sub, std::string_view s, CharRule rule) {
  int32_t k = 1;
  for (size_t p = 0; p < s.size(); p += CharLength(s, p, rule), ++k) {
    if (s.substr(p).starts_with(sub)) return k;
  }
  return 0;
}

uint64_t Fnv1a(std::string_view name, bool foldCase) {
  uint64_t h = 14695981039346656037ull;
  for (const char c : name) {
    h = (h ^ static_cast<unsigned char>(foldCase ? UpperAscii(c) : c)) * 1099511628211ull;
  }
  return h;
}

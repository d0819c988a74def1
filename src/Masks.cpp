// Wildcard mask compiler and matcher. A mask is compiled anew for every name
// it is tested against, so compiling costs one allocation and no more.
#include "Masks.h"

#include <algorithm>
#include <cstring>

#include "Characters.h"
#include "Exceptions.h"

using platform::CharRule;

struct TMask::Element {
  enum Kind : uint8_t { Literal, AnyByte, ByteSet, MultiByte, End };
  Kind kind;
  bool star;
  bool negated;
  uint8_t width;           // bytes of the name it takes
  uint8_t slot;            // its number among the starred elements
  unsigned char bytes[4];  // a literal in upper case, or a character's bytes
  uint64_t members[4];     // a byte set, one bit per (upper-case) byte value
};

namespace {

using Element = TMask::Element;

bool IsMember(const Element& e, unsigned char c) { return (e.members[c >> 6] >> (c & 63)) & 1; }

[[noreturn]] void RaiseMaskError(std::string_view mask, size_t position) {
  const std::string pattern =
      platform::ProgramText("%1:d 番目の文字（'%0:s'）は正しくないマスク文字です");
  // One pass, so that a mask that itself holds "%1:d" is inserted as typed.
  std::string text;
  for (size_t i = 0; i < pattern.size();) {
    if (pattern.compare(i, 4, "%0:s") == 0) {
      text += platform::FromAnsiSpelling(mask);
      i += 4;
    } else if (pattern.compare(i, 4, "%1:d") == 0) {
      text += std::to_string(position);
      i += 4;
    } else {
      text += pattern[i++];
    }
  }
  throw EMaskException(text);
}

bool Fits(const Element& e, std::string_view name, size_t p) {
  const size_t left = name.size() - p;
  switch (e.kind) {
    case Element::Literal:
      return left > 0 && UpperAscii(static_cast<unsigned char>(name[p])) == e.bytes[0];
    case Element::AnyByte:
      return left > 0;
    case Element::ByteSet:
      return left > 0 && IsMember(e, UpperAscii(static_cast<unsigned char>(name[p]))) != e.negated;
    case Element::MultiByte:
      return left >= e.width && std::memcmp(name.data() + p, e.bytes, e.width) == 0;
    case Element::End:
      break;
  }
  return left == 0;
}

// The first position from p on where a starred element fits, or the end of
// the name. A multi-byte literal is looked for character by character.
size_t Search(const Element& e, std::string_view name, size_t p, CharRule rule) {
  const size_t end = name.size();
  switch (e.kind) {
    case Element::End:
      return end;
    case Element::MultiByte:
      while (p < end && !Fits(e, name, p)) p += CharLength(name, p, rule);
      return p;
    case Element::Literal: {
      const unsigned char c = e.bytes[0];
      const unsigned char lower = c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
      while (p < end && name[p] != static_cast<char>(c) && name[p] != static_cast<char>(lower)) {
        ++p;
      }
      return p;
    }
    default:
      while (p < end && !Fits(e, name, p)) ++p;
      return p;
  }
}

// True when position p is a character start as read from q on (q <= p).
bool OnCharStep(std::string_view name, size_t q, size_t p, CharRule rule) {
  while (q < p) q += CharLength(name, q, rule);
  return q == p;
}

}  // namespace

TMask::TMask(const std::string& mask) : TMask(mask, platform::ActiveCharRule()) {}

TMask::TMask(std::string_view mask, CharRule rule) : rule_(rule) {
  // Every element but the end takes at least one byte of the mask.
  elements_ = std::make_unique_for_overwrite<Element[]>(mask.size() + 1);
  size_t pos = 0;
  while (pos < mask.size()) {
    const unsigned char c = static_cast<unsigned char>(mask[pos]);
    if (c == '*') {
      pendingStar_ = true;
      ++pos;
      continue;
    }
    if (c == '?' && pendingStar_) {  // "*?" asks for nothing more than "*"
      ++pos;
      continue;
    }
    Element& e = elements_[count_];
    e = Element{};
    e.width = 1;
    size_t last = pos;
    if (c == '?') {
      e.kind = Element::AnyByte;
      ++pos;
    } else if (c == '[') {
      e.kind = Element::ByteSet;
      pos = ReadSet(mask, pos, e);
      last = pos - 1;
    } else if (const size_t len = CharLength(mask, pos, rule); len > 1) {
      e.kind = Element::MultiByte;
      e.width = static_cast<uint8_t>(len);
      std::memcpy(e.bytes, mask.data() + pos, len);
      pos += len;
      last = pos - 1;
    } else {
      // A lead byte that ends the mask has no trail: it stands for itself.
      e.kind = Element::Literal;
      e.bytes[0] = UpperAscii(c);
      ++pos;
    }
    Append(e, last);
  }
  Element& end = elements_[count_];
  end = Element{};
  end.kind = Element::End;
  Append(end, mask.size());
  // Faults in sets come first: they raise as soon as they are met.
  if (starFault_ != 0) RaiseMaskError(mask, starFault_);
}

TMask::~TMask() = default;

void TMask::Append(Element& e, size_t last) {
  e.star = pendingStar_;
  pendingStar_ = false;
  if (e.star) {
    if (stars_ == MaxStars) {
      if (starFault_ == 0) starFault_ = last + 1;
    } else {
      e.slot = static_cast<uint8_t>(stars_++);
    }
  }
  ++count_;
}

size_t TMask::ReadSet(std::string_view mask, size_t pos, Element& e) const {
  const size_t n = mask.size();
  size_t i = pos + 1;
  if (i < n && mask[i] == '!') {
    e.negated = true;
    ++i;
  }
  bool hasPrevious = false;
  unsigned previous = 0;
  const auto add = [&e](unsigned c) { e.members[c >> 6] |= uint64_t{1} << (c & 63); };
  while (i < n && mask[i] != ']') {
    if (const size_t len = CharLength(mask, i, rule_); len > 1) {
      i += len;  // double-byte characters are never members
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(mask[i]);
    if (c == '-') {
      if (!hasPrevious) RaiseMaskError(mask, i + 1);
      if (i + 1 >= n) RaiseMaskError(mask, n + 1);
      // The next byte ends the range, whatever it is; the start stays.
      const unsigned last = UpperAscii(static_cast<unsigned char>(mask[i + 1]));
      for (unsigned v = previous; v <= last; ++v) add(v);
      i += 2;
      continue;
    }
    previous = UpperAscii(c);
    hasPrevious = true;
    add(previous);
    ++i;
  }
  if (i >= n) RaiseMaskError(mask, n + 1);
  // A range never adds to a set that holds nothing yet, so an empty set is
  // one without a single plain member.
  if (!hasPrevious) RaiseMaskError(mask, i + 1);
  return i + 1;
}

bool TMask::Accepts(std::string_view name) const {
  struct Alternative {
    size_t pos;
    int element;
  };
  Alternative stack[MaxStars];
  int depth = 0;

  // Once every alternative of a starred element searched from `origin` has
  // failed, a later search from a point it already covered fails the same way,
  // so it is cut short; without this "*a*a*a*b" takes time of the power of
  // the star count. A multi-byte search keeps two such starts, since in CP932
  // two searches can step through a run of lead bytes out of phase.
  size_t origin[MaxStars];
  bool searching[MaxStars] = {};
  bool byCharacter[MaxStars];
  size_t failedFrom[MaxStars][2];
  uint8_t failedCount[MaxStars] = {};
  const auto knownToFail = [&](const Element& e, size_t p) {
    for (int j = 0; j < failedCount[e.slot]; ++j) {
      const size_t q = failedFrom[e.slot][j];
      if (p >= q && (e.kind != Element::MultiByte || OnCharStep(name, q, p, rule_))) return true;
    }
    return false;
  };
  const auto recordFailure = [&](int slot) {
    uint8_t& count = failedCount[slot];
    size_t* from = failedFrom[slot];
    if (!byCharacter[slot]) {
      if (count == 0 || origin[slot] < from[0]) from[0] = origin[slot];
      count = 1;
    } else {
      from[1] = from[0];
      from[0] = origin[slot];
      count = std::min<uint8_t>(count + 1, 2);
    }
  };

  size_t p = 0;
  int k = 0;
  bool resumed = false;  // the attempt goes on with a search already under way
  for (;;) {
    for (;; ++k) {
      const Element& e = elements_[k];
      if (e.star) {
        if (!resumed) {
          if (knownToFail(e, p)) break;
          origin[e.slot] = p;
          searching[e.slot] = true;
          byCharacter[e.slot] = e.kind == Element::MultiByte;
        }
        resumed = false;
        p = Search(e, name, p, rule_);
        if (p < name.size()) stack[depth++] = {p + e.width, k};
      }
      if (!Fits(e, name, p)) break;
      if (e.kind == Element::End) return true;
      p += e.width;
    }
    // The attempt failed: every search begun after the alternative on top of
    // the stack has run out of alternatives.
    const int floor = depth > 0 ? elements_[stack[depth - 1].element].slot : -1;
    for (int slot = floor + 1; slot < stars_; ++slot) {
      if (searching[slot]) recordFailure(slot);
      searching[slot] = false;
    }
    if (depth == 0) return false;
    --depth;
    p = stack[depth].pos;
    k = stack[depth].element;
    resumed = true;
  }
}

bool NameFitsMask(const std::string& name, const std::string& mask) {
  return TMask(mask).Accepts(name);
}

bool NameFitsMask(std::string_view name, std::string_view mask, CharRule rule) {
  return TMask(mask, rule).Accepts(name);
}

// A second, deliberately plain mask matcher for comparing against TMask: it
// compiles into vectors and tries every alternative by recursion, with no
// pruning. Only for short names: its time grows with the power of the stars.
#pragma once

#include <bitset>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "Characters.h"

namespace maskref {

struct Elem {
  enum Kind { Byte, Any, Set, Multi, End } kind = Byte;
  bool star = false;
  bool negated = false;
  std::string bytes;
  std::bitset<256> members;
};

struct Compiled {
  std::vector<Elem> elems;
  size_t error = 0;  // 1-based position of the fault, 0 when valid
};

inline unsigned char Up(unsigned char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; }

inline Compiled Compile(std::string_view m, CharRule rule) {
  Compiled out;
  bool star = false;
  int stars = 0;
  size_t starError = 0;
  const auto append = [&](Elem e, size_t completedAt) {
    e.star = star;
    star = false;
    if (e.star && ++stars > 30 && starError == 0) starError = completedAt;
    out.elems.push_back(e);
  };
  size_t i = 0;
  while (i < m.size()) {
    const unsigned char c = m[i];
    Elem e;
    if (c == '*') {
      star = true;
      ++i;
    } else if (c == '?') {
      if (!star) {
        e.kind = Elem::Any;
        append(e, i + 1);
      }
      ++i;
    } else if (c == '[') {
      e.kind = Elem::Set;
      ++i;
      if (i < m.size() && m[i] == '!') {
        e.negated = true;
        ++i;
      }
      int previous = -1;
      for (;;) {
        if (i >= m.size()) {
          out.error = m.size() + 1;
          return out;
        }
        if (m[i] == ']') break;
        const size_t len = CharLength(m, i, rule);
        if (len > 1) {
          i += len;
        } else if (m[i] == '-') {
          if (previous < 0) {
            out.error = i + 1;
            return out;
          }
          if (i + 1 >= m.size()) {
            out.error = m.size() + 1;
            return out;
          }
          for (int v = previous; v <= Up(m[i + 1]); ++v) e.members.set(v);
          i += 2;
        } else {
          previous = Up(m[i]);
          e.members.set(previous);
          ++i;
        }
      }
      if (e.members.none()) {
        out.error = i + 1;
        return out;
      }
      ++i;
      append(e, i);
    } else {
      const size_t len = CharLength(m, i, rule);
      if (len > 1) {
        e.kind = Elem::Multi;
        e.bytes = std::string(m.substr(i, len));
      } else {
        e.bytes = std::string(1, static_cast<char>(Up(c)));
      }
      i += len;
      append(e, i);
    }
  }
  Elem end;
  end.kind = Elem::End;
  append(end, m.size() + 1);
  out.error = starError;
  return out;
}

inline size_t Width(const Elem& e) { return e.kind == Elem::Multi ? e.bytes.size() : 1; }

inline bool Fits(const Elem& e, std::string_view n, size_t p) {
  switch (e.kind) {
    case Elem::Byte:
      return p < n.size() && Up(n[p]) == static_cast<unsigned char>(e.bytes[0]);
    case Elem::Any:
      return p < n.size();
    case Elem::Set:
      return p < n.size() && e.members.test(Up(n[p])) != e.negated;
    case Elem::Multi:
      return n.substr(p).starts_with(e.bytes);
    case Elem::End:
      return p == n.size();
  }
  return false;
}

inline bool Match(const std::vector<Elem>& es, size_t k, std::string_view n, size_t p,
                  CharRule rule) {
  const Elem& e = es[k];
  for (;;) {
    if (e.star) {
      while (p < n.size() && !Fits(e, n, p))
        p += e.kind == Elem::Multi ? CharLength(n, p, rule) : 1;
    }
    if (Fits(e, n, p) && (e.kind == Elem::End || Match(es, k + 1, n, p + Width(e), rule))) {
      return true;
    }
    if (!e.star || p >= n.size()) return false;
    p += Width(e);  // the next place the search may stop
  }
}

inline bool Match(const Compiled& c, std::string_view name, CharRule rule) {
  return Match(c.elems, 0, name, 0, rule);
}

}  // namespace maskref

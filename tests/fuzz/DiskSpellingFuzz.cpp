// libFuzzer target: the on-disk spelling of arbitrary paths over a file
// system kept in memory, whose entries are made from the same input: each
// component of the path is there or not, spelled in another letter case, under
// a longer name of which it is the alias, hidden, system, a file or a
// directory. Input: the path, a zero byte, one control byte per component
// (used in turn; none means every component is there as typed).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Characters.h"
#include "DiskSpelling.h"

namespace {

using platform::DirEntry;

void Check(bool ok) {
  if (!ok) std::abort();
}

// The harness's own loops give the fuzzer no guidance worth having, and
// instrumented they cost more than the code under test.
#define KOVREL_UNGUIDED __attribute__((no_sanitize("coverage")))

KOVREL_UNGUIDED char Up(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// Paths compared and hashed without regard to the case of "a" to "z".
struct NoCaseHash {
  KOVREL_UNGUIDED size_t operator()(const std::string& s) const {
    size_t h = 14695981039346656037u;
    const char* p = s.data();
    for (size_t i = 0, n = s.size(); i < n; ++i)
      h = (h ^ static_cast<unsigned char>(Up(p[i]))) * 1099511628211u;
    return h;
  }
};
struct NoCaseEqual {
  KOVREL_UNGUIDED bool operator()(const std::string& a, const std::string& b) const {
    if (a.size() != b.size()) return false;
    const char* p = a.data();
    const char* q = b.data();
    for (size_t i = 0, n = a.size(); i < n; ++i) {
      if (Up(p[i]) != Up(q[i])) return false;
    }
    return true;
  }
};

// Entries by their full path, in any case; an alias is one more key for the
// same entry. Listings and lookups are answered from the map; every call that
// would change the disk is counted and fails.
class MemoryFileSystem : public platform::FileSystem {
 public:
  int changes = 0;
  int finds = 0;

  void Add(const std::string& dir, const DirEntry& e, const std::string& alias) {
    entries_.push_back({dir, e});
    byPath_[dir + e.name] = entries_.size() - 1;
    if (!alias.empty()) byPath_[dir + alias] = entries_.size() - 1;
  }

  // The lookup itself, uncounted, for the expected spelling.
  bool Lookup(const std::string& path, uint32_t admit, DirEntry& out) const {
    const auto it = byPath_.find(path);
    if (it == byPath_.end()) return false;
    const DirEntry& e = entries_[it->second].entry;
    constexpr uint32_t kFiltered =
        platform::faHidden | platform::faSysFile | platform::faVolumeID | platform::faDirectory;
    if ((e.attr & kFiltered & ~admit) != 0) return false;
    out = e;
    return true;
  }

  void List(const std::string& pattern, uint32_t admit,
            const std::function<void(const DirEntry&)>& fn) override {
    const std::string whole = std::string(1, platform::PathDelim) + "*.*";
    if (pattern.ends_with(whole)) {
      const std::string dir = pattern.substr(0, pattern.size() - 3);
      for (const Stored& s : entries_) {
        DirEntry e;
        if (NoCaseEqual()(s.dir, dir) && Lookup(s.dir + s.entry.name, admit, e)) fn(e);
      }
      return;
    }
    DirEntry e;
    if (Lookup(pattern, admit, e)) fn(e);
  }
  bool Find(const std::string& path, uint32_t admit, DirEntry& out) override {
    ++finds;
    return Lookup(path, admit, out);
  }
  bool FileExists(const std::string& path) override {
    DirEntry e;
    return Lookup(path, platform::faAnyFile, e) && !(e.attr & platform::faDirectory);
  }
  bool DirectoryExists(const std::string& path) override {
    DirEntry e;
    return Lookup(path, platform::faAnyFile, e) && (e.attr & platform::faDirectory);
  }
  platform::PathKind KindOf(const std::string& path) override {
    DirEntry e;
    if (!Lookup(path, platform::faAnyFile, e)) return platform::PathKind::Missing;
    return e.attr & platform::faDirectory ? platform::PathKind::Directory
                                          : platform::PathKind::File;
  }
  bool LastWriteTime(const std::string&, platform::FileTime&) override { return false; }
  bool Identity(const std::string&, platform::FileId&) override { return false; }
  bool CreateDir(const std::string&) override { return Change(); }
  bool RemoveDir(const std::string&) override { return Change(); }
  bool CopyFile(const std::string&, const std::string&, bool,
                const std::function<bool()>&) override {
    return Change();
  }
  bool MoveFile(const std::string&, const std::string&, bool) override { return Change(); }
  bool DeleteFile(const std::string&) override { return Change(); }
  void SaveLines(const std::string&, const std::vector<std::string>&) override { Change(); }

 private:
  struct Stored {
    std::string dir;  // the parent's full path, ending with the separator
    DirEntry entry;
  };
  bool Change() {
    ++changes;
    return false;
  }
  std::vector<Stored> entries_;
  std::unordered_map<std::string, size_t, NoCaseHash, NoCaseEqual> byPath_;
};

// The path cut at its separators, walked character by character.
struct Parts {
  bool hasDelim = false;
  std::string head;                // through the first separator
  std::vector<std::string> inner;  // between two separators
  std::string last;                // after the last separator
};

KOVREL_UNGUIDED Parts Split(std::string_view path) {
  const platform::CharRule rule = platform::ActiveCharRule();
  Parts parts;
  std::string current;
  for (size_t p = 0; p < path.size();) {
    const size_t len = CharLength(path, p, rule);
    const std::string_view c = path.substr(p, len);
    p += len;
    if (c.size() == 1 && c[0] == platform::PathDelim) {
      if (!parts.hasDelim) {
        parts.head = current + c[0];
        parts.hasDelim = true;
      } else {
        parts.inner.push_back(current);
      }
      current.clear();
    } else {
      current += c;
    }
  }
  if (parts.hasDelim) parts.last = current;
  return parts;
}

size_t DelimCount(std::string_view s) {
  const Parts parts = Split(s);
  return parts.hasDelim ? 1 + parts.inner.size() : 0;
}

std::string FlipCase(std::string s) {
  for (char& c : s) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) c = static_cast<char>(c ^ 0x20);
  }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t zero = input.find('\0');
  const std::string path(input.substr(0, zero));
  const std::string_view controls =
      zero == std::string_view::npos ? std::string_view() : input.substr(zero + 1);
  const std::string delim(1, platform::PathDelim);

  // The tree along the path. Control bits: 0-1 there (0, 1), missing (2) or
  // hidden (3); 2 system; 3 other letter case; 4 a file where a directory
  // would be, a directory where a file would be; 5 the typed name is the
  // alias of a longer one.
  const Parts parts = Split(path);
  std::vector<std::string> components = parts.inner;
  components.push_back(parts.last);
  MemoryFileSystem fs;
  bool aliased = false;
  std::string dir = parts.head;
  for (size_t i = 0; parts.hasDelim && i < components.size(); ++i) {
    const unsigned char c =
        controls.empty() ? 0 : static_cast<unsigned char>(controls[i % controls.size()]);
    const std::string& typed = components[i];
    if (typed.empty() || (c & 3) == 2) break;
    const bool isLast = i + 1 == components.size();
    DirEntry e;
    e.name = c & 0x08 ? FlipCase(typed) : typed;
    if (c & 0x20) {
      e.name += "-long name";
      aliased = true;
    }
    if ((c & 3) == 3) e.attr |= platform::faHidden;
    if (c & 0x04) e.attr |= platform::faSysFile;
    if (isLast == ((c & 0x10) != 0)) e.attr |= platform::faDirectory;
    fs.Add(dir, e, c & 0x20 ? typed : std::string());
    if (!(e.attr & platform::faDirectory)) break;  // nothing below a file
    dir += e.name + delim;
  }

  const std::string result = DiskSpelling(fs, path);
  Check(fs.changes == 0);
  Check(fs.finds <= static_cast<int>(components.size()));

  if (!parts.hasDelim) {
    Check(result.empty());
    Check(fs.finds == 0);
    return 0;
  }
  Check(result.starts_with(parts.head));

  // What the spelling should be: the head as typed, then each component as
  // its entry is spelled, up to the first one that cannot be found.
  std::string expected = parts.head;
  bool allFound = true;
  DirEntry e;
  for (const std::string& component : parts.inner) {
    if (!fs.Lookup(expected + component, platform::faDirectory, e)) {
      allFound = false;
      break;
    }
    expected += e.name + delim;
  }
  bool lastIsDir = false;
  if (allFound && !parts.last.empty()) {
    if (fs.Lookup(expected + parts.last, platform::faAnyFile, e)) {
      expected += e.name;
      lastIsDir = (e.attr & platform::faDirectory) != 0;
      if (lastIsDir) expected += delim;
    } else {
      allFound = false;
    }
  }
  Check(result == expected);

  // As many components as the path, one more separator for a directory
  // named last; fewer, and a final separator, when one was not found.
  const size_t pathDelims = DelimCount(path);
  const size_t resultDelims = DelimCount(result);
  if (allFound) {
    Check(resultDelims == pathDelims + (lastIsDir ? 1 : 0));
    if (!aliased) Check(SameIgnoringAsciiCase(result, lastIsDir ? path + delim : path));
  } else {
    Check(result.ends_with(delim));
    Check(resultDelims <= pathDelims);
  }
  return 0;
}

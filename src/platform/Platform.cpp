// The portable part of the platform layer: time and date arithmetic, the
// directory chain, the Windows command-line rules and the codeset table.
#include "Platform.h"

#include <algorithm>
#include <initializer_list>
#include <limits>

#include "../Characters.h"
#include "../Exceptions.h"

namespace platform {

// Bit 29 marks an application's own code on Windows; no errno is this large.
const unsigned long kChangedWhileCopied = 0x20004B56;
const unsigned long kNameRefused = 0x20004B57;

FileTime TimeFromSeconds(int64_t seconds, int64_t nanoseconds) {
  constexpr int64_t kMostSeconds = std::numeric_limits<FileTime>::max() / kSecond;
  if (seconds >= kMostSeconds) return std::numeric_limits<FileTime>::max();
  if (seconds <= -kMostSeconds) return std::numeric_limits<FileTime>::min();
  return seconds * kSecond + nanoseconds;
}

namespace {

// FILETIME ticks (100 ns) from 1601-01-01 to 1970-01-01.
constexpr int64_t kTicksTo1970 = 116444736000000000;
constexpr int64_t kNanosPerTick = 100;

}  // namespace

FileTime TimeFromTicks(uint64_t ticks) {
  constexpr int64_t kMostTicks = std::numeric_limits<FileTime>::max() / kNanosPerTick;
  if (ticks > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
    return std::numeric_limits<FileTime>::max();
  const int64_t since1970 = static_cast<int64_t>(ticks) - kTicksTo1970;
  if (since1970 > kMostTicks) return std::numeric_limits<FileTime>::max();
  if (since1970 < -kMostTicks) return std::numeric_limits<FileTime>::min();
  return since1970 * kNanosPerTick;
}

uint64_t TicksFromTime(FileTime t) {
  // Rounded down, also before 1970; the earliest FileTime lies after 1601.
  int64_t ticks = t / kNanosPerTick;
  if (t % kNanosPerTick < 0) --ticks;
  return static_cast<uint64_t>(ticks + kTicksTo1970);
}

bool LaterBy(FileTime later, FileTime earlier, FileTime clock) {
  // In unsigned arithmetic, the difference of any two times fits.
  return later > earlier && static_cast<uint64_t>(later) - static_cast<uint64_t>(earlier) >
                                static_cast<uint64_t>(clock);
}

FileTime ClockOfProbe(FileTime kept) {
  constexpr FileTime kSteps[] = {2 * kSecond, kSecond, 10000000, 1000000, 1000, 100, 1};
  const uint64_t off = kept > kProbeTime
                           ? static_cast<uint64_t>(kept) - static_cast<uint64_t>(kProbeTime)
                           : static_cast<uint64_t>(kProbeTime) - static_cast<uint64_t>(kept);
  for (const FileTime step : kSteps) {
    if (kept % step != 0) continue;
    return off < static_cast<uint64_t>(step) ? step : 0;
  }
  return 0;
}

int64_t DayNumber(int year, int month, int day) {
  // Days from the civil epoch 0000-03-01, then shifted so 1899-12-30 is 0.
  const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t mp = (month + 9) % 12;
  const int64_t doy = (153 * mp + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t civil = era * 146097 + doe;  // 0000-03-01 is 0
  constexpr int64_t k18991230 = 693899;      // civil number of 1899-12-30
  return civil - k18991230;
}

size_t LastDelim(std::string_view p) {
  const CharRule rule = PathCharRule();
  size_t last = std::string_view::npos;
  for (size_t i = 0; i < p.size(); i += CharLength(p, i, rule)) {
    if (p[i] == PathDelim) last = i;
  }
  return last;
}

bool IsAtOrBelow(std::string_view path, std::string_view dir) {
  while (dir.size() > RootLength(dir) && dir.back() == PathDelim) dir.remove_suffix(1);
  if (path.size() < dir.size()) return false;
  const std::string_view head = path.substr(0, dir.size());
  // Windows names differ only in case where they are the same name.
  const bool same = PathDelim == '\\' ? SameIgnoringAsciiCase(head, dir) : head == dir;
  return same &&
         (path.size() == dir.size() || path[dir.size()] == PathDelim || dir.back() == PathDelim);
}

std::string ExecutableFileName() {
  const std::string path = ExecutablePath();
  const size_t delim = LastDelim(path);
  return delim == std::string::npos ? path : path.substr(delim + 1);
}

namespace {
constexpr std::string_view kStagingPrefix = ".kovrel-staged-";
constexpr size_t kStagingDigits = 16;
}  // namespace

std::string StagingName(uint64_t unique) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name(kStagingPrefix);
  for (int shift = 4 * (kStagingDigits - 1); shift >= 0; shift -= 4)
    name += kHex[unique >> shift & 15];
  return name;
}

bool IsStagingName(std::string_view name) {
  if (name.size() != kStagingPrefix.size() + kStagingDigits || !name.starts_with(kStagingPrefix)) {
    return false;
  }
  return std::all_of(name.begin() + kStagingPrefix.size(), name.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string LinesWithCrLf(const std::vector<std::string>& lines) {
  size_t size = 0;
  for (const std::string& line : lines) size += line.size() + 2;
  std::string content;
  content.reserve(size);
  for (const std::string& line : lines) {
    content += line;
    content += "\r\n";
  }
  return content;
}

void RaiseCreateError(const std::string& path) {
  std::string message = ProgramText("ファイル %s を作成できません");
  message.replace(message.find("%s"), 2, path);
  throw EFCreateError(message);
}

void RaiseWriteError() { throw EWriteError(ProgramText("ストリームへの書き込みエラー")); }

bool ReadOnlyClearing::MakeWritable(const std::string& path) {
  DirEntry e;
  return inner_.Find(path, faAnyFile, e) && (e.attr & (faReadOnly | faDirectory)) == faReadOnly &&
         inner_.SetReadOnly(path, false);
}

bool ReadOnlyClearing::CopyFile(const std::string& from, const std::string& to, bool replace,
                                const std::function<bool()>& beforePlace) {
  // The copy that gives way is the one found under `to` once the copy is
  // complete and about to be placed: whatever was there before may have
  // moved on meanwhile (beforePlace).
  bool cleared = false;
  const bool placed = inner_.CopyFile(from, to, replace, [&] {
    if (beforePlace && !beforePlace()) return false;
    if (replace) cleared = MakeWritable(to);
    return true;
  });
  if (!placed && cleared) {
    const ErrorKeeper keep;  // the caller tells why it failed
    inner_.SetReadOnly(to, true);
  }
  return placed;
}

bool ReadOnlyClearing::PlaceStaged(StagedFile& file, bool replace) {
  // The copy that gives way is the one under the name at this moment.
  const bool cleared = replace && file.flushed && MakeWritable(file.To());
  const bool placed = inner_.PlaceStaged(file, replace);
  if (!placed && cleared) {
    const ErrorKeeper keep;  // the caller tells why it failed
    inner_.SetReadOnly(file.To(), true);
  }
  return placed;
}

bool ReadOnlyClearing::ClearingIfRefused(const std::string& path, const std::function<bool()>& op) {
  // Most targets are not read-only: they cost no look beyond the operation.
  if (op()) return true;
  bool cleared;
  {
    const ErrorKeeper keep;  // why it failed, should the file not be read-only
    cleared = MakeWritable(path);
  }
  if (!cleared) return false;
  if (op()) return true;
  const ErrorKeeper keep;  // the caller tells why it failed
  inner_.SetReadOnly(path, true);
  return false;
}

bool ReadOnlyClearing::MoveFile(const std::string& from, const std::string& to, bool replace) {
  // Most moves are renames, which a read-only file takes as any other; only
  // one that failed looks. A replacing move gives way to its target, and a
  // move to another volume deletes its source once copied: the target is
  // cleared first, then the source, each only while the move still fails.
  const auto move = [&] { return inner_.MoveFile(from, to, replace); };
  if (move()) return true;
  bool target, source = false, moved = false;
  {
    const ErrorKeeper keep;  // why it failed, should neither be read-only
    target = replace && MakeWritable(to);
  }
  if (target) moved = move();
  if (!moved) {
    {
      const ErrorKeeper keep;
      source = MakeWritable(from);
    }
    if (source) moved = move();
  }
  const ErrorKeeper keep;  // the caller tells why it failed
  // The moved copy keeps its attribute; what stays where it was gets its own back.
  if (source) inner_.SetReadOnly(moved ? to : from, true);
  if (target && !moved) inner_.SetReadOnly(to, true);
  return moved;
}

bool ReadOnlyClearing::DeleteFile(const std::string& path) {
  return ClearingIfRefused(path, [&] { return inner_.DeleteFile(path); });
}

namespace {

// `path` without trailing separators, down to its root at most.
std::string WithoutTrailingDelims(std::string path) {
  const size_t root = RootLength(path);
  while (path.size() > root && LastDelim(path) == path.size() - 1) path.pop_back();
  return path;
}

}  // namespace

std::string CollapsedPath(std::string_view path) {
  const size_t root = RootLength(path);
  std::string out(path.substr(0, root));
  // No separator is the trail byte of a character in the strings kept.
  for (size_t at = root; at < path.size();) {
    const size_t end = std::min(path.find(PathDelim, at), path.size());
    const std::string_view part = path.substr(at, end - at);
    if (!part.empty() && part != ".") {
      if (out.size() > root) out += PathDelim;
      out += part;
    }
    at = end + 1;
  }
  return out;
}

bool CreateDirChain(FileSystem& fs, const std::string& path, std::string* failedAt,
                    std::vector<std::string>* made) {
  const std::string p = WithoutTrailingDelims(path);
  if (p.size() <= RootLength(p) || fs.DirectoryExists(p)) return true;
  const size_t delim = LastDelim(p);
  if (delim != std::string::npos && !CreateDirChain(fs, p.substr(0, delim + 1), failedAt, made)) {
    return false;
  }
  if (fs.CreateDir(p)) {
    if (made) made->push_back(p);
    return true;
  }
  {
    // Made meanwhile by another program, or a name such as "x/.." that
    // stands for a directory that is there.
    const ErrorKeeper keep;
    if (fs.DirectoryExists(p)) return true;
  }
  if (failedAt) *failedAt = p;
  return false;
}

std::string EscapeControlBytes(std::string_view path, CharRule rule) {
  const auto isControl = [](unsigned char c) { return (c >= 0x01 && c <= 0x1F) || c == 0x7F; };
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size();) {
    const size_t len = CharLength(path, i, rule);
    const auto c = static_cast<unsigned char>(path[i]);
    if (len > 1) {
      out.append(path, i, len);
    } else if (isControl(c)) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else if (c == '\\') {
      // Doubled where it would otherwise begin "\\" or "\x".
      const bool last = i + 1 == path.size();
      const auto next = last ? 0 : static_cast<unsigned char>(path[i + 1]);
      out += !last && (next == 'x' || next == '\\' || isControl(next)) ? "\\\\" : "\\";
    } else {
      out += static_cast<char>(c);
    }
    i += len;
  }
  return out;
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  for (const char ch : line) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"') {
      quoted = !quoted;
    } else if (c >= 0x01 && c <= 0x20 && !quoted) {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += ch;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

CharRule CharRuleForCodeset(std::string_view codeset) {
  const auto is = [codeset](std::initializer_list<std::string_view> names) {
    return std::any_of(names.begin(), names.end(), [codeset](std::string_view name) {
      return SameIgnoringAsciiCase(codeset, name);
    });
  };
  if (is({"SHIFT_JIS", "SJIS", "CP932", "WINDOWS-31J", "SHIFT-JIS"})) return CharRule::Cp932;
  // The C/POSIX locale reports ANSI_X3.4-1968; it is taken as UTF-8.
  if (is({"UTF-8", "UTF8", "ANSI_X3.4-1968", "ASCII", ""})) return CharRule::Utf8;
  return CharRule::SingleByte;
}

}  // namespace platform

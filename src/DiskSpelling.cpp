// The on-disk spelling of a full path, and the executable's directory and
// base name derived from it.
#include "DiskSpelling.h"

#include "Characters.h"

using platform::DirEntry;
using platform::PathDelim;

std::string DiskSpelling(platform::FileSystem& fs, const std::string& path) {
  const std::string delim(1, PathDelim);
  const platform::CharRule rule = platform::PathCharRule();
  const int32_t first = CharPos(delim, path, rule);
  if (first == 0) return {};
  // The head (a drive, or the root) is never looked up: it keeps its spelling.
  std::string result = CharCopy(path, 1, first, rule);
  std::string rest = CharCopy(path, first + 1, MaxCount, rule);
  DirEntry e;
  for (int32_t k; (k = CharPos(delim, rest, rule)) != 0;) {
    // A hidden or system directory on the way ends the spelling.
    if (!fs.Find(result + CharCopy(rest, 1, k - 1, rule), platform::faDirectory, e)) return result;
    result += e.name + delim;
    rest = CharCopy(rest, k + 1, MaxCount, rule);
  }
  if (!rest.empty() && fs.Find(result + rest, platform::faAnyFile, e)) {
    result += e.name;
    if (e.attr & platform::faDirectory) result += delim;
  }
  return result;
}

namespace {

// Where the separator is '\', a drive's ':' ends the directory part too; on
// POSIX a colon is an ordinary character of a name.
bool IsDirEnd(std::string_view c) {
  return c.size() == 1 && (c[0] == PathDelim || (PathDelim == '\\' && c[0] == ':'));
}

}  // namespace

void SplitExecutablePath(const std::string& path, std::string& dir, std::string& base,
                         bool stripExtension) {
  const platform::CharRule rule = platform::PathCharRule();
  const std::string_view s = path;
  // Byte offsets just past the last separator and of the last dot after it;
  // walked by characters so that a trail byte is never taken for either.
  size_t nameStart = 0;
  size_t dot = std::string_view::npos;
  for (size_t p = 0; p < s.size();) {
    const size_t len = CharLength(s, p, rule);
    const std::string_view c = s.substr(p, len);
    if (IsDirEnd(c)) {
      nameStart = p + len;
      dot = std::string_view::npos;
    } else if (c == ".") {
      dot = p;
    }
    p += len;
  }
  dir = path.substr(0, nameStart);
  if (LastChar(dir, rule) != std::string(1, PathDelim)) dir += PathDelim;
  if (!stripExtension) dot = std::string_view::npos;
  base =
      path.substr(nameStart, dot == std::string_view::npos ? std::string::npos : dot - nameStart);
}

void ExecutableDirAndBase(platform::FileSystem& fs, std::string& dir, std::string& base) {
  const std::string reported = platform::ExecutablePath();
  std::string path = DiskSpelling(fs, reported);
  // A spelling that stopped early (a hidden directory on the way, one that
  // cannot be listed) names an ancestor and no file: its Temp*.txt would
  // belong to nobody's report. The reported path is the right place then.
  if (path.empty() || LastChar(path, platform::PathCharRule()) == std::string(1, PathDelim))
    path = reported;
  // Where programs carry no extension (POSIX), a dot belongs to the name:
  // "back.up" is the program's whole name, not "back" with an extension.
  SplitExecutablePath(path, dir, base, platform::ExeSuffix[0] != '\0');
}

void OutputDirAndBase(platform::FileSystem& fs, std::string& dir, std::string& base) {
  ExecutableDirAndBase(fs, dir, base);
  // Nothing is written beside an installed program, not even by root, who
  // could: a report in /usr/bin is no one's to find.
  const bool installed = platform::InstalledProgramDirectory(dir);
  if (!installed && platform::DirectoryTakesNewFiles(dir)) return;
  // Should the state directory fail as well, saving there raises the error.
  std::string state = platform::UserStateDirectory();
  if (state.empty() && installed) platform::RaiseCreateError(dir + base);
  if (!state.empty()) dir = std::move(state);
}

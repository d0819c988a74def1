// POSIX listings: readdir and stat, with last-write times to the nanosecond.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>

#include "../Characters.h"
#include "PosixFiles.h"

namespace platform::posix {

// The attribute of a fifo or device mode; 0 for every other kind.
uint32_t SpecialKind(mode_t mode) {
  if (S_ISFIFO(mode)) return faFifo;
  if (S_ISCHR(mode)) return faCharDevice;
  if (S_ISBLK(mode)) return faBlockDevice;
  return 0;
}

// Fills `e` from a stat of a listed kind; false for a socket, which is never
// listed. A link is a file of its own, with its own size (that of its target
// text) and time; a fifo or device is a file whose size is its device number.
bool FillEntry(const struct stat& st, std::string_view name, DirEntry& e) {
  const bool link = S_ISLNK(st.st_mode);
  const uint32_t special = SpecialKind(st.st_mode);
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !link && !special) return false;
  e.name.assign(name);
  e.attr = special;
  if (S_ISDIR(st.st_mode)) e.attr |= faDirectory;
  if (S_ISREG(st.st_mode) || link || special) e.attr |= faArchive;
  if (link) e.attr |= faSymLink;
  if (!name.empty() && name[0] == '.') e.attr |= faHidden;
  if (!link && !(st.st_mode & S_IWUSR)) e.attr |= faReadOnly;
  e.size = S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
  if (special & (faCharDevice | faBlockDevice)) e.size = static_cast<uint64_t>(st.st_rdev);
  e.time = TimeFromSeconds(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  // A file of more than one name tells how many and which file it is, so
  // that its other names can be linked to its first copy.
  const bool linked = S_ISREG(st.st_mode) && st.st_nlink > 1;
  e.links = linked ? static_cast<uint32_t>(st.st_nlink) : 0;
  e.id = linked ? FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)}
                : FileId{};
  return true;
}

bool Admitted(uint32_t attr, uint32_t admit) {
  constexpr uint32_t kFiltered = faHidden | faSysFile | faVolumeID | faDirectory;
  return (attr & kFiltered & ~admit) == 0;
}

// Matches a name against a listing pattern as the Windows listing does: "*"
// is any run of bytes, "?" one byte, letters compared without regard to case.
bool PatternMatches(std::string_view pattern, std::string_view name) {
  size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || UpperAscii(pattern[p]) == UpperAscii(name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// Lists one directory. At or below a root a link is listed as itself (a file
// with faSymLink); elsewhere it is followed: a link to a regular file is
// listed as that file, a link to anything else is not listed. A directory whose type
// the listing gives (d_type) is not stat'ed: no caller uses the time or size
// of a directory. With `kindsOnly` the same holds for regular files, fifos
// and devices; any other entry gets one fstatat relative to the open
// directory.
void ListDirectory(Roots& roots, const std::string& dir, std::string_view pattern, uint32_t admit,
                   const std::function<void(const DirEntry&)>& fn, bool kindsOnly) {
  bool links = false;
  Fd fd(roots.OpenDirectory(dir.empty() ? std::string(".") : dir, links));
  if (fd.get() < 0) return;
  Dir d(::fdopendir(fd.get()));
  if (!d.get()) return;
  const int dfd = fd.release();
  const int statFlags = links ? AT_SYMLINK_NOFOLLOW : 0;
  const bool all = pattern == "*.*" || pattern == "*";
  DirEntry e;
  struct stat st;
  while (const struct dirent* de = ::readdir(d.get())) {
    const std::string_view name = de->d_name;
    if (!all && !PatternMatches(pattern, name)) continue;
    const bool linkKind = links && de->d_type == DT_LNK;
    const uint32_t special = SpecialKind(DTTOIF(de->d_type));
    if (de->d_type == DT_DIR || (kindsOnly && (de->d_type == DT_REG || linkKind || special))) {
      e.name.assign(name);
      e.attr = de->d_type == DT_DIR ? faDirectory : faArchive | special;
      if (linkKind) e.attr |= faSymLink;
      if (name[0] == '.') e.attr |= faHidden;
      e.size = 0;
      e.time = 0;
      e.links = 0;
      e.id = FileId{};
    } else if (::fstatat(dfd, de->d_name, &st, statFlags) != 0) {
      // Gone meanwhile, or a link that leads nowhere: nothing to list.
      if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR || !(admit & faUnreadable)) {
        continue;
      }
      e.name.assign(name);
      e.attr = faUnreadable;
      e.size = 0;
      e.time = 0;
      e.links = 0;
      e.id = FileId{};
    } else {
      if (!links && de->d_type == DT_LNK && !S_ISREG(st.st_mode)) continue;
      if (!FillEntry(st, name, e)) continue;
    }
    if (Admitted(e.attr, admit)) fn(e);
  }
}

bool StatPath(Roots& roots, const std::string& path, struct stat& st) {
  At at;
  if (path.empty() || !roots.Locate(path, at)) return false;
  return ::fstatat(at.dir(), at.name.c_str(), &st, at.noFollow()) == 0;
}

}  // namespace platform::posix

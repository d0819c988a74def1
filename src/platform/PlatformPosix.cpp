// POSIX implementation of the platform layer. Only what differs from Windows
// lives here: '/' and '-', readdir and stat, atomic copies, no-replace moves,
// xdg-open and the locale's codeset.
#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../Characters.h"
#include "KovrelVersion.h"
#include "Platform.h"
#include "VersionBlock.h"

namespace platform {

const char PathDelim = '/';
const char SwitchChar = '-';

namespace {

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Owns a directory stream.
class Dir {
 public:
  explicit Dir(DIR* d) : d_(d) {}
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
  ~Dir() {
    if (d_) ::closedir(d_);
  }
  DIR* get() const { return d_; }

 private:
  DIR* d_;
};

FileTime PackTm(const struct tm& tm) {
  return PackFileTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                      tm.tm_sec);
}

// Packs seconds since 1970-01-01 00:00 of local wall-clock time.
FileTime PackLocalSeconds(int64_t local) {
  int64_t days = local >= 0 ? local / 86400 : -((-local + 86399) / 86400);
  const int64_t secs = local - days * 86400;
  // Civil date from a day count (0000-03-01 based, proleptic Gregorian).
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const int year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
  return PackFileTime(year, month, day, static_cast<int>(secs / 3600),
                      static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
}

// Converts last-write times into local time for the entries of one listing.
// localtime_r costs more than the stat itself, and the files of a directory
// mostly share their days: a UTC day whose offset from UTC is the same at its
// start and its end is converted by arithmetic from its second file on.
class LocalTimes {
 public:
  FileTime Convert(time_t t) {
    const int64_t day = t >= 0 ? t / 86400 : -((-static_cast<int64_t>(t) + 86399) / 86400);
    Slot& slot = slots_[static_cast<uint64_t>(day) % kSlots];
    if (slot.day == day && slot.state == kUniform) return PackLocalSeconds(t + slot.offset);
    struct tm tm;
    if (!localtime_r(&t, &tm)) return 0;
    if (slot.day != day) {
      slot = {day, tm.tm_gmtoff, kSeenOnce};
    } else if (slot.state == kSeenOnce) {
      slot.state =
          SameOffset(day * 86400, slot.offset) && SameOffset(day * 86400 + 86399, slot.offset)
              ? kUniform
              : kMixed;
    }
    return PackTm(tm);
  }

 private:
  enum State { kSeenOnce, kUniform, kMixed };
  struct Slot {
    int64_t day = INT64_MIN;
    long offset = 0;
    State state = kSeenOnce;
  };
  static constexpr size_t kSlots = 64;

  static bool SameOffset(int64_t at, long offset) {
    const auto t = static_cast<time_t>(at);
    struct tm tm;
    return localtime_r(&t, &tm) && tm.tm_gmtoff == offset;
  }

  Slot slots_[kSlots];
};

// Fills `e` from a stat of a listed kind; false for kinds that are never
// listed (FIFOs, sockets, devices).
bool FillEntry(const struct stat& st, std::string_view name, DirEntry& e, LocalTimes& times) {
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return false;
  e.name.assign(name);
  e.attr = 0;
  if (S_ISDIR(st.st_mode)) e.attr |= faDirectory;
  if (S_ISREG(st.st_mode)) e.attr |= faArchive;
  if (!name.empty() && name[0] == '.') e.attr |= faHidden;
  if (!(st.st_mode & S_IWUSR)) e.attr |= faReadOnly;
  e.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  e.time = times.Convert(st.st_mtime);
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

// Lists one directory. A link is followed: a link to a regular file is listed
// as that file, a link to anything else is not listed. A directory whose type
// the listing gives (d_type) is not stat'ed: no caller uses the time or size
// of a directory. With `kindsOnly` the same holds for regular files; any other
// entry gets one fstatat relative to the open directory.
void ListDirectory(const std::string& dir, std::string_view pattern, uint32_t admit,
                   const std::function<void(const DirEntry&)>& fn, bool kindsOnly) {
  Dir d(::opendir(dir.empty() ? "." : dir.c_str()));
  if (!d.get()) return;
  const int dfd = ::dirfd(d.get());
  const bool all = pattern == "*.*" || pattern == "*";
  DirEntry e;
  struct stat st;
  LocalTimes times;
  while (const struct dirent* de = ::readdir(d.get())) {
    const std::string_view name = de->d_name;
    if (!all && !PatternMatches(pattern, name)) continue;
    if (de->d_type == DT_DIR || (kindsOnly && de->d_type == DT_REG)) {
      e.name.assign(name);
      e.attr = de->d_type == DT_DIR ? faDirectory : faArchive;
      if (name[0] == '.') e.attr |= faHidden;
      e.size = 0;
      e.time = 0;
    } else if (::fstatat(dfd, de->d_name, &st, 0) != 0) {
      // Gone meanwhile, or a link that leads nowhere: nothing to list.
      if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR || !(admit & faUnreadable)) {
        continue;
      }
      e.name.assign(name);
      e.attr = faUnreadable;
      e.size = 0;
      e.time = 0;
    } else {
      if (de->d_type == DT_LNK && !S_ISREG(st.st_mode)) continue;
      if (!FillEntry(st, name, e, times)) continue;
    }
    if (Admitted(e.attr, admit)) fn(e);
  }
}

bool StatPath(const std::string& path, struct stat& st) {
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// Copies `size` bytes (the size when the copy began; a file that grows
// meanwhile is newer than the time the copy gets and is copied again by the
// next run). copy_file_range lets the kernel, or the file system with a
// reflink, do the work; read/write is the fallback.
bool CopyContents(int in, int out, off_t size) {
  bool useRange = true;
  for (off_t left = size; left > 0;) {
    ssize_t n;
    if (useRange) {
      n = ::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
      if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL ||
                    errno == EPERM)) {
        useRange = false;
        continue;
      }
    } else {
      char buf[1 << 16];
      n = ::read(in, buf, static_cast<size_t>(std::min<off_t>(left, sizeof buf)));
      for (ssize_t done = 0; n > 0 && done < n;) {
        const ssize_t w = ::write(out, buf + done, static_cast<size_t>(n - done));
        if (w < 0 && errno != EINTR) return false;
        if (w > 0) done += w;
      }
    }
    if (n == 0) return true;  // the file shrank: what is there is copied
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    left -= n;
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

// A copy of `from`, with its permission bits and last-write time, written
// beside `to` before it takes the name `to`, so that a failed or interrupted
// copy never leaves a partial file under that name. Where the file system
// offers it the copy has no name at all until it is linked in place
// (O_TMPFILE): one directory operation instead of a create and a rename.
// Otherwise it is written under a temporary name. An unplaced copy is gone
// with the object.
class StagedCopy {
 public:
  StagedCopy(const std::string& from, const std::string& to) : to_(to) {
    Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (in.get() < 0 || ::fstat(in.get(), &st) != 0) return;
    if (!S_ISREG(st.st_mode)) {
      errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
      return;
    }
    if (!Create()) return;
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    written_ = CopyContents(in.get(), out_.get(), st.st_size) &&
               ::fchmod(out_.get(), st.st_mode & 07777) == 0 && ::futimens(out_.get(), times) == 0;
  }
  StagedCopy(const StagedCopy&) = delete;
  StagedCopy& operator=(const StagedCopy&) = delete;
  ~StagedCopy() {
    const ErrorKeeper keep;  // the caller tells why the copy failed
    if (!temp_.empty()) ::unlink(temp_.c_str());
  }

  bool Written() const { return written_; }

  // Gives the copy the name `to`. With `replace` an existing file of that
  // name is replaced in one step; without, an existing name makes it fail.
  bool Place(bool replace) {
    if (!written_) return false;
    if (temp_.empty()) {
      const std::string self = "/proc/self/fd/" + std::to_string(out_.get());
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, to_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return Close();
      }
      if (errno != EEXIST || !replace || !LinkUnderTemporaryName(self)) return false;
    }
    const bool placed = replace ? ::rename(temp_.c_str(), to_.c_str()) == 0
                                : ::link(temp_.c_str(), to_.c_str()) == 0;
    if (!placed) return false;
    if (replace) temp_.clear();
    return Close();
  }

 private:
  bool Create() {
    // The unnamed file is linked through /proc, so it is only used where
    // /proc is there.
    static const bool procFd = ::access("/proc/self/fd", X_OK) == 0;
    if (procFd) {
      out_.reset(::open(DirectoryOf(to_).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
      if (out_.get() >= 0) return true;
    }
    temp_ = DirectoryOf(to_) + ".kovrel-tmp-XXXXXX";
    out_.reset(::mkostemp(temp_.data(), O_CLOEXEC));
    if (out_.get() >= 0) return true;
    temp_.clear();
    return false;
  }

  // An unnamed copy that is to replace a file gets a temporary name first,
  // then is renamed over it.
  bool LinkUnderTemporaryName(const std::string& self) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = DirectoryOf(to_) + ".kovrel-tmp-" + std::to_string(::getpid()) + "-" +
                         std::to_string(attempt);
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        temp_ = std::move(name);
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  bool Close() { return ::close(out_.release()) == 0; }

  std::string to_;
  std::string temp_;  // the copy's temporary name, if it has one
  Fd out_;
  bool written_ = false;
};

bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
  // File systems without RENAME_NOREPLACE: a hard link fails on an existing
  // target, as the move must.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  return ::unlink(from.c_str()) == 0;
}

class PosixFileSystem : public FileSystem {
 public:
  void List(const std::string& pattern, uint32_t admit,
            const std::function<void(const DirEntry&)>& fn) override {
    ListPattern(pattern, admit, fn, false);
  }

  void ListKinds(const std::string& pattern, uint32_t admit,
                 const std::function<void(const DirEntry&)>& fn) override {
    ListPattern(pattern, admit, fn, true);
  }

  // A pattern with "*" or "?" in its last component lists its directory;
  // any other pattern is an exact-path lookup.
  void ListPattern(const std::string& pattern, uint32_t admit,
                   const std::function<void(const DirEntry&)>& fn, bool kindsOnly) {
    const size_t slash = pattern.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string() : pattern.substr(0, slash + 1);
    const std::string_view name = std::string_view(pattern).substr(dir.size());
    if (name.find_first_of("*?") != std::string_view::npos) {
      ListDirectory(dir, name, admit, fn, kindsOnly);
      return;
    }
    DirEntry e;
    if (Find(pattern, admit, e)) fn(e);
  }

  bool Find(const std::string& path, uint32_t admit, DirEntry& out) override {
    if (path.empty() || path.back() == '/') return false;  // a root has no entry
    struct stat st;
    if (!StatPath(path, st)) return false;
    const size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string::npos
                                      ? std::string_view(path)
                                      : std::string_view(path).substr(slash + 1);
    LocalTimes times;
    return FillEntry(st, name, out, times) && Admitted(out.attr, admit);
  }

  bool FileExists(const std::string& path) override {
    struct stat st;
    return StatPath(path, st) && S_ISREG(st.st_mode);
  }

  bool DirectoryExists(const std::string& path) override {
    struct stat st;
    return StatPath(path, st) && S_ISDIR(st.st_mode);
  }

  bool LastWriteTime(const std::string& path, FileTime& out) override {
    struct stat st;
    if (!StatPath(path, st) || !S_ISREG(st.st_mode)) return false;
    LocalTimes times;
    out = times.Convert(st.st_mtime);
    return true;
  }

  bool Identity(const std::string& path, FileId& out) override {
    struct stat st;
    if (!StatPath(path, st)) return false;
    out.volume = static_cast<uint64_t>(st.st_dev);
    out.index = static_cast<uint64_t>(st.st_ino);
    return true;
  }

  bool CreateDir(const std::string& path) override { return ::mkdir(path.c_str(), 0777) == 0; }
  bool RemoveDir(const std::string& path) override { return ::rmdir(path.c_str()) == 0; }
  bool DeleteFile(const std::string& path) override { return ::unlink(path.c_str()) == 0; }
  bool SetReadOnly(const std::string& path, bool readOnly) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    const mode_t mode = readOnly ? st.st_mode & ~S_IWUSR : st.st_mode | S_IWUSR;
    return ::chmod(path.c_str(), mode & 07777) == 0;
  }

  PathKind KindOf(const std::string& path) override {
    struct stat st;
    if (StatPath(path, st)) return S_ISDIR(st.st_mode) ? PathKind::Directory : PathKind::File;
    // A link that leads nowhere (dangling or a loop) is never listed, so it
    // names nothing either.
    if (path.empty() || errno == ENOENT || errno == ENOTDIR || errno == ELOOP) {
      return PathKind::Missing;
    }
    return PathKind::Unknown;
  }

  bool CopyFile(const std::string& from, const std::string& to, bool replace,
                const std::function<bool()>& beforePlace) override {
    StagedCopy copy(from, to);
    if (!copy.Written()) return false;
    if (beforePlace && !beforePlace()) return false;
    return copy.Place(replace);
  }

  bool MoveFile(const std::string& from, const std::string& to, bool replace) override {
    if (replace ? ::rename(from.c_str(), to.c_str()) == 0 : RenameNoReplace(from, to)) return true;
    if (errno != EXDEV) return false;
    // Across file systems: a whole copy takes its place first, then the
    // original is deleted.
    return StagedCopy(from, to).Place(replace) && ::unlink(from.c_str()) == 0;
  }

  void SaveLines(const std::string& path, const std::vector<std::string>& lines) override {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
      RaiseCreateError(path);
    }
    const std::string content = SavedText(lines);
    size_t done = 0;
    while (done < content.size()) {
      const ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) RaiseWriteError();
      done += static_cast<size_t>(n);
    }
  }
};

}  // namespace

FileSystem& RealFileSystem() {
  static PosixFileSystem fs;
  return fs;
}

void InitProcess() { std::setlocale(LC_ALL, ""); }

CharRule ActiveCharRule() {
  static const CharRule rule = CharRuleForCodeset(nl_langinfo(CODESET));
  return rule;
}

// Names are the locale's bytes, and so are option values and texts.
CharRule PathCharRule() { return ActiveCharRule(); }
std::string AnsiSpelling(std::string_view text) { return std::string(text); }
std::string FromAnsiSpelling(std::string_view ansi) { return std::string(ansi); }
std::string SavedText(const std::vector<std::string>& lines) { return LinesWithCrLf(lines); }

std::string ProgramText(std::string_view utf8) {
  if (ActiveCharRule() != CharRule::Cp932) return std::string(utf8);
  iconv_t cd = ::iconv_open("CP932", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(utf8);
  std::string out(utf8.size() * 2 + 4, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  char* o = out.data();
  size_t outLeft = out.size();
  ::iconv(cd, &in, &inLeft, &o, &outLeft);
  ::iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}

std::vector<std::string> CommandLineWords(int argc, char** argv) {
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '\0') words.emplace_back(argv[i]);
  }
  return words;
}

std::string ExecutablePath() {
  std::string path(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0) return {};
  path.resize(static_cast<size_t>(n));
  return path;
}

DateValue Now() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  localtime_r(&ts.tv_sec, &tm);
  const double seconds =
      tm.tm_hour * 3600.0 + tm.tm_min * 60.0 + tm.tm_sec + static_cast<double>(ts.tv_nsec) / 1e9;
  return static_cast<double>(DayNumber(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday)) +
         seconds / 86400.0;
}

bool DirectoryTakesNewFiles(const std::string& dir) {
  if (::access(dir.empty() ? "." : dir.c_str(), W_OK | X_OK) == 0) return true;
  return errno != EACCES && errno != EPERM && errno != EROFS;
}

namespace {

// $HOME, or the password database's home directory when it is not set.
std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return home;
  struct passwd pw;
  struct passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) != 0 || !found || !pw.pw_dir ||
      pw.pw_dir[0] != '/') {
    return {};
  }
  return pw.pw_dir;
}

}  // namespace

std::string UserStateDirectory() {
  // A relative or empty $XDG_STATE_HOME counts as not set.
  const char* state = std::getenv("XDG_STATE_HOME");
  std::string base = state && state[0] == '/' ? std::string(state) : HomeDirectory();
  if (base.empty()) return {};
  if (!(state && state[0] == '/')) base += "/.local/state";
  const std::string dir = base + "/kovrel/";
  // Every missing directory on the way is the user's alone.
  for (size_t slash = dir.find('/', 1); slash != std::string::npos;
       slash = dir.find('/', slash + 1)) {
    ::mkdir(dir.substr(0, slash).c_str(), 0700);
  }
  return dir;
}

namespace {

void WriteStderr(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

bool StatusLineWanted() {
  // A terminal that cannot clear a line (TERM=dumb) would keep every redraw.
  const char* term = std::getenv("TERM");
  return ::isatty(STDERR_FILENO) == 1 && !(term && std::strcmp(term, "dumb") == 0);
}

void ShowStatusLine(const std::string& text) {
  // Back to the line's start, the text, the rest of the old line cleared.
  WriteStderr("\r" + text + "\x1b[K");
}

void EraseStatusLine() { WriteStderr("\r\x1b[K"); }

void ShellOpen(const std::string& path) {
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((display && *display) || (wayland && *wayland)) {
    // Detached: the child starts xdg-open in a grandchild and exits at once,
    // so nothing waits for the viewer and no zombie is left.
    const pid_t child = ::fork();
    if (child == 0) {
      ::setsid();
      if (::fork() == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
          ::dup2(null, 0);
          ::dup2(null, 1);
          ::dup2(null, 2);
        }
        ::execlp("xdg-open", "xdg-open", path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
      }
      ::_exit(0);
    }
    if (child > 0) ::waitpid(child, nullptr, 0);
    return;
  }
  if (!::isatty(STDOUT_FILENO)) return;
  const char* pager = std::getenv("PAGER");
  const std::string command = std::string(pager && *pager ? pager : "less") + " \"$1\"";
  const pid_t child = ::fork();
  if (child == 0) {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), "sh", path.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (child > 0) ::waitpid(child, nullptr, 0);
}

void PumpMessages() {}

size_t RootLength(std::string_view path) {
  size_t n = 0;
  while (n < path.size() && path[n] == '/') ++n;
  return n;
}

ErrorKeeper::ErrorKeeper() : code_(static_cast<unsigned long>(errno)) {}
ErrorKeeper::~ErrorKeeper() { errno = static_cast<int>(code_); }

std::string LastErrorText() { return std::strerror(errno); }

void TellFailure(const std::string& text) { WriteStderr("kovrel: " + text + "\n"); }

namespace {

// flock on an open handle of the directory: the kernel drops it when the
// process ends, however it ends.
class FlockStageLock : public StageLock {
 public:
  explicit FlockStageLock(int fd) : fd_(fd) {}

 private:
  Fd fd_;
};

}  // namespace

std::unique_ptr<StageLock> LockStage(const std::string& dir) {
  for (;;) {
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) return nullptr;
    int locked;
    while ((locked = ::flock(fd.get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    // A file system without locks (some network shares) leaves the run
    // unlocked: better than no run at all.
    if (locked != 0 && (errno == ENOLCK || errno == EOPNOTSUPP || errno == EBADF)) {
      return std::make_unique<FlockStageLock>(fd.release());
    }
    if (locked != 0) return nullptr;
    // The run before may have removed the directory as empty, and another
    // run may have made it anew, while this one waited on the old one.
    struct stat held, now;
    if (::fstat(fd.get(), &held) != 0 || !StatPath(dir, now)) return nullptr;
    if (held.st_dev == now.st_dev && held.st_ino == now.st_ino) {
      return std::make_unique<FlockStageLock>(fd.release());
    }
  }
}

void ShowFatalError(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

// ---------------------------------------------------------------------------
// Version resource: the block compiled into the program, made from the build's
// values in the 16-bit VERSIONINFO layout, whose strings are bytes like the
// ones the Windows version library hands out.

namespace {

// Only the running program has a block; any other file has none, as a file
// without a version resource.
bool IsRunningExecutable(const std::string& path) {
  struct stat self, st;
  return StatPath(path, st) && ::stat("/proc/self/exe", &self) == 0 && st.st_dev == self.st_dev &&
         st.st_ino == self.st_ino;
}

std::vector<unsigned char> CompiledVersionBlock() {
  VersionBlockContents contents;
  ParseVersionNumbers(build::FileVersion, contents.fileVersion);
  char table[9];
  std::snprintf(table, sizeof table, "%04X%04X", unsigned{build::TranslationLanguage},
                unsigned{build::TranslationCodePage});
  // The values are shown in the locale's encoding, as Windows shows them in
  // the ANSI code page.
  contents.tables.push_back({table,
                             {{"FileVersion", ProgramText(build::FileVersion)},
                              {"ProductName", ProgramText(build::ProductName)},
                              {"ProductVersion", ProgramText(build::ProductVersion)}}});
  contents.translations.push_back(uint32_t{build::TranslationLanguage} |
                                  (uint32_t{build::TranslationCodePage} << 16));
  return BuildVersionBlock(contents);
}

}  // namespace

uint32_t VersionInfoSize(const std::string& path) {
  if (!IsRunningExecutable(path)) return 0;
  return static_cast<uint32_t>(CompiledVersionBlock().size());
}

bool VersionInfo(const std::string& path, std::vector<unsigned char>& block) {
  block.clear();
  if (!IsRunningExecutable(path)) return false;
  block = CompiledVersionBlock();
  return !block.empty();
}

bool VersionQuery(const std::vector<unsigned char>& block, const std::string& subBlock,
                  const void*& value, uint32_t& len) {
  return QueryVersionBlock(block, subBlock, value, len);
}

}  // namespace platform

// POSIX implementation of the platform layer's process services: '/' and
// '-', the locale's codeset, the state directory, the status line, xdg-open,
// the run lock and the version block. The file system lives in
// PosixFileSystem.cpp and PosixListing.cpp.
#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/resource.h>
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
#include "PosixFiles.h"
#include "VersionBlock.h"

namespace platform {

const char PathDelim = '/';
const char SwitchChar = '-';

using posix::Fd;

void InitProcess() { std::setlocale(LC_ALL, ""); }

CharRule ActiveCharRule() {
  static const CharRule rule = CharRuleForCodeset(nl_langinfo(CODESET));
  return rule;
}

// Names are the locale's bytes, and so are option values and texts.
CharRule PathCharRule() { return ActiveCharRule(); }
std::string AnsiSpelling(std::string_view text) { return std::string(text); }
bool IsWalkedDirName(std::string_view name) { return name != "." && name != ".." && !name.empty(); }
std::string ShownPath(std::string_view path) { return EscapeControlBytes(path, PathCharRule()); }
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

bool DirectoryTakesNewFiles(const std::string& dir) {
  if (::access(dir.empty() ? "." : dir.c_str(), W_OK | X_OK) == 0) return true;
  return errno != EACCES && errno != EPERM && errno != EROFS;
}

bool InstalledProgramDirectory(const std::string& dir) {
  // The system's own places: what the package manager or `make install`
  // put there, as root, is no place for a user's reports.
  for (const std::string_view prefix : {"/usr", "/bin", "/sbin", "/lib", "/opt"}) {
    if (IsAtOrBelow(dir, prefix)) return true;
  }
  return false;
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

std::string DirSpelling(std::string_view path) { return CollapsedPath(path); }

ErrorKeeper::ErrorKeeper() : code_(static_cast<unsigned long>(errno)) {}
ErrorKeeper::~ErrorKeeper() { errno = static_cast<int>(code_); }

std::string LastErrorText() {
  if (static_cast<unsigned long>(errno) == kChangedWhileCopied)
    return "changed while it was copied";
  if (static_cast<unsigned long>(errno) == kNameRefused) return "the stage refuses this name";
  return std::strerror(errno);
}
unsigned long LastErrorCode() { return static_cast<unsigned long>(errno); }
void SetLastErrorCode(unsigned long code) { errno = static_cast<int>(code); }

size_t OpenFileLimit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return static_cast<size_t>(limit.rlim_cur);
}

void TellFailure(const std::string& text) { WriteStderr("kovrel: " + text + "\n"); }

void TellNotice(const std::string& text) { WriteStderr("kovrel: " + text + "\n"); }

const char RunLockName[] = ".kovrel-lock";
bool IsRunLockName(std::string_view name) { return name == RunLockName; }

namespace {

// flock on an open handle of the lock file: the kernel drops it when the
// process ends, however it ends. One without a handle holds nothing.
class FlockStageLock : public StageLock {
 public:
  explicit FlockStageLock(int fd = -1) : fd_(fd) {}

 private:
  Fd fd_;
};

// Whether the open lock file is one that only who may write stage 1 can
// hold: a regular file that nobody but its owner may open. The run makes
// it so; one made otherwise was made by someone who may write stage 1,
// since only they can make a name there, and is refused when it lets
// anyone else open it, unless they may write the directory `dir` as well:
// a file system that keeps no bits (exFAT, FAT) shows one mask for all,
// and lets everyone it lets open the file write the stage too.
bool PrivateLockFile(int dir, int fd) {
  struct stat st, in;
  if (::fstat(fd, &st) != 0 || ::fstat(dir, &in) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  if ((st.st_mode & 077) == 0) return true;
  // The runner's own is made private again; where the stage keeps no bits
  // (all files show the mount's), nothing there can be private, and it is
  // taken as it is.
  if (st.st_uid == ::geteuid()) {
    ::fchmod(fd, 0600);
    return true;
  }
  const bool groupWrites = (in.st_mode & 030) == 030 && in.st_gid == st.st_gid;
  const bool othersWrite = (in.st_mode & 03) == 03;
  if (((st.st_mode & 070) && !groupWrites) || ((st.st_mode & 07) && !othersWrite)) {
    errno = EPERM;
    return false;
  }
  return true;
}

// Tries the lock first; calls `waiting` only before it waits for it.
int TakeLock(int fd, const std::function<void()>& waiting) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
  if (errno != EWOULDBLOCK) return -1;
  if (waiting) waiting();
  int locked;
  while ((locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  return locked;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

std::unique_ptr<StageLock> LockStage(const std::string& dir, bool make,
                                     const std::function<void()>& waiting) {
  for (;;) {
    const Fd at(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (at.get() < 0) return nullptr;
    // Never through a link, and never waiting on a fifo planted there. A
    // run opens it for writing: where flock is made of byte-range locks (on
    // NFS), an exclusive one needs that.
    const int flags = (make ? O_RDWR | O_CREAT : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    Fd fd(::openat(at.get(), RunLockName, flags, 0600));
    if (fd.get() < 0 || !PrivateLockFile(at.get(), fd.get())) {
      if (!make) return std::make_unique<FlockStageLock>();
      return nullptr;
    }
    if (TakeLock(fd.get(), waiting) != 0) {
      // A file system without locks (some network shares) leaves the run
      // unlocked: better than no run at all.
      if (errno == ENOLCK || errno == EOPNOTSUPP || errno == EBADF) {
        return std::make_unique<FlockStageLock>();
      }
      return nullptr;
    }
    // The run before may have removed the directory as empty, with its lock
    // file, and another run may have made them anew, while this one waited
    // on the old ones.
    struct stat heldDir, nowDir, held, now;
    if (::fstat(at.get(), &heldDir) != 0 || ::fstat(fd.get(), &held) != 0) return nullptr;
    // Looked up as the open above looked it up.
    if (::stat(dir.c_str(), &nowDir) != 0) return nullptr;
    if (!SameFile(heldDir, nowDir)) continue;
    if (::fstatat(at.get(), RunLockName, &now, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      return nullptr;
    }
    if (SameFile(held, now)) return std::make_unique<FlockStageLock>(fd.release());
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
  return ::stat(path.c_str(), &st) == 0 && ::stat("/proc/self/exe", &self) == 0 &&
         st.st_dev == self.st_dev && st.st_ino == self.st_ino;
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

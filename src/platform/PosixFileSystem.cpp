// The POSIX file system: atomic copies, no-replace moves, lookups by stat.
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <ctime>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Platform.h"
#include "PosixFiles.h"

namespace platform {

using posix::Admitted;
using posix::At;
using posix::CopyKeptAttributes;
using posix::Fd;
using posix::FillEntry;
using posix::ListDirectory;
using posix::Roots;
using posix::StatPath;
using posix::Ways;

namespace {

// Makes something under a temporary name of its own in a directory (`make`
// makes it under the name given, false when that name is taken or it
// fails): the name, or empty with errno set.
std::string MakeTemporary(const std::function<bool(const char*)>& make) {
  // A number of its own for every name the process makes: a batch keeps
  // many copies staged in one directory at once, and each try costs a lookup.
  static std::atomic<uint64_t> next{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = StagingName(static_cast<uint64_t>(::getpid()) << 32 | (next++ & 0xFFFFFFFF));
    if (make(name.c_str())) return name;
    if (errno != EEXIST) return std::string();
  }
  return std::string();
}

// Gives the entry `from` the name `to` (both in directories by handle),
// failing with EEXIST where `to` exists, by the way the stage has:
// renameat2's flag; a hard link, which fails on an existing name, leaving
// `from` for the caller to remove; or, where it has neither, a look and a
// rename, safe because only the run that holds the stage's lock writes
// there. Where no probe told the ways, each is tried in turn. `linked` is
// set when `from` is left as a second name.
bool NameNoReplace(const Ways& ways, int fromDir, const char* from, int toDir, const char* to,
                   bool& linked) {
  linked = false;
  if (ways.renameFlags) {
    if (::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
  }
  if (ways.links) {
    if (::linkat(fromDir, from, toDir, to, 0) == 0) {
      linked = true;
      return true;
    }
    // A directory is never linked: it takes the third way.
    struct stat self;
    const bool dir = errno == EPERM && ::fstatat(fromDir, from, &self, AT_SYMLINK_NOFOLLOW) == 0 &&
                     S_ISDIR(self.st_mode);
    if (!dir && (ways.found || (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS))) {
      if (errno == 0) errno = EPERM;
      return false;
    }
  }
  struct stat st;
  if (::fstatat(toDir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return false;
  }
  if (errno != ENOENT) return false;
  return ::renameat(fromDir, from, toDir, to) == 0;
}

// How many times the data of a file that changes while it is copied is
// copied in all before the copy gives up.
constexpr int kCopyTries = 4;
// How many ticks of the clock a copy waits, in all, for a change stamped in
// the tick still running to be over.
constexpr int kMostWaits = 16;

int64_t Nanos(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The tick of the clock that stamps the changes of files.
int64_t StampTick() {
  static const int64_t tick = [] {
    struct timespec res = {0, 4000000};
    ::clock_getres(CLOCK_REALTIME_COARSE, &res);
    return std::max<int64_t>(Nanos(res), 1);
  }();
  return tick;
}

// The time of the clock that stamps the changes of files, read before a
// look at a file.
struct timespec StampNow() {
  struct timespec now = {0, 0};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return now;
}

// Whether a look `st` taken after `now` can be compared with a later one:
// not when its last change is stamped within the tick still running, as a
// change after the look could get the same stamp and no later look would
// tell it. Once that tick is over, every change shows.
bool Settled(const struct stat& st, const struct timespec& now) {
  const int64_t changed = Nanos(st.st_ctim);
  return changed < Nanos(now) || changed >= Nanos(now) + StampTick();
}

void WaitOneTick() {
  const struct timespec tick = {0, static_cast<long>(std::min<int64_t>(StampTick(), 999999999))};
  ::nanosleep(&tick, nullptr);
}

// Whether two looks at one file see the same data: the same size, and no
// write or change between them.
bool Unchanged(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && Nanos(a.st_mtim) == Nanos(b.st_mtim) &&
         Nanos(a.st_ctim) == Nanos(b.st_ctim);
}

// Opens the source of a copy for reading without following a link where
// none is followed, without waiting for a fifo or device put in the place
// of a file since it was looked at, and without a terminal put there
// becoming the controlling terminal of a process that has none (cron's).
int OpenSource(const At& at) {
  return ::openat(at.dir(), at.name.c_str(),
                  O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (at.links ? O_NOFOLLOW : 0));
}

// True when `fd`, opened by OpenSource, is a regular file, which is then
// read as any other; false, with errno set, for anything else.
bool ReadableFile(int fd, struct stat& st) {
  if (::fstat(fd, &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  // OpenSource sets no other flag that F_SETFL changes.
  return ::fcntl(fd, F_SETFL, 0) == 0;
}

// A copy of `from`, with its permission bits and last-write time, written
// beside `to` before it takes the name `to`, so that a failed or interrupted
// copy never leaves a partial file under that name. A symbolic link is copied
// as a link with the same target text and time; a fifo or device is made
// again, never opened. Where the file system offers it the copy has no name
// at all until it is linked in place (O_TMPFILE): one directory operation
// instead of a create and a rename. Otherwise it is written under a
// temporary name. An unplaced copy is gone with the object.
class StagedCopy {
 public:
  StagedCopy(Roots& roots, const std::string& from, const std::string& to, const Ways& ways)
      : ways_(ways) {
    At source;
    struct stat st;
    if (!roots.Locate(from, source) || !roots.LocateInParent(to, to_) ||
        ::fstatat(source.dir(), source.name.c_str(), &st, source.noFollow()) != 0) {
      return;
    }
    if (S_ISLNK(st.st_mode)) {
      written_ = CopyLink(source);
    } else if (posix::SpecialKind(st.st_mode)) {
      written_ = MakeSpecial(st);
    } else if (S_ISREG(st.st_mode)) {
      written_ = CopyRegular(source);
    } else {
      errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    }
  }
  StagedCopy(const StagedCopy&) = delete;
  StagedCopy& operator=(const StagedCopy&) = delete;
  ~StagedCopy() {
    const ErrorKeeper keep;  // the caller tells why the copy failed
    Discard();
  }

  bool Written() const { return written_; }
  // The bytes the copy holds.
  uint64_t Size() const { return size_; }
  // The file system the copy is on.
  dev_t Device() const { return device_; }
  // The kKeeps* kinds that the source has and the stage refused.
  uint32_t Unkept() const { return unkept_; }
  // The copy's open file; none for a link, fifo or device, which go to disk
  // with their names.
  int Descriptor() const { return out_.get(); }
  // Puts the copy's bytes on disk: before it is named, its name could reach
  // the disk without them.
  bool Flush() { return out_.get() < 0 || ::fdatasync(out_.get()) == 0; }
  // Puts the directory the copy was placed in on disk, with its new name.
  bool FlushDirectory() {
    const Fd dir(::openat(to_.dir(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.get() >= 0 && ::fsync(dir.get()) == 0;
  }

  // Gives the copy the name `to`. With `replace` an existing file of that
  // name is replaced in one step; without, an existing name makes it fail.
  bool Place(bool replace) {
    if (!written_) return false;
    if (temp_.empty()) {
      const std::string self = "/proc/self/fd/" + std::to_string(out_.get());
      if (::linkat(AT_FDCWD, self.c_str(), to_.dir(), to_.name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return Close();
      }
      if (errno != EEXIST || !replace || !TakeTemporaryName([&](const char* name) {
            return ::linkat(AT_FDCWD, self.c_str(), to_.dir(), name, AT_SYMLINK_FOLLOW) == 0;
          })) {
        return false;
      }
    }
    if (replace) {
      if (::renameat(to_.dir(), temp_.c_str(), to_.dir(), to_.name.c_str()) != 0) {
        return RefusedName();
      }
    } else {
      // A temporary name left as a second name goes with the object.
      bool linked = false;
      if (!NameNoReplace(ways_, to_.dir(), temp_.c_str(), to_.dir(), to_.name.c_str(), linked)) {
        return RefusedName();
      }
      if (linked) return Close();
    }
    temp_.clear();
    return Close();
  }

  // After the naming failed: the copy is there under its temporary name in
  // a directory that is there, so ENOENT or EINVAL can only be the stage
  // refusing the name itself. False either way.
  bool RefusedName() {
    if (errno == ENOENT || errno == EINVAL) SetLastErrorCode(kNameRefused);
    return false;
  }

 private:
  bool Create() {
    // The unnamed file is linked through /proc, so it is only used where
    // /proc is there.
    static const bool procFd = ::access("/proc/self/fd", X_OK) == 0;
    if (procFd && ways_.tmpfile) {
      out_.reset(::openat(to_.dir(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
      if (out_.get() >= 0) return true;
    }
    return TakeTemporaryName([&](const char* name) {
      out_.reset(::openat(to_.dir(), name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
      return out_.get() >= 0;
    });
  }

  // Drops what has been written so far: it is never named.
  void Discard() {
    if (!temp_.empty()) ::unlinkat(to_.dir(), temp_.c_str(), 0);
    temp_.clear();
    out_.reset(-1);
  }

  // The source was a regular file when it was looked at; what the open
  // handle shows now is what is copied. A link put in its place is copied
  // as a link and a fifo or device as one, without being read.
  bool CopyRegular(const At& source) {
    const struct timespec now = StampNow();
    Fd in(OpenSource(source));
    if (in.get() < 0) return errno == ELOOP && source.links && CopyLink(source);
    struct stat st = {};
    if (!ReadableFile(in.get(), st)) {
      return posix::SpecialKind(st.st_mode) && MakeSpecial(st);
    }
    return CopyUnchanged(in.get(), st, now);
  }

  // Copies the data of the open file `in` and what it keeps besides, and
  // keeps the copy only when a look after it sees what the look `st` (taken
  // after `now`) saw; a copy that raced a change is thrown away and made
  // again. The copy carries the times of the look its bytes match. Waiting
  // for a change's tick to pass costs no try.
  bool CopyUnchanged(int in, struct stat st, struct timespec now) {
    int waits = 0;
    for (int tries = 0; tries < kCopyTries;) {
      if (!Settled(st, now)) {
        if (++waits > kMostWaits) break;
        WaitOneTick();
      } else {
        const Outcome outcome = CopyOnce(in, st);
        if (outcome != Outcome::kChanged) return outcome == Outcome::kCopied;
        ++tries;
      }
      now = StampNow();
      if (::fstat(in, &st) != 0 || ::lseek(in, 0, SEEK_SET) != 0) return false;
    }
    SetLastErrorCode(kChangedWhileCopied);
    return false;
  }

  enum class Outcome { kCopied, kChanged, kFailed };

  // One try of CopyUnchanged: a copy that is kept, one thrown away because
  // `in` changed meanwhile, or a failure with errno set.
  Outcome CopyOnce(int in, const struct stat& st) {
    // What the new file is, asked before its data changes it: a share
    // answers from what the create returned.
    struct stat made, after;
    if (!Create() || ::fstat(out_.get(), &made) != 0) return Outcome::kFailed;
    device_ = made.st_dev;
    if (!posix::CopyData(in, out_.get(), st) ||
        !CopyKeptAttributes(in, out_.get(), st, &made, ways_, unkept_) ||
        ::fstat(in, &after) != 0) {
      return Outcome::kFailed;
    }
    if (!Unchanged(st, after)) {
      Discard();
      return Outcome::kChanged;
    }
    size_ = static_cast<uint64_t>(st.st_size);
    return Outcome::kCopied;
  }

  // A link is made anew with the same target text under a temporary name,
  // given the link's own time and, where the process may, its owner.
  bool CopyLink(const At& source) {
    struct stat st;
    if (::fstatat(source.dir(), source.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    std::string target(std::max<size_t>(static_cast<size_t>(st.st_size), PATH_MAX) + 1, '\0');
    const ssize_t n = ::readlinkat(source.dir(), source.name.c_str(), target.data(), target.size());
    if (n < 0) return false;
    target.resize(static_cast<size_t>(n));
    if (!TakeTemporaryName(
            [&](const char* name) { return ::symlinkat(target.c_str(), to_.dir(), name) == 0; })) {
      return false;
    }
    GiveTemporaryOwner(st);
    size_ = target.size();
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    return ::utimensat(to_.dir(), temp_.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
  }

  // A fifo or device is made anew under a temporary name, with the owner
  // where the process may, then the permission bits (a change of owner
  // clears the set-id bits), then the times of `st`. A device needs the
  // right to make one; a fifo does not.
  bool MakeSpecial(const struct stat& st) {
    const dev_t device = S_ISFIFO(st.st_mode) ? 0 : st.st_rdev;
    if (!TakeTemporaryName([&](const char* name) {
          if (::mknodat(to_.dir(), name, (st.st_mode & S_IFMT) | 0600, device) == 0) return true;
          // exfat-fuse refuses with EIO and leaves a plain file.
          const ErrorKeeper keep;
          if (errno != EEXIST) ::unlinkat(to_.dir(), name, 0);
          return false;
        })) {
      return false;
    }
    GiveTemporaryOwner(st);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    return ::fchmodat(to_.dir(), temp_.c_str(), st.st_mode & 07777, 0) == 0 &&
           ::utimensat(to_.dir(), temp_.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
  }

  // The owner and group of `st` for what the temporary name names, or the
  // group alone should the process not give the owner. A stage that cannot
  // hold owners is no failure.
  void GiveTemporaryOwner(const struct stat& st) {
    if (!ways_.owners) return;
    const char* name = temp_.c_str();
    if (::fchownat(to_.dir(), name, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0) {
      ::fchownat(to_.dir(), name, static_cast<uid_t>(-1), st.st_gid, AT_SYMLINK_NOFOLLOW);
    }
    errno = 0;
  }

  // Makes the copy under a temporary name of its own beside the target; an
  // unnamed copy that is to replace a file gets one first, then is renamed
  // over it.
  bool TakeTemporaryName(const std::function<bool(const char*)>& make) {
    temp_ = MakeTemporary(make);
    return !temp_.empty();
  }

  bool Close() { return out_.get() < 0 || ::close(out_.release()) == 0; }

  const Ways ways_;   // of the stage the copy is made in
  At to_;             // the directory the copy is made in, and its name there
  std::string temp_;  // the copy's temporary name, if it has one
  Fd out_;
  dev_t device_ = 0;
  uint64_t size_ = 0;
  uint32_t unkept_ = 0;
  bool written_ = false;
};

// A staged copy between StageCopy and PlaceStaged.
class PosixStagedFile : public StagedFile {
 public:
  PosixStagedFile(const std::string& from, const std::string& to,
                  std::unique_ptr<StagedCopy> written)
      : StagedFile(from, to, written->Size()), copy(std::move(written)) {}
  std::unique_ptr<StagedCopy> copy;
};

// Syncs the file system that `fd` is on, once per device: the error of its
// first sync, 0 when it succeeded.
class FileSystemSyncs {
 public:
  int Sync(int fd, dev_t device) {
    for (const auto& [dev, error] : done_) {
      if (dev == device) return error;
    }
    const int error = ::syncfs(fd) == 0 ? 0 : errno;
    done_.emplace_back(device, error);
    return error;
  }

 private:
  std::vector<std::pair<dev_t, int>> done_;
};

// Linux tells the writeback errors of a file system through syncfs since
// 5.8; before, syncfs succeeds whatever was lost.
bool SyncfsTellsWritebackErrors() {
  static const bool tells = [] {
    struct utsname u;
    int major = 0;
    int minor = 0;
    return ::uname(&u) == 0 && std::sscanf(u.release, "%d.%d", &major, &minor) == 2 &&
           (major > 5 || (major == 5 && minor >= 8));
  }();
  return tells;
}

// Every kind that a listing names as a file: all but directories and sockets.
bool ListedFile(mode_t mode) {
  return S_ISREG(mode) || S_ISLNK(mode) || posix::SpecialKind(mode) != 0;
}

// Whether the process may make device nodes: it has CAP_MKNOD, and in the
// first user namespace, where alone that right reaches devices.
bool MayMakeDevices() {
  static const bool may = [] {
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, caps) != 0) return ::geteuid() == 0;
    if (!(caps[CAP_TO_INDEX(CAP_MKNOD)].effective & CAP_TO_MASK(CAP_MKNOD))) return false;
    // The first namespace maps every user id onto itself.
    std::FILE* map = std::fopen("/proc/self/uid_map", "re");
    if (!map) return true;
    unsigned long inside = 1, outside = 1, count = 0;
    const bool whole = std::fscanf(map, "%lu %lu %lu", &inside, &outside, &count) == 3 &&
                       inside == 0 && outside == 0 && count == 4294967295UL;
    std::fclose(map);
    return whole;
  }();
  return may;
}

bool RenameNoReplace(const Ways& ways, const At& from, const At& to) {
  bool linked = false;
  if (!NameNoReplace(ways, from.dir(), from.name.c_str(), to.dir(), to.name.c_str(), linked)) {
    return false;
  }
  return !linked || ::unlinkat(from.dir(), from.name.c_str(), 0) == 0;
}

class PosixFileSystem : public FileSystem {
 public:
  void SetRoots(const std::vector<std::string>& dirs) override {
    roots_.Set(dirs);
    ways_.SetRoots(dirs, MayMakeDevices());
  }

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
      ListDirectory(roots_, dir, name, admit, fn, kindsOnly);
      return;
    }
    DirEntry e;
    if (Find(pattern, admit, e)) fn(e);
  }

  bool Find(const std::string& path, uint32_t admit, DirEntry& out) override {
    if (path.empty() || path.back() == '/') return false;  // a root has no entry
    struct stat st;
    if (!StatPath(roots_, path, st)) return false;
    const size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string::npos
                                      ? std::string_view(path)
                                      : std::string_view(path).substr(slash + 1);
    return FillEntry(st, name, out) && Admitted(out.attr, admit);
  }

  bool FileExists(const std::string& path) override {
    struct stat st;
    return StatPath(roots_, path, st) && ListedFile(st.st_mode);
  }

  bool DirectoryExists(const std::string& path) override {
    struct stat st;
    return StatPath(roots_, path, st) && S_ISDIR(st.st_mode);
  }

  bool LastWriteTime(const std::string& path, FileTime& out) override {
    struct stat st;
    if (!StatPath(roots_, path, st) || !ListedFile(st.st_mode)) return false;
    out = TimeFromSeconds(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    return true;
  }
  FileTime TypeClock(const std::string& dir) override { return posix::TypeClock(dir); }
  FileTime ProbeClock(const std::string& dir) override { return posix::ProbeClock(roots_, dir); }
  std::optional<bool> FoldsCase(const std::string& dir, bool mayWrite) override {
    return posix::FoldsCase(roots_, dir, mayWrite);
  }
  uint32_t StageKeeps(const std::string& dir) override {
    const Ways ways = ways_.For(dir);
    return ways.found ? posix::KeptKinds(ways) : kKeepsAll;
  }
  uint32_t Unkept(const std::string& dir) override { return ways_.RefusedIn(dir); }

  bool Identity(const std::string& path, FileId& out) override {
    struct stat st;
    if (!StatPath(roots_, path, st)) return false;
    out.volume = static_cast<uint64_t>(st.st_dev);
    out.index = static_cast<uint64_t>(st.st_ino);
    return true;
  }

  bool CreateDir(const std::string& path) override {
    At at;
    return roots_.Locate(path, at) && ::mkdirat(at.dir(), at.name.c_str(), 0777) == 0;
  }
  bool RemoveDir(const std::string& path) override {
    At at;
    if (!roots_.Locate(path, at) || ::unlinkat(at.dir(), at.name.c_str(), AT_REMOVEDIR) != 0)
      return false;
    roots_.Forget(path);
    return true;
  }
  bool DeleteFile(const std::string& path) override {
    At at;
    return roots_.Locate(path, at) && ::unlinkat(at.dir(), at.name.c_str(), 0) == 0;
  }
  bool SetReadOnly(const std::string& path, bool readOnly) override {
    At at;
    struct stat st;
    if (!roots_.Locate(path, at) || ::fstatat(at.dir(), at.name.c_str(), &st, at.noFollow()) != 0) {
      return false;
    }
    const mode_t mode = readOnly ? st.st_mode & ~S_IWUSR : st.st_mode | S_IWUSR;
    // A link has no bits of its own: that fails rather than change its target.
    return ::fchmodat(at.dir(), at.name.c_str(), mode & 07777, at.noFollow()) == 0;
  }

  PathKind KindOf(const std::string& path) override {
    struct stat st;
    if (StatPath(roots_, path, st))
      return S_ISDIR(st.st_mode) ? PathKind::Directory : PathKind::File;
    // Outside the roots a link that leads nowhere (dangling or a loop) is
    // never listed, so it names nothing either; below them a path through a
    // link leads nowhere.
    if (path.empty() || errno == ENOENT || errno == ENOTDIR || errno == ELOOP) {
      return PathKind::Missing;
    }
    return PathKind::Unknown;
  }

  bool CopyFile(const std::string& from, const std::string& to, bool replace,
                const std::function<bool()>& beforePlace) override {
    StagedCopy copy(roots_, from, to, ways_.For(to));
    ways_.Refused(to, copy.Unkept());
    if (!copy.Written() || !copy.Flush()) return false;
    if (beforePlace && !beforePlace()) return false;
    return copy.Place(replace);
  }

  bool MoveFile(const std::string& from, const std::string& to, bool replace) override {
    At source;
    At target;
    if (!roots_.Locate(from, source) || !roots_.Locate(to, target)) return false;
    if (replace
            ? ::renameat(source.dir(), source.name.c_str(), target.dir(), target.name.c_str()) == 0
            : RenameNoReplace(ways_.For(to), source, target)) {
      return true;
    }
    if (errno != EXDEV) return false;
    // Across file systems: a whole copy takes its place first, then the
    // original is deleted.
    // The copy is on disk before its name, and its name before the original
    // goes, so that a power cut leaves one of the two.
    StagedCopy copy(roots_, from, to, ways_.For(to));
    ways_.Refused(to, copy.Unkept());
    return copy.Written() && copy.Flush() && copy.Place(replace) && copy.FlushDirectory() &&
           ::unlinkat(source.dir(), source.name.c_str(), 0) == 0;
  }

  bool KeepDirAttributes(const std::string& from, const std::string& to, bool withOwner) override {
    return posix::KeepDirAttributes(roots_, from, to, withOwner);
  }
  bool MatchDirectory(const std::string& from, const std::string& to, FileTime clock) override {
    return posix::MatchDirectory(roots_, from, to, ways_.For(to).bits, clock);
  }
  // Only a regular file is read: a fifo or device is never opened.
  bool ReadStart(const std::string& path, size_t size, std::string& out) override {
    At at;
    struct stat st;
    out.clear();
    if (!roots_.Locate(path, at) || ::fstatat(at.dir(), at.name.c_str(), &st, at.noFollow()) != 0) {
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
      return false;
    }
    const Fd fd(OpenSource(at));
    if (fd.get() < 0 || !ReadableFile(fd.get(), st)) return false;
    out.resize(size);
    const ssize_t n = ::read(fd.get(), out.data(), size);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return n >= 0;
  }

  // Without AT_SYMLINK_FOLLOW linkat links a link itself: nothing is
  // followed. A replaced name is linked beside it first, then renamed over it.
  bool LinkFile(const std::string& existing, const std::string& to, bool replace) override {
    At source;
    At target;
    if (!roots_.Locate(existing, source) || !roots_.LocateInParent(to, target)) return false;
    const auto linkAs = [&](const char* name) {
      return ::linkat(source.dir(), source.name.c_str(), target.dir(), name, 0) == 0;
    };
    if (linkAs(target.name.c_str())) return true;
    if (errno != EEXIST || !replace) return false;
    const std::string temp = MakeTemporary(linkAs);
    if (temp.empty()) return false;
    const bool renamed =
        ::renameat(target.dir(), temp.c_str(), target.dir(), target.name.c_str()) == 0;
    // A rename onto another name of the same file leaves both names.
    const ErrorKeeper keep;
    ::unlinkat(target.dir(), temp.c_str(), 0);
    return renamed;
  }

  bool MakesDevices() override { return MayMakeDevices(); }

  std::unique_ptr<StagedFile> StageCopy(const std::string& from, const std::string& to) override {
    auto copy = std::make_unique<StagedCopy>(roots_, from, to, ways_.For(to));
    ways_.Refused(to, copy->Unkept());
    if (!copy->Written()) return nullptr;
    return std::make_unique<PosixStagedFile>(from, to, std::move(copy));
  }

  // One syncfs per file system writes the batch's data in one go, so that no
  // copy waits for the disk on its own. It is called on the batch's first
  // copy there, and so reports every writeback error of the file system since
  // that copy was opened, which covers the batch. Only when it fails (or
  // cannot tell) does each copy's fdatasync collect the copy's own error,
  // which the kernel reports once: a fdatasync per copy would cost a flush
  // of the device's cache each.
  void FlushStaged(const std::vector<StagedFile*>& files) override {
    FileSystemSyncs syncs;
    for (StagedFile* file : files) {
      // Every staged file reaching here was made by StageCopy above; the
      // layers in between only pass it on.
      auto& staged = static_cast<PosixStagedFile&>(*file);
      const int fd = staged.copy->Descriptor();
      if (fd < 0) {  // a link: nothing but its name to write
        staged.flushed = true;
        continue;
      }
      int error = syncs.Sync(fd, staged.copy->Device());
      if (error != 0 || !SyncfsTellsWritebackErrors()) {
        error = staged.copy->Flush() ? 0 : errno;
      }
      staged.flushed = error == 0;
      if (error != 0) {
        errno = error;
        staged.flushFailure = LastErrorText();
      }
    }
  }

  bool PlaceStaged(StagedFile& file, bool replace) override {
    if (!file.flushed) {
      errno = EIO;
      return false;
    }
    return static_cast<PosixStagedFile&>(file).copy->Place(replace);
  }

  std::vector<std::string> FlushAll(const std::vector<std::string>& dirs) override {
    FileSystemSyncs syncs;
    std::vector<std::string> failures(dirs.size());
    for (size_t i = 0; i < dirs.size(); ++i) {
      const Fd fd(::open(dirs[i].c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      // A stage that was never made holds nothing to flush.
      if (fd.get() < 0 && errno == ENOENT) continue;
      struct stat st;
      const int error =
          fd.get() < 0 || ::fstat(fd.get(), &st) != 0 ? errno : syncs.Sync(fd.get(), st.st_dev);
      if (error == 0) continue;
      errno = error;
      failures[i] = LastErrorText();
    }
    return failures;
  }

  void SaveLines(const std::string& path, const std::vector<std::string>& lines) override {
    At at;
    Fd fd(roots_.Locate(path, at)
              ? ::openat(at.dir(), at.name.c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666)
              : -1);
    if (fd.get() < 0) {
      RaiseCreateError(path);
    }
    WriteLines(fd.get(), lines);
  }

  bool SaveNewLines(const std::string& path, const std::vector<std::string>& lines) override {
    At at;
    // O_EXCL never follows a link, dangling or not: the name itself is taken.
    Fd fd(roots_.Locate(path, at)
              ? ::openat(at.dir(), at.name.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666)
              : -1);
    if (fd.get() < 0) {
      struct stat st;
      if (errno == EEXIST && ::fstatat(at.dir(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          !S_ISDIR(st.st_mode)) {
        return false;
      }
      RaiseCreateError(path);
    }
    WriteLines(fd.get(), lines);
    return true;
  }

 private:
  Roots roots_;
  posix::StageWays ways_{roots_};

  static void WriteLines(int fd, const std::vector<std::string>& lines) {
    const std::string content = SavedText(lines);
    size_t done = 0;
    while (done < content.size()) {
      const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
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

}  // namespace platform

// The POSIX file system: atomic copies, no-replace moves, lookups by stat.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>

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
using posix::CopyData;
using posix::CopyKeptAttributes;
using posix::Fd;
using posix::FillEntry;
using posix::ListDirectory;
using posix::LocalTimes;
using posix::Locate;
using posix::StatPath;

namespace {

// A copy of `from`, with its permission bits and last-write time, written
// beside `to` before it takes the name `to`, so that a failed or interrupted
// copy never leaves a partial file under that name. A symbolic link is copied
// as a link with the same target text and time. Where the file system
// offers it the copy has no name at all until it is linked in place
// (O_TMPFILE): one directory operation instead of a create and a rename.
// Otherwise it is written under a temporary name. An unplaced copy is gone
// with the object.
class StagedCopy {
 public:
  StagedCopy(const std::string& from, const std::string& to) {
    At source;
    if (!Locate(from, source) || !posix::LocateInParent(to, to_)) return;
    Fd in(::openat(source.dir(), source.name.c_str(),
                   O_RDONLY | O_CLOEXEC | (source.links ? O_NOFOLLOW : 0)));
    if (in.get() < 0 && errno == ELOOP && source.links) {
      written_ = CopyLink(source);
      return;
    }
    struct stat st;
    if (in.get() < 0 || ::fstat(in.get(), &st) != 0) return;
    if (!S_ISREG(st.st_mode)) {
      errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
      return;
    }
    // What the new file is, asked before its data changes it: a share
    // answers from what the create returned.
    struct stat made;
    if (!Create() || ::fstat(out_.get(), &made) != 0) return;
    device_ = made.st_dev;
    written_ =
        CopyData(in.get(), out_.get(), st) && CopyKeptAttributes(in.get(), out_.get(), st, &made);
  }
  StagedCopy(const StagedCopy&) = delete;
  StagedCopy& operator=(const StagedCopy&) = delete;
  ~StagedCopy() {
    const ErrorKeeper keep;  // the caller tells why the copy failed
    if (!temp_.empty()) ::unlinkat(to_.dir(), temp_.c_str(), 0);
  }

  bool Written() const { return written_; }
  // The file system the copy is on.
  dev_t Device() const { return device_; }
  // The copy's open file; none for a link, whose target text goes to disk
  // with its name.
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
      if (::renameat(to_.dir(), temp_.c_str(), to_.dir(), to_.name.c_str()) != 0) return false;
    } else if (::renameat2(to_.dir(), temp_.c_str(), to_.dir(), to_.name.c_str(),
                           RENAME_NOREPLACE) != 0) {
      // Without RENAME_NOREPLACE a hard link fails on a name that is there,
      // as the copy must; the temporary name goes with the object. One
      // directory operation more, which on a share is a round trip.
      if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
      return ::linkat(to_.dir(), temp_.c_str(), to_.dir(), to_.name.c_str(), 0) == 0 && Close();
    }
    temp_.clear();
    return Close();
  }

 private:
  bool Create() {
    // The unnamed file is linked through /proc, so it is only used where
    // /proc is there.
    static const bool procFd = ::access("/proc/self/fd", X_OK) == 0;
    if (procFd) {
      out_.reset(::openat(to_.dir(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
      if (out_.get() >= 0) return true;
    }
    return TakeTemporaryName([&](const char* name) {
      out_.reset(::openat(to_.dir(), name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
      return out_.get() >= 0;
    });
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
    // A stage that cannot hold owners is no failure.
    if (::fchownat(to_.dir(), temp_.c_str(), st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0) {
      errno = 0;
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    return ::utimensat(to_.dir(), temp_.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
  }

  // Makes the copy under a temporary name of its own beside the target
  // (`make` makes it under the name given, false when that name is taken or
  // it fails); an unnamed copy that is to replace a file gets one first,
  // then is renamed over it.
  bool TakeTemporaryName(const std::function<bool(const char*)>& make) {
    // A number of its own for every copy of the process: a batch keeps many
    // copies staged in one directory at once, and each try costs a lookup.
    static std::atomic<uint64_t> next{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = ".kovrel-tmp-" + std::to_string(::getpid()) + "-" + std::to_string(next++);
      if (make(name.c_str())) {
        temp_ = std::move(name);
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  bool Close() { return out_.get() < 0 || ::close(out_.release()) == 0; }

  At to_;             // the directory the copy is made in, and its name there
  std::string temp_;  // the copy's temporary name, if it has one
  Fd out_;
  dev_t device_ = 0;
  bool written_ = false;
};

// A staged copy between StageCopy and PlaceStaged.
class PosixStagedFile : public StagedFile {
 public:
  PosixStagedFile(const std::string& from, const std::string& to, uint64_t size)
      : StagedFile(from, to, size), copy(from, to) {}
  StagedCopy copy;
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

bool RenameNoReplace(const At& from, const At& to) {
  if (::renameat2(from.dir(), from.name.c_str(), to.dir(), to.name.c_str(), RENAME_NOREPLACE) ==
      0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
  // File systems without RENAME_NOREPLACE: a hard link fails on an existing
  // target, as the move must.
  if (::linkat(from.dir(), from.name.c_str(), to.dir(), to.name.c_str(), 0) != 0) return false;
  return ::unlinkat(from.dir(), from.name.c_str(), 0) == 0;
}

class PosixFileSystem : public FileSystem {
 public:
  void SetRoots(const std::vector<std::string>& dirs) override { posix::SetRoots(dirs); }

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
    return StatPath(path, st) && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode));
  }

  bool DirectoryExists(const std::string& path) override {
    struct stat st;
    return StatPath(path, st) && S_ISDIR(st.st_mode);
  }

  bool LastWriteTime(const std::string& path, FileTime& out) override {
    struct stat st;
    if (!StatPath(path, st) || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) return false;
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

  bool CreateDir(const std::string& path) override {
    At at;
    return Locate(path, at) && ::mkdirat(at.dir(), at.name.c_str(), 0777) == 0;
  }
  bool RemoveDir(const std::string& path) override {
    At at;
    if (!Locate(path, at) || ::unlinkat(at.dir(), at.name.c_str(), AT_REMOVEDIR) != 0) return false;
    posix::Forget(path);
    return true;
  }
  bool DeleteFile(const std::string& path) override {
    At at;
    return Locate(path, at) && ::unlinkat(at.dir(), at.name.c_str(), 0) == 0;
  }
  bool SetReadOnly(const std::string& path, bool readOnly) override {
    At at;
    struct stat st;
    if (!Locate(path, at) || ::fstatat(at.dir(), at.name.c_str(), &st, at.noFollow()) != 0) {
      return false;
    }
    const mode_t mode = readOnly ? st.st_mode & ~S_IWUSR : st.st_mode | S_IWUSR;
    // A link has no bits of its own: that fails rather than change its target.
    return ::fchmodat(at.dir(), at.name.c_str(), mode & 07777, at.noFollow()) == 0;
  }

  PathKind KindOf(const std::string& path) override {
    struct stat st;
    if (StatPath(path, st)) return S_ISDIR(st.st_mode) ? PathKind::Directory : PathKind::File;
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
    StagedCopy copy(from, to);
    if (!copy.Written() || !copy.Flush()) return false;
    if (beforePlace && !beforePlace()) return false;
    return copy.Place(replace);
  }

  bool MoveFile(const std::string& from, const std::string& to, bool replace) override {
    At source;
    At target;
    if (!Locate(from, source) || !Locate(to, target)) return false;
    if (replace
            ? ::renameat(source.dir(), source.name.c_str(), target.dir(), target.name.c_str()) == 0
            : RenameNoReplace(source, target)) {
      return true;
    }
    if (errno != EXDEV) return false;
    // Across file systems: a whole copy takes its place first, then the
    // original is deleted.
    // The copy is on disk before its name, and its name before the original
    // goes, so that a power cut leaves one of the two.
    StagedCopy copy(from, to);
    return copy.Written() && copy.Flush() && copy.Place(replace) && copy.FlushDirectory() &&
           ::unlinkat(source.dir(), source.name.c_str(), 0) == 0;
  }

  bool KeepDirAttributes(const std::string& from, const std::string& to, bool withOwner) override {
    return posix::KeepDirAttributes(from, to, withOwner);
  }
  bool MatchDirectory(const std::string& from, const std::string& to) override {
    return posix::MatchDirectory(from, to);
  }
  bool ReadStart(const std::string& path, size_t size, std::string& out) override {
    At at;
    const Fd fd(Locate(path, at)
                    ? ::openat(at.dir(), at.name.c_str(),
                               O_RDONLY | O_CLOEXEC | O_NONBLOCK | (at.links ? O_NOFOLLOW : 0))
                    : -1);
    out.resize(size);
    const ssize_t n = fd.get() < 0 ? -1 : ::read(fd.get(), out.data(), size);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return n >= 0;
  }

  std::unique_ptr<StagedFile> StageCopy(const std::string& from, const std::string& to) override {
    struct stat st;
    if (!StatPath(from, st)) return nullptr;
    auto staged = std::make_unique<PosixStagedFile>(from, to, static_cast<uint64_t>(st.st_size));
    if (!staged->copy.Written()) return nullptr;
    return staged;
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
      const int fd = staged.copy.Descriptor();
      if (fd < 0) {  // a link: nothing but its name to write
        staged.flushed = true;
        continue;
      }
      int error = syncs.Sync(fd, staged.copy.Device());
      if (error != 0 || !SyncfsTellsWritebackErrors()) {
        error = staged.copy.Flush() ? 0 : errno;
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
    return static_cast<PosixStagedFile&>(file).copy.Place(replace);
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
    Fd fd(Locate(path, at)
              ? ::openat(at.dir(), at.name.c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (at.links ? O_NOFOLLOW : 0),
                         0666)
              : -1);
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

}  // namespace platform

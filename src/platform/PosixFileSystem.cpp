// The POSIX file system: atomic copies, no-replace moves, lookups by stat.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
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
using posix::Fd;
using posix::FillEntry;
using posix::ListDirectory;
using posix::LocalTimes;
using posix::StatPath;

namespace {

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
  int Descriptor() const { return out_.get(); }
  // Puts the copy's bytes on disk: before it is named, its name could reach
  // the disk without them.
  bool Flush() { return ::fdatasync(out_.get()) == 0; }

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
  int Sync(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return errno;
    for (const auto& [dev, error] : done_) {
      if (dev == st.st_dev) return error;
    }
    const int error = ::syncfs(fd) == 0 ? 0 : errno;
    done_.emplace_back(st.st_dev, error);
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

// The directory that `path` names is on disk once the entries made in it are.
bool FlushDirectoryOf(const std::string& path) {
  const Fd dir(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir.get() >= 0 && ::fsync(dir.get()) == 0;
}

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
    if (!copy.Written() || !copy.Flush()) return false;
    if (beforePlace && !beforePlace()) return false;
    return copy.Place(replace);
  }

  bool MoveFile(const std::string& from, const std::string& to, bool replace) override {
    if (replace ? ::rename(from.c_str(), to.c_str()) == 0 : RenameNoReplace(from, to)) return true;
    if (errno != EXDEV) return false;
    // Across file systems: a whole copy takes its place first, then the
    // original is deleted. The copy is on disk before its name, and its name
    // before the original goes, so that a power cut leaves one of the two.
    StagedCopy copy(from, to);
    return copy.Written() && copy.Flush() && copy.Place(replace) && FlushDirectoryOf(to) &&
           ::unlink(from.c_str()) == 0;
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
      int error = syncs.Sync(fd);
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
      const int error = fd.get() < 0 ? errno : syncs.Sync(fd.get());
      if (error == 0) continue;
      errno = error;
      failures[i] = LastErrorText();
    }
    return failures;
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

}  // namespace platform

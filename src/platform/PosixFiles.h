// What the POSIX files of the platform layer share: owned handles, the
// entries of a listing, the reaching of paths and what a copy keeps.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform.h"
#include "ThreadSafety.h"

namespace platform::posix {

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

class Roots;

// What the type of a file system (its statfs magic number) tells of it: its
// clock (see ClockOfProbe), 0 where the type does not tell (FUSE, a share,
// an overlay), and whether it folds the case of names.
enum class TypeFolds { NotTold, No, Yes, PerDirectory };
struct FsType {
  FileTime clock = 0;
  TypeFolds folds = TypeFolds::NotTold;
};
FsType FsTypeOf(uint64_t magic);

// The top directory of a stage as the probes use it: new files there under
// staging names of their own, which they remove again (a stopped run's are
// cleared as leftovers), and the directory's times kept as they were.
class ProbeDir {
 public:
  ProbeDir(Roots& roots, const std::string& dir);
  ~ProbeDir();
  ProbeDir(const ProbeDir&) = delete;
  ProbeDir& operator=(const ProbeDir&) = delete;
  // The directory's handle; -1 where it cannot be opened.
  int get() const { return fd_.get(); }
  // A new empty file under a staging name numbered from `base`, `step`
  // apart (each probe has numbers of its own, beyond those a run's copies
  // take): its handle, and its number in `unique`; -1, with errno set, where
  // none can be made.
  int MakeFile(uint32_t base, uint32_t step, uint64_t& unique);

 private:
  Fd fd_;
  struct stat before_ = {};
  bool made_ = false;
};

// FileSystem::TypeClock and FileSystem::ProbeClock.
FileTime TypeClock(const std::string& dir);
FileTime ProbeClock(Roots& roots, const std::string& dir);
// FileSystem::FoldsCase.
std::optional<bool> FoldsCase(Roots& roots, const std::string& dir, bool mayWrite);

// What the file system of a stage does and keeps, as a probe in its top
// directory found it. Where nothing was found (no probe could be made, a
// path below no stage) every way is tried in turn, as before any probe.
struct Ways {
  bool found = false;
  bool renameFlags = true;  // renameat2(RENAME_NOREPLACE)
  bool links = true;        // hard links
  bool tmpfile = true;      // O_TMPFILE, linked in through /proc
  bool owners = true;       // owners given by one who may (probed as root only)
  bool bits = true;         // permission bits as set
  bool xattrs = true;       // user extended attributes
  bool acls = true;         // POSIX ACLs
  bool fifos = true;
  bool devices = true;  // where the process may make them
};
// Probes the existing directory `dir` with staging names, which it removes
// again (a stopped run's are cleared as leftovers); its times stay.
Ways ProbeWays(Roots& roots, const std::string& dir, bool mayMakeDevices);
// The kKeeps* kinds of `ways`.
uint32_t KeptKinds(const Ways& ways);

// The ways of the stages of one run, each probed once when first needed,
// and the kinds that copies into each have met refused. Shared by the
// threads that call the file system.
class StageWays {
 public:
  // Probes reach the stages through `roots`.
  explicit StageWays(Roots& roots) : roots_(roots) {}
  // The directories a run was given; none when it ends.
  void SetRoots(const std::vector<std::string>& dirs, bool mayMakeDevices) EXCLUDES(mutex_);
  // The ways of the stage that `path` lies in (probed now when not yet).
  Ways For(const std::string& path) EXCLUDES(mutex_);
  // Notes kKeeps* kinds that a copy to `path` met refused.
  void Refused(const std::string& path, uint32_t kinds) EXCLUDES(mutex_);
  uint32_t RefusedIn(const std::string& dir) EXCLUDES(mutex_);

 private:
  struct Stage {
    std::string root;  // ending with '/'
    bool probed = false;
    Ways ways;
    uint32_t refused = 0;
  };
  Stage* StageOf(std::string_view path) REQUIRES(mutex_);

  Roots& roots_;
  Mutex mutex_;
  std::vector<Stage> stages_ GUARDED_BY(mutex_);
  bool mayMakeDevices_ GUARDED_BY(mutex_) = false;
};

// faFifo, faCharDevice or faBlockDevice for a mode of that kind; 0 otherwise.
uint32_t SpecialKind(mode_t mode);
// Fills `e` from a stat of a listed kind; false for a socket, never listed.
bool FillEntry(const struct stat& st, std::string_view name, DirEntry& e);
// True when no attribute of `attr` that a listing can filter is left out by `admit`.
bool Admitted(uint32_t attr, uint32_t admit);

// Where a path is reached for the *at calls. Below one of the roots that
// Roots::Set named, `handle` is the parent directory, reached without
// following a link, and `name` the last name, which the calls must not
// follow either. Elsewhere (a root itself included) `handle` is null and
// `name` the whole path, looked up as it always was.
struct At {
  std::shared_ptr<Fd> handle;
  std::string name;
  bool root = false;   // `name` is one of the roots itself
  bool links = false;  // below a root: `name` is not followed either
  int dir() const { return handle ? handle->get() : AT_FDCWD; }
  // The flag of the stat-like calls: a link below a root is described,
  // not followed.
  int noFollow() const { return links ? AT_SYMLINK_NOFOLLOW : 0; }
};

// The directories a run was given, and the handles of the directories below
// them that the last path reached went through: each path below them is
// reached one name at a time from a held handle, so that no link is followed.
// Shared by the threads that call the file system; a handle handed out stays
// open for its holder however the chains change.
class Roots {
 public:
  // The directories a run was given; none when it ends.
  void Set(const std::vector<std::string>& dirs) EXCLUDES(mutex_);
  // False, with errno set, when a directory on the way is missing, is a
  // link, or cannot be opened.
  bool Locate(const std::string& path, At& at) EXCLUDES(mutex_);
  // Locate, with a handle of the parent directory also outside the roots
  // (reached there as a path always was), for calls that make names beside
  // `path`.
  bool LocateInParent(const std::string& path, At& at) EXCLUDES(mutex_);
  // Opens the directory `dir` for reading; `links` is set when its entries
  // lie below a root, where links are listed as links.
  int OpenDirectory(const std::string& dir, bool& links) EXCLUDES(mutex_);
  // Drops the handles of a directory that was removed, and of those below it.
  void Forget(const std::string& path) EXCLUDES(mutex_);

 private:
  // One directory the user named, and the handles of the directories below
  // it that the last path reached went through.
  struct Chain {
    std::string root;  // as the user named it, ending with '/'
    std::shared_ptr<Fd> top;
    std::vector<std::string> names;
    std::vector<std::shared_ptr<Fd>> handles;

    void Drop(size_t depth);
  };
  Chain* ChainOf(std::string_view path, bool& isRoot) REQUIRES(mutex_);
  std::shared_ptr<Fd> DirectoryHandle(Chain& c, std::string_view rel) REQUIRES(mutex_);

  Mutex mutex_;
  std::vector<Chain> chains_ GUARDED_BY(mutex_);
  size_t heldLevels_ GUARDED_BY(mutex_) = 0;
};

// Lists the entries of `dir` whose names match `pattern` ("*.*" for all).
void ListDirectory(Roots& roots, const std::string& dir, std::string_view pattern, uint32_t admit,
                   const std::function<void(const DirEntry&)>& fn, bool kindsOnly);
// Looks `path` up as Roots::Locate reaches it: no link followed below a root.
bool StatPath(Roots& roots, const std::string& path, struct stat& st);

// Copies `size` bytes from the file positions of `in` to those of `out`.
bool CopyContents(int in, int out, off_t size);
// Copies the bytes of the regular file `in` (stat'ed as `st`) into the empty
// file `out`: only its data where it has holes, which stay holes; all of it
// where the file system tells none.
bool CopyData(int in, int out, const struct stat& st);
// Gives `out` what the copy of `in` keeps besides its bytes: owner and group
// where the process may, the permission bits, the extended attributes and
// ACLs the target's file system takes, and the times of `st`, in that order.
// `made`, when given, is what `out` was when it was made: an owner it has
// already is not given again. What `ways` says the target does not keep is
// not asked for; what it refuses (EPERM, ENOTSUP, EOPNOTSUPP) and `in` has
// is added to `unkept` as kKeeps* kinds, and is no failure.
bool CopyKeptAttributes(int in, int out, const struct stat& st, const struct stat* made,
                        const Ways& ways, uint32_t& unkept);
// FileSystem::KeepDirAttributes and FileSystem::MatchDirectory; the bits
// of a stage that keeps none are neither compared nor set.
bool KeepDirAttributes(Roots& roots, const std::string& from, const std::string& to,
                       bool withOwner);
bool MatchDirectory(Roots& roots, const std::string& from, const std::string& to, bool keepsBits,
                    FileTime clock);

}  // namespace platform::posix

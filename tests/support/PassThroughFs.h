// A pass-through FUSE file system over a backing directory (libfuse 3, low
// level), its operations one by one, so that a file system built on it
// wraps only those it changes: bench/LatencyFs makes calls wait,
// tests/support/ModelStageFs refuses what a stage cannot do.
#pragma once

#define FUSE_USE_VERSION 312
#include <fuse3/fuse_lowlevel.h>
#include <sys/stat.h>

#include <string>

namespace passthrough {

// The kinds of call; those up to kLastRoundTrip are metadata round trips.
enum Kind {
  kLookup,
  kGetattr,
  kSetattr,
  kChmod,
  kChown,
  kTruncate,
  kUtimens,
  kReadlink,
  kMknod,
  kMkdir,
  kUnlink,
  kRmdir,
  kSymlink,
  kRename,
  kLink,
  kOpen,
  kCreate,
  kOpendir,
  kReaddir,
  kReaddirplus,
  kStatfs,
  kAccess,
  kFsync,
  kFsyncdir,
  kSetxattr,
  kGetxattr,
  kListxattr,
  kRemovexattr,
  kLastRoundTrip = kRemovexattr,
  kRead,
  kWrite,
  kFlush,
  kRelease,
  kReleasedir,
  kForget,
  kKinds
};
extern const char* const kKindNames[kKinds];

struct Config {
  // How long the kernel may keep names and attributes, in seconds.
  double timeout = 0;
  // Directories are listed with their entries' attributes (readdirplus).
  bool plus = false;
  // Told of every call; `part` for each change a setattr makes.
  void (*call)(Kind kind, bool part) = nullptr;
  // What the file system shows of an entry, from what the backing holds.
  void (*shown)(struct stat& st) = nullptr;
};

// Once, before the file system serves: `backing` becomes its root.
bool Configure(const Config& config, const std::string& backing);

// The backing path of an inode, and of a name in a directory inode.
std::string Path(fuse_ino_t ino);
std::string Child(fuse_ino_t parent, const char* name);

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name);
void Setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int valid, fuse_file_info* fi);
void Mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t rdev);
void Mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode);
void Symlink(fuse_req_t req, const char* link, fuse_ino_t parent, const char* name);
void Link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t parent, const char* name);
void Unlink(fuse_req_t req, fuse_ino_t parent, const char* name);
void Rmdir(fuse_req_t req, fuse_ino_t parent, const char* name);
void Rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newparent,
            const char* newname, unsigned int flags);
void Create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi);
void Setxattr(fuse_req_t req, fuse_ino_t ino, const char* name, const char* value, size_t size,
              int flags);

// The command line: the options that `option` takes, then BACKING and
// MOUNTPOINT into `paths`; false, with `usage` told, otherwise.
bool ReadCommandLine(int argc, char** argv, bool (*option)(const std::string& arg),
                     const char* usage, std::string paths[2]);

// Every operation of the pass-through.
fuse_lowlevel_ops Operations();

// Mounts `ops` at `mountpoint` under the name `fsname` and serves with up to
// `threads` threads until it is unmounted or signalled; the exit status.
int Serve(const fuse_lowlevel_ops& ops, const char* program, const std::string& fsname,
          const std::string& mountpoint, unsigned threads);

}  // namespace passthrough

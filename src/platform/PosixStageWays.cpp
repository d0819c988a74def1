// What the file system of each stage does and keeps, found once per run by
// a probe in the stage's top directory: how a copy is named without
// replacing, and which of what a copy carries it refuses.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "PosixFiles.h"

namespace platform::posix {

namespace {

// An error that says the file system has no such operation, rather than
// that this call was refused.
bool Unsupported(int error) {
  return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP ||
         error == EPERM || error == EIO;
}

// The access ACL of a file of mode 0640 (the xattr form: a version, then
// user, group and other entries).
std::string MinimalAcl() {
  const auto le16 = [](std::string& s, unsigned v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8 & 0xFF);
  };
  std::string acl;
  le16(acl, 2);
  le16(acl, 0);
  for (const auto& [tag, perm] : {std::pair{0x01u, 6u}, {0x04u, 4u}, {0x20u, 0u}}) {
    le16(acl, tag);
    le16(acl, perm);
    le16(acl, 0xFFFF);  // no id
    le16(acl, 0xFFFF);
  }
  return acl;
}

// What the probe file `fd` keeps of its bits, owner, attributes and ACL.
void ProbeAttributes(int fd, Ways& ways) {
  struct stat st;
  ways.bits = ::fchmod(fd, 0640) == 0 && ::fstat(fd, &st) == 0 && (st.st_mode & 07777) == 0640;
  // Only a process that may give any owner can tell a file system that
  // keeps none.
  // ntfs-3g takes a new owner without a word and keeps none.
  if (::geteuid() == 0) {
    ways.owners =
        ::fchown(fd, 1, 1) == 0 ? ::fstat(fd, &st) != 0 || st.st_uid == 1 : !Unsupported(errno);
  }
  if (::fsetxattr(fd, "user.kovrel-probe", "1", 1, 0) != 0 && Unsupported(errno)) {
    ways.xattrs = false;
  }
  const std::string acl = MinimalAcl();
  if (::fsetxattr(fd, "system.posix_acl_access", acl.data(), acl.size(), 0) != 0 &&
      Unsupported(errno)) {
    ways.acls = false;
  }
}

// Whether the directory `dir` takes a node of `mode` (a fifo or a device).
// A file system may leave a plain file behind when it refuses: the name
// goes either way.
bool TakesNode(int dir, const std::string& name, mode_t mode, dev_t device) {
  const bool made = ::mknodat(dir, name.c_str(), mode | 0600, device) == 0;
  ::unlinkat(dir, name.c_str(), 0);
  return made;
}

// Probes the directory `dir` with the new file `fd`, named for `unique`,
// and names of its own after that number.
void ProbeIn(int dir, Fd& fd, uint64_t unique, bool mayMakeDevices, Ways& ways) {
  std::string name = StagingName(unique);
  ProbeAttributes(fd.get(), ways);
  fd.reset(-1);
  const std::string other = StagingName(unique + 1);
  if (::renameat2(dir, name.c_str(), dir, other.c_str(), RENAME_NOREPLACE) == 0) {
    name = other;
  } else if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
    ways.renameFlags = false;
  }
  if (::linkat(dir, name.c_str(), dir, StagingName(unique + 2).c_str(), 0) == 0) {
    ::unlinkat(dir, StagingName(unique + 2).c_str(), 0);
  } else if (Unsupported(errno) || errno == EMLINK) {
    ways.links = false;
  }
  ::unlinkat(dir, name.c_str(), 0);
  // The unnamed file is linked through /proc, so it is only used where
  // /proc is there.
  fd.reset(::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  ways.tmpfile = fd.get() >= 0 && ::access("/proc/self/fd", X_OK) == 0;
  fd.reset(-1);
  ways.fifos = TakesNode(dir, StagingName(unique + 3), S_IFIFO, 0);
  ways.devices = mayMakeDevices && TakesNode(dir, StagingName(unique + 4), S_IFCHR, makedev(1, 3));
  ways.found = true;
}

}  // namespace

Ways ProbeWays(Roots& roots, const std::string& dir, bool mayMakeDevices) {
  Ways ways;
  ProbeDir in(roots, dir);
  uint64_t unique = 0;
  // Eight numbers to each attempt, for the names after the first.
  Fd fd(in.MakeFile(0xCA950000u, 8, unique));
  // Where no file can be made, the probe tells nothing.
  if (fd.get() >= 0) ProbeIn(in.get(), fd, unique, mayMakeDevices, ways);
  return ways;
}

uint32_t KeptKinds(const Ways& ways) {
  uint32_t kinds = 0;
  const std::pair<bool, uint32_t> each[] = {
      {ways.owners, kKeepsOwners},   {ways.bits, kKeepsBits},   {ways.xattrs, kKeepsXattrs},
      {ways.acls, kKeepsAcls},       {ways.links, kKeepsLinks}, {ways.fifos, kKeepsFifos},
      {ways.devices, kKeepsDevices},
  };
  for (const auto& [kept, kind] : each) {
    if (kept) kinds |= kind;
  }
  return kinds;
}

void StageWays::SetRoots(const std::vector<std::string>& dirs, bool mayMakeDevices) {
  const MutexLock lock(mutex_);
  stages_.clear();
  mayMakeDevices_ = mayMakeDevices;
  for (const std::string& dir : dirs) {
    if (dir.empty()) continue;
    Stage stage;
    stage.root = dir.back() == '/' ? dir : dir + "/";
    stages_.push_back(std::move(stage));
  }
}

StageWays::Stage* StageWays::StageOf(std::string_view path) {
  Stage* best = nullptr;
  for (Stage& s : stages_) {
    const std::string_view root = s.root;
    const bool at = path == root || path == root.substr(0, root.size() - 1);
    if ((at || path.starts_with(root)) && (!best || s.root.size() > best->root.size())) best = &s;
  }
  return best;
}

Ways StageWays::For(const std::string& path) {
  const MutexLock lock(mutex_);
  Stage* stage = StageOf(path);
  if (!stage) return Ways();
  if (!stage->probed) {
    // Other threads wait for the one probe rather than each making its own.
    stage->ways = ProbeWays(roots_, stage->root, mayMakeDevices_);
    stage->probed = true;
  }
  return stage->ways;
}

void StageWays::Refused(const std::string& path, uint32_t kinds) {
  if (kinds == 0) return;
  const MutexLock lock(mutex_);
  if (Stage* stage = StageOf(path)) stage->refused |= kinds;
}

uint32_t StageWays::RefusedIn(const std::string& dir) {
  const MutexLock lock(mutex_);
  const Stage* stage = StageOf(dir);
  return stage ? stage->refused : 0;
}

}  // namespace platform::posix

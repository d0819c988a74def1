// What a POSIX copy keeps besides its name: the bytes with their holes, the
// owner and group, the permission bits, extended attributes and ACLs, and
// the times; and the same for the directories a run makes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>

#include "PosixFiles.h"

namespace platform::posix {

namespace {

// A file system that keeps no extended attributes at all.
bool NoAttributes(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

// The attributes a copy takes: the user's own, the ACLs, and as root the
// ones only root may read or set (labels, capabilities, trusted data).
bool Kept(std::string_view name) {
  if (name.starts_with("user.") || name.starts_with("system.posix_acl_")) return true;
  static const bool root = ::geteuid() == 0;
  return root && (name.starts_with("security.") || name.starts_with("trusted."));
}

// The value of one attribute of `fd`; false when it is gone meanwhile.
bool ReadAttribute(int fd, const char* name, std::string& value) {
  for (;;) {
    const ssize_t size = ::fgetxattr(fd, name, nullptr, 0);
    if (size < 0) return false;
    value.resize(static_cast<size_t>(size));
    const ssize_t n = ::fgetxattr(fd, name, value.data(), value.size());
    if (n >= 0) {
      value.resize(static_cast<size_t>(n));
      return true;
    }
    if (errno != ERANGE) return false;  // grew meanwhile: ask again
  }
}

// The names of the attributes of `fd`, each ended by NUL.
bool ListAttributes(int fd, std::string& names) {
  for (;;) {
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size < 0) return NoAttributes(errno);
    names.resize(static_cast<size_t>(size));
    if (size == 0) return true;
    const ssize_t n = ::flistxattr(fd, names.data(), names.size());
    if (n >= 0) {
      names.resize(static_cast<size_t>(n));
      return true;
    }
    if (errno != ERANGE) return false;
  }
}

// An ACL, rather than an extended attribute of another kind.
bool IsAcl(std::string_view name) { return name.starts_with("system.posix_acl_"); }

// An error by which a file system refuses what it does not keep.
bool Refused(int error) { return error == EPERM || NoAttributes(error); }

// Copies the kept attributes. Where the target's file system takes none, or
// refuses one that only root may set or a label it does not know, it goes
// without, as `cp -a` does. What `ways` says the target keeps none of is
// not set; each kind the target lacks and `in` has goes into `unkept`.
bool CopyAttributes(int in, int out, const Ways& ways, uint32_t& unkept) {
  std::string names;
  if (!ListAttributes(in, names)) return false;
  std::string value;
  for (size_t at = 0; at < names.size();) {
    const char* name = names.c_str() + at;
    const std::string_view view(name);
    at += view.size() + 1;
    if (!Kept(view)) continue;
    const uint32_t kind = IsAcl(view) ? kKeepsAcls : kKeepsXattrs;
    if (!(IsAcl(view) ? ways.acls : ways.xattrs)) {
      unkept |= kind;
      continue;
    }
    if (!ReadAttribute(in, name, value)) continue;
    if (::fsetxattr(out, name, value.data(), value.size(), 0) == 0) continue;
    const bool user = view.starts_with("user.") || IsAcl(view);
    if (NoAttributes(errno) || (user && errno == EPERM)) {
      unkept |= kind;
      continue;
    }
    if (errno != EPERM && errno != EACCES && errno != EINVAL) return false;
  }
  return true;
}

// Gives the owner and group of `st` where the process may: both as root, or
// with CAP_CHOWN; otherwise the group, should the user belong to it. A file
// system that holds no owners refuses, which is no failure.
void GiveOwner(int fd, const struct stat& st, const struct stat* made = nullptr) {
  // On a share each change is a round trip.
  if (made && made->st_uid == st.st_uid && made->st_gid == st.st_gid) return;
  const auto keepUid = static_cast<uid_t>(-1);
  const uid_t uid = st.st_uid == ::geteuid() ? keepUid : st.st_uid;
  if (::fchown(fd, uid, st.st_gid) == 0 || uid == keepUid) return;
  ::fchown(fd, keepUid, st.st_gid);
}

}  // namespace

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

bool CopyData(int in, int out, const struct stat& st) {
  // Only a file with fewer blocks than its size needs can have holes.
  if (st.st_blocks * 512 >= st.st_size) return CopyContents(in, out, st.st_size);
  for (off_t at = 0; at < st.st_size;) {
    const off_t data = ::lseek(in, at, SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // a hole up to the end
    if (data < 0 && at == 0 && (errno == EINVAL || NoAttributes(errno))) {
      // The file system tells no holes: all of it.
      return ::lseek(in, 0, SEEK_SET) == 0 && CopyContents(in, out, st.st_size);
    }
    if (data < 0) return false;
    if (data >= st.st_size) break;
    const off_t hole = std::min(::lseek(in, data, SEEK_HOLE), st.st_size);
    if (hole < 0 || ::lseek(in, data, SEEK_SET) < 0 || ::lseek(out, data, SEEK_SET) < 0 ||
        !CopyContents(in, out, hole - data)) {
      return false;
    }
    at = hole;
  }
  // What follows the last data stays a hole.
  return ::ftruncate(out, st.st_size) == 0;
}

bool CopyKeptAttributes(int in, int out, const struct stat& st, const struct stat* made,
                        const Ways& ways, uint32_t& unkept) {
  const bool ownerDiffers = !made || made->st_uid != st.st_uid || made->st_gid != st.st_gid;
  const bool bitsDiffer = !made || (made->st_mode & 07777) != (st.st_mode & 07777);
  // The owner first: a change of owner clears the set-id bits.
  if (ways.owners) {
    GiveOwner(out, st, made);
  } else if (ownerDiffers) {
    unkept |= kKeepsOwners;
  }
  if (!ways.bits) {
    if (bitsDiffer) unkept |= kKeepsBits;
  } else if (::fchmod(out, st.st_mode & 07777) != 0) {
    if (!Refused(errno)) return false;
    unkept |= kKeepsBits;
  }
  if (!CopyAttributes(in, out, ways, unkept)) return false;
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  return ::futimens(out, times) == 0;
}

// The directories are reached as every path below a named directory is:
// without following a link, so that a link put in a directory's place is
// never given its bits, owner or time.
bool KeepDirAttributes(Roots& roots, const std::string& from, const std::string& to,
                       bool withOwner) {
  struct stat st;
  if (!StatPath(roots, from, st) || !S_ISDIR(st.st_mode)) return true;  // nothing to keep
  bool links = false;
  Fd out(roots.OpenDirectory(to, links));
  struct stat made;
  if (out.get() < 0 || ::fstat(out.get(), &made) != 0) return false;
  if (withOwner) GiveOwner(out.get(), st, &made);
  const mode_t wanted = (st.st_mode & 07777) | S_IRWXU;
  // A change of owner clears the set-id bits; otherwise bits that are
  // right already are not set again (on a share, a round trip).
  const bool owned = !withOwner || (made.st_uid == st.st_uid && made.st_gid == st.st_gid);
  if ((!owned || (made.st_mode & 07777) != wanted) && ::fchmod(out.get(), wanted) != 0 &&
      !Refused(errno)) {
    return false;
  }
  if (!withOwner) return true;
  // A source directory that cannot be opened (no read right) keeps its
  // attributes to itself. What a copy of a file into the directory meets
  // refused is told; a directory's alone is not.
  const Fd in(roots.OpenDirectory(from, links));
  uint32_t unkept = 0;
  return in.get() < 0 || CopyAttributes(in.get(), out.get(), Ways(), unkept);
}

bool MatchDirectory(Roots& roots, const std::string& from, const std::string& to, bool keepsBits,
                    FileTime clock) {
  struct stat source, stage;
  if (!StatPath(roots, from, source) || !S_ISDIR(source.st_mode)) return true;  // nothing to match
  const mode_t wanted = (source.st_mode & 07777) | S_IRWXU;
  const auto sameTime = [&] {
    const FileTime a = TimeFromSeconds(stage.st_mtim.tv_sec, stage.st_mtim.tv_nsec);
    const FileTime b = TimeFromSeconds(source.st_mtim.tv_sec, source.st_mtim.tv_nsec);
    return !LaterBy(a, b, clock) && !LaterBy(b, a, clock);
  };
  const auto sameBits = [&] { return !keepsBits || (stage.st_mode & 07777) == wanted; };
  // Mostly nothing differs: a look, which a share answers from the listing
  // it gave, spares opening the directory.
  if (StatPath(roots, to, stage) && S_ISDIR(stage.st_mode) && sameBits() && sameTime()) return true;
  bool links = false;
  const Fd out(roots.OpenDirectory(to, links));
  if (out.get() < 0) return errno == ENOENT;  // gone: nothing to match
  if (::fstat(out.get(), &stage) != 0) return false;
  // Bits that the stage refuses cost the directory its time no more than
  // they cost a file its copy.
  if (!sameBits() && ::fchmod(out.get(), wanted) != 0 && !Refused(errno)) return false;
  if (sameTime()) return true;
  // Both times: exfat-fuse drops a last-write time that comes alone.
  const struct timespec times[2] = {stage.st_atim, source.st_mtim};
  return ::futimens(out.get(), times) == 0;
}

}  // namespace platform::posix

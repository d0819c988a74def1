// A model stage: the pass-through file system over a backing directory,
// refusing what the file systems people back up to refuse, a switch each
// (ModelStageCaps.h): exFAT, FAT, SMB and FUSE stages that this machine's
// kernel does not mount in a test.
//
//   ModelStageFs [--harshest] [--no-links ...] [--clock-ns=N] BACKING MOUNTPOINT
//
// It serves until unmounted or signalled, and ends with the process that
// started it, so that a test that dies leaves no mount behind.
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "ModelStageCaps.h"
#include "PassThroughFs.h"

namespace {

using passthrough::Child;
using passthrough::Path;

test::StageCaps Caps;

// Case is folded for ASCII letters only: enough for the tests' names.
std::string Stored(fuse_ino_t parent, const char* name) {
  if (!Caps.foldsCase) return name;
  const std::string dir = Path(parent);
  DIR* d = opendir(dir.c_str());
  if (!d) return name;
  std::string stored = name;
  while (const dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, name) == 0) {
      stored = name;
      break;
    }
    if (strcasecmp(e->d_name, name) == 0) stored = e->d_name;
  }
  closedir(d);
  return stored;
}

bool Refused(const char* name) {
  if (!Caps.refusesNames) return false;
  for (const char* c = name; *c; ++c) {
    if (static_cast<unsigned char>(*c) < 0x20 || std::strchr(":?*\"<>|\\", *c)) return true;
  }
  const size_t n = std::strlen(name);
  return n > 0 && (name[n - 1] == '.' || name[n - 1] == ' ');
}

void CutToClock(timespec& t) {
  if (Caps.clockNs <= 1) return;
  const long long ns = static_cast<long long>(t.tv_sec) * 1000000000 + t.tv_nsec;
  long long cut = ns - ns % Caps.clockNs;
  if (ns % Caps.clockNs < 0) cut -= Caps.clockNs;
  t.tv_sec = static_cast<time_t>(cut / 1000000000);
  t.tv_nsec = static_cast<long>(cut % 1000000000);
  if (t.tv_nsec < 0) {
    t.tv_nsec += 1000000000;
    --t.tv_sec;
  }
}

void Shown(struct stat& st) {
  CutToClock(st.st_atim);
  CutToClock(st.st_mtim);
  CutToClock(st.st_ctim);
  // exfat-fuse: the bits of its mount options, the mounting user's entries.
  if (!Caps.modes) st.st_mode = (st.st_mode & S_IFMT) | 0755;
  if (!Caps.owners) {
    st.st_uid = getuid();
    st.st_gid = getgid();
  }
}

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  passthrough::Lookup(req, parent, Stored(parent, name).c_str());
}

// A time set "now" is a time like any other: cut to the clock.
void ExplicitTime(int& valid, int now, int set, timespec& t) {
  if (valid & now) {
    clock_gettime(CLOCK_REALTIME, &t);
    valid = (valid & ~now) | set;
  }
  if (valid & set) CutToClock(t);
}

void Setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int valid, fuse_file_info* fi) {
  if (!Caps.modes && (valid & FUSE_SET_ATTR_MODE)) {
    // exfat-fuse takes the permission bits and keeps none; other bits it refuses.
    if (attr->st_mode & 07000) return (void)fuse_reply_err(req, EPERM);
    valid &= ~FUSE_SET_ATTR_MODE;
  }
  if (!Caps.owners) {
    if (((valid & FUSE_SET_ATTR_UID) && attr->st_uid != getuid()) ||
        ((valid & FUSE_SET_ATTR_GID) && attr->st_gid != getgid())) {
      return (void)fuse_reply_err(req, EPERM);
    }
    valid &= ~(FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID);
  }
  ExplicitTime(valid, FUSE_SET_ATTR_ATIME_NOW, FUSE_SET_ATTR_ATIME, attr->st_atim);
  ExplicitTime(valid, FUSE_SET_ATTR_MTIME_NOW, FUSE_SET_ATTR_MTIME, attr->st_mtim);
  passthrough::Setattr(req, ino, attr, valid, fi);
}

void Mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t rdev) {
  if (!Caps.mknod && !S_ISREG(mode)) return (void)fuse_reply_err(req, EPERM);
  if (Refused(name)) return (void)fuse_reply_err(req, EINVAL);
  passthrough::Mknod(req, parent, Stored(parent, name).c_str(), mode, rdev);
}

void Mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
  if (Refused(name)) return (void)fuse_reply_err(req, EINVAL);
  passthrough::Mkdir(req, parent, Stored(parent, name).c_str(), mode);
}

void Symlink(fuse_req_t req, const char* link, fuse_ino_t parent, const char* name) {
  if (!Caps.symlinks) return (void)fuse_reply_err(req, EPERM);
  if (Refused(name)) return (void)fuse_reply_err(req, EINVAL);
  passthrough::Symlink(req, link, parent, Stored(parent, name).c_str());
}

void Link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t parent, const char* name) {
  if (!Caps.links) return (void)fuse_reply_err(req, EPERM);
  if (Refused(name)) return (void)fuse_reply_err(req, EINVAL);
  passthrough::Link(req, ino, parent, Stored(parent, name).c_str());
}

void Unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
  passthrough::Unlink(req, parent, Stored(parent, name).c_str());
}

void Rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
  passthrough::Rmdir(req, parent, Stored(parent, name).c_str());
}

bool SameEntry(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return lstat(a.c_str(), &sa) == 0 && lstat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// On a stage that folds case, a rename onto a name held in another spelling
// replaces that entry, and the new spelling is kept; one that only changes
// the case of a name renames it.
void Rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newparent,
            const char* newname, unsigned int flags) {
  if (flags && !Caps.renameFlags) return (void)fuse_reply_err(req, EINVAL);
  if (Refused(newname)) return (void)fuse_reply_err(req, EINVAL);
  const std::string from = Stored(parent, name), held = Stored(newparent, newname);
  if (held != newname && !SameEntry(Child(parent, from.c_str()), Child(newparent, held.c_str()))) {
    if (flags & RENAME_NOREPLACE) return (void)fuse_reply_err(req, EEXIST);
    const std::string target = Child(newparent, held.c_str());
    if (unlink(target.c_str()) != 0 && (errno != EISDIR || rmdir(target.c_str()) != 0)) {
      return (void)fuse_reply_err(req, errno);
    }
  }
  passthrough::Rename(req, parent, from.c_str(), newparent, newname, flags);
}

void Create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi) {
  if (Refused(name)) return (void)fuse_reply_err(req, EINVAL);
  passthrough::Create(req, parent, Stored(parent, name).c_str(), mode, fi);
}

void NoXattr(fuse_req_t req) { fuse_reply_err(req, ENOTSUP); }
void NoSetxattr(fuse_req_t req, fuse_ino_t, const char*, const char*, size_t, int) { NoXattr(req); }
void NoGetxattr(fuse_req_t req, fuse_ino_t, const char*, size_t) { NoXattr(req); }
void NoListxattr(fuse_req_t req, fuse_ino_t, size_t) { NoXattr(req); }
void NoRemovexattr(fuse_req_t req, fuse_ino_t, const char*) { NoXattr(req); }

}  // namespace

int main(int argc, char** argv) {
  std::string paths[2];
  const auto option = [](const std::string& arg) { return test::ReadCapsArgument(arg, Caps); };
  if (!passthrough::ReadCommandLine(argc, argv, option, "[--harshest] [--no-links ...]", paths)) {
    return 2;
  }
  // The test that started it may die without unmounting; then so does the stage.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() == 1) return 1;

  passthrough::Config config;
  config.shown = Shown;
  if (!passthrough::Configure(config, paths[0])) return std::perror(paths[0].c_str()), 1;
  fuse_lowlevel_ops ops = passthrough::Operations();
  ops.lookup = Lookup;
  ops.setattr = Setattr;
  ops.mknod = Mknod;
  ops.mkdir = Mkdir;
  ops.symlink = Symlink;
  ops.link = Link;
  ops.unlink = Unlink;
  ops.rmdir = Rmdir;
  ops.rename = Rename;
  ops.create = Create;
  if (!Caps.xattrs) {
    ops.setxattr = NoSetxattr;
    ops.getxattr = NoGetxattr;
    ops.listxattr = NoListxattr;
    ops.removexattr = NoRemovexattr;
  }
  return passthrough::Serve(ops, argv[0], "modelstage", paths[1], 8);
}

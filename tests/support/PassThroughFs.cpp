// The pass-through FUSE file system: every call done on the backing tree by
// path, as the kernel names the inodes it knows.
#include "PassThroughFs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace passthrough {

const char* const kKindNames[kKinds] = {
    "lookup",   "getattr", "setattr",  "chmod",    "chown",      "truncate",    "utimens",
    "readlink", "mknod",   "mkdir",    "unlink",   "rmdir",      "symlink",     "rename",
    "link",     "open",    "create",   "opendir",  "readdir",    "readdirplus", "statfs",
    "access",   "fsync",   "fsyncdir", "setxattr", "getxattr",   "listxattr",   "removexattr",
    "read",     "write",   "flush",    "release",  "releasedir", "forget"};

namespace {

Config Conf;

void Call(Kind kind, bool part = false) {
  if (Conf.call) Conf.call(kind, part);
}

void Shown(struct stat& st) {
  if (Conf.shown) Conf.shown(st);
}

// One inode of the backing tree, known by a path to it for as long as the
// kernel remembers it (a descriptor each would outrun the process's limit).
struct Inode {
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  uint64_t lookups = 0;
};

std::mutex Lock;
std::map<std::pair<dev_t, ino_t>, std::unique_ptr<Inode>> Inodes;
Inode Root;

Inode& Of(fuse_ino_t ino) { return ino == FUSE_ROOT_ID ? Root : *reinterpret_cast<Inode*>(ino); }

void Forget(fuse_ino_t ino, uint64_t n) {
  if (ino == FUSE_ROOT_ID) return;
  const std::lock_guard<std::mutex> hold(Lock);
  Inode& node = Of(ino);
  if ((node.lookups -= n) > 0) return;
  Inodes.erase({node.dev, node.ino});
}

// The entry of `name` in `parent`, with its attributes; 0 or an errno.
int Entry(fuse_ino_t parent, const char* name, fuse_entry_param& e) {
  std::memset(&e, 0, sizeof e);
  e.attr_timeout = Conf.timeout;
  e.entry_timeout = Conf.timeout;
  const std::string path = Child(parent, name);
  if (lstat(path.c_str(), &e.attr) != 0) return errno;
  Shown(e.attr);
  const std::lock_guard<std::mutex> hold(Lock);
  std::unique_ptr<Inode>& slot = Inodes[{e.attr.st_dev, e.attr.st_ino}];
  if (!slot) {
    slot = std::make_unique<Inode>();
    slot->dev = e.attr.st_dev;
    slot->ino = e.attr.st_ino;
  }
  slot->path = path;
  ++slot->lookups;
  e.ino = reinterpret_cast<fuse_ino_t>(slot.get());
  return 0;
}

// After a rename: the inode now at `to` is known by that path, and so is
// everything below it.
void Renamed(const std::string& from, const std::string& to) {
  struct stat st;
  if (lstat(to.c_str(), &st) != 0) return;
  const std::lock_guard<std::mutex> hold(Lock);
  const auto it = Inodes.find({st.st_dev, st.st_ino});
  if (it != Inodes.end()) it->second->path = to;
  if (!S_ISDIR(st.st_mode)) return;
  const std::string prefix = from + "/";
  for (auto& [id, node] : Inodes) {
    if (node->path.compare(0, prefix.size(), prefix) == 0) {
      node->path = to + "/" + node->path.substr(prefix.size());
    }
  }
}

void ReplyEntry(fuse_req_t req, fuse_ino_t parent, const char* name) {
  fuse_entry_param e;
  const int err = Entry(parent, name, e);
  if (err) {
    fuse_reply_err(req, err);
  } else {
    fuse_reply_entry(req, &e);
  }
}

void ReplyAttr(fuse_req_t req, fuse_ino_t ino) {
  struct stat st;
  if (lstat(Path(ino).c_str(), &st) != 0) {
    fuse_reply_err(req, errno);
  } else {
    Shown(st);
    fuse_reply_attr(req, &st, Conf.timeout);
  }
}

void ReplyErrno(fuse_req_t req, bool ok) { fuse_reply_err(req, ok ? 0 : errno); }
void Fail(fuse_req_t req, int err = errno) { fuse_reply_err(req, err); }

void Init(void*, fuse_conn_info* conn) {
  if (Conf.plus) {
    conn->want |= FUSE_CAP_READDIRPLUS;
    conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
  } else {
    conn->want &= ~(FUSE_CAP_READDIRPLUS | FUSE_CAP_READDIRPLUS_AUTO);
  }
}

// getxattr and listxattr: the size wanted when `size` is 0, else the data.
void ReplyXattr(fuse_req_t req, size_t size, const std::function<ssize_t(char*, size_t)>& get) {
  std::unique_ptr<char[]> buf(new char[size ? size : 1]);
  const ssize_t n = get(size ? buf.get() : nullptr, size);
  if (n < 0) return Fail(req);
  if (size == 0) return (void)fuse_reply_xattr(req, static_cast<size_t>(n));
  fuse_reply_buf(req, buf.get(), static_cast<size_t>(n));
}

}  // namespace

// A copy, since a rename may change it meanwhile.
std::string Path(fuse_ino_t ino) {
  const std::lock_guard<std::mutex> hold(Lock);
  return Of(ino).path;
}
std::string Child(fuse_ino_t parent, const char* name) { return Path(parent) + "/" + name; }

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  Call(kLookup);
  ReplyEntry(req, parent, name);
}

void Setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int valid, fuse_file_info* fi) {
  Call(kSetattr);
  const std::string path = Path(ino);
  bool ok = true;
  if (valid & FUSE_SET_ATTR_MODE) {
    Call(kChmod, true);
    ok = (fi ? fchmod(fi->fh, attr->st_mode) : chmod(path.c_str(), attr->st_mode)) == 0;
  }
  if (ok && (valid & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID))) {
    Call(kChown, true);
    const uid_t uid = (valid & FUSE_SET_ATTR_UID) ? attr->st_uid : static_cast<uid_t>(-1);
    const gid_t gid = (valid & FUSE_SET_ATTR_GID) ? attr->st_gid : static_cast<gid_t>(-1);
    ok = lchown(path.c_str(), uid, gid) == 0;
  }
  if (ok && (valid & FUSE_SET_ATTR_SIZE)) {
    Call(kTruncate, true);
    ok = (fi ? ftruncate(fi->fh, attr->st_size) : truncate(path.c_str(), attr->st_size)) == 0;
  }
  if (ok && (valid & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME))) {
    Call(kUtimens, true);
    struct timespec tv[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
    if (valid & FUSE_SET_ATTR_ATIME_NOW)
      tv[0].tv_nsec = UTIME_NOW;
    else if (valid & FUSE_SET_ATTR_ATIME)
      tv[0] = attr->st_atim;
    if (valid & FUSE_SET_ATTR_MTIME_NOW)
      tv[1].tv_nsec = UTIME_NOW;
    else if (valid & FUSE_SET_ATTR_MTIME)
      tv[1] = attr->st_mtim;
    ok = (fi ? futimens(fi->fh, tv) : utimensat(AT_FDCWD, path.c_str(), tv, AT_SYMLINK_NOFOLLOW)) ==
         0;
  }
  if (!ok) {
    fuse_reply_err(req, errno);
    return;
  }
  ReplyAttr(req, ino);
}

void Mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t rdev) {
  Call(kMknod);
  if (mknod(Child(parent, name).c_str(), mode, rdev) != 0) return Fail(req);
  ReplyEntry(req, parent, name);
}

void Mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
  Call(kMkdir);
  if (mkdir(Child(parent, name).c_str(), mode) != 0) return Fail(req);
  ReplyEntry(req, parent, name);
}

void Symlink(fuse_req_t req, const char* link, fuse_ino_t parent, const char* name) {
  Call(kSymlink);
  if (symlink(link, Child(parent, name).c_str()) != 0) return Fail(req);
  ReplyEntry(req, parent, name);
}

void Link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t parent, const char* name) {
  Call(kLink);
  if (link(Path(ino).c_str(), Child(parent, name).c_str()) != 0) {
    return Fail(req);
  }
  ReplyEntry(req, parent, name);
}

void Unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
  Call(kUnlink);
  ReplyErrno(req, unlink(Child(parent, name).c_str()) == 0);
}

void Rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
  Call(kRmdir);
  ReplyErrno(req, rmdir(Child(parent, name).c_str()) == 0);
}

void Rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newparent,
            const char* newname, unsigned int flags) {
  Call(kRename);
  const std::string from = Child(parent, name), to = Child(newparent, newname);
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags) != 0) return Fail(req);
  Renamed(from, to);
  fuse_reply_err(req, 0);
}

void Create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi) {
  Call(kCreate);
  const int fd = open(Child(parent, name).c_str(), (fi->flags | O_CREAT) & ~O_NOFOLLOW, mode);
  if (fd < 0) return Fail(req);
  fi->fh = fd;
  fuse_entry_param e;
  if (const int err = Entry(parent, name, e)) {
    close(fd);
    return Fail(req, err);
  }
  fuse_reply_create(req, &e, fi);
}

void Setxattr(fuse_req_t req, fuse_ino_t ino, const char* name, const char* value, size_t size,
              int flags) {
  Call(kSetxattr);
  ReplyErrno(req, lsetxattr(Path(ino).c_str(), name, value, size, flags) == 0);
}

namespace {

void DoForget(fuse_req_t req, fuse_ino_t ino, uint64_t n) {
  Call(kForget);
  Forget(ino, n);
  fuse_reply_none(req);
}

void ForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* list) {
  Call(kForget);
  for (size_t i = 0; i < count; ++i) Forget(list[i].ino, list[i].nlookup);
  fuse_reply_none(req);
}

void Getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  Call(kGetattr);
  ReplyAttr(req, ino);
}

void Readlink(fuse_req_t req, fuse_ino_t ino) {
  Call(kReadlink);
  char buf[PATH_MAX + 1];
  const ssize_t n = readlink(Path(ino).c_str(), buf, sizeof buf - 1);
  if (n < 0) {
    fuse_reply_err(req, errno);
    return;
  }
  buf[n] = 0;
  fuse_reply_readlink(req, buf);
}

void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  Call(kOpen);
  const int fd = open(Path(ino).c_str(), (fi->flags & ~O_NOFOLLOW) | O_CLOEXEC);
  if (fd < 0) return Fail(req);
  fi->fh = fd;
  fuse_reply_open(req, fi);
}

void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi) {
  Call(kRead);
  fuse_bufvec buf = FUSE_BUFVEC_INIT(size);
  buf.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  buf.buf[0].fd = static_cast<int>(fi->fh);
  buf.buf[0].pos = off;
  fuse_reply_data(req, &buf, FUSE_BUF_SPLICE_MOVE);
}

void WriteBuf(fuse_req_t req, fuse_ino_t, fuse_bufvec* in, off_t off, fuse_file_info* fi) {
  Call(kWrite);
  fuse_bufvec out = FUSE_BUFVEC_INIT(fuse_buf_size(in));
  out.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  out.buf[0].fd = static_cast<int>(fi->fh);
  out.buf[0].pos = off;
  const ssize_t n = fuse_buf_copy(&out, in, fuse_buf_copy_flags(0));
  if (n < 0) return Fail(req, static_cast<int>(-n));
  fuse_reply_write(req, static_cast<size_t>(n));
}

void Flush(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  Call(kFlush);
  // Closing a duplicate reports the errors that a close of the file would.
  ReplyErrno(req, close(dup(static_cast<int>(fi->fh))) == 0);
}

void Release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  Call(kRelease);
  close(static_cast<int>(fi->fh));
  fuse_reply_err(req, 0);
}

void Fsync(fuse_req_t req, fuse_ino_t, int datasync, fuse_file_info* fi) {
  Call(kFsync);
  const int fd = static_cast<int>(fi->fh);
  ReplyErrno(req, (datasync ? fdatasync(fd) : fsync(fd)) == 0);
}

// An open directory: its stream and the offset it stands at.
struct OpenDir {
  DIR* dir = nullptr;
  off_t offset = 0;
  dirent* entry = nullptr;
};

void Opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  Call(kOpendir);
  const int fd = open(Path(ino).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail(req);
  auto d = std::make_unique<OpenDir>();
  d->dir = fdopendir(fd);
  if (!d->dir) {
    close(fd);
    return Fail(req);
  }
  fi->fh = reinterpret_cast<uint64_t>(d.release());
  fuse_reply_open(req, fi);
}

void ReaddirAny(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi,
                bool plus) {
  Call(plus ? kReaddirplus : kReaddir);
  OpenDir& d = *reinterpret_cast<OpenDir*>(fi->fh);
  std::unique_ptr<char[]> buf(new char[size]);
  size_t used = 0;
  if (offset != d.offset) {
    seekdir(d.dir, offset);
    d.entry = nullptr;
    d.offset = offset;
  }
  for (;;) {
    if (!d.entry) {
      errno = 0;
      d.entry = readdir(d.dir);
      if (!d.entry) break;
    }
    const char* name = d.entry->d_name;
    const off_t next = d.entry->d_off;
    size_t n;
    if (plus) {
      fuse_entry_param e;
      const bool dots = std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
      if (dots) {
        std::memset(&e, 0, sizeof e);
        e.attr.st_ino = d.entry->d_ino;
        e.attr.st_mode = static_cast<mode_t>(d.entry->d_type) << 12;
      } else if (Entry(ino, name, e) != 0) {
        d.entry = nullptr;  // gone meanwhile
        continue;
      }
      n = fuse_add_direntry_plus(req, buf.get() + used, size - used, name, &e, next);
      if (n > size - used) {
        if (!dots) Forget(e.ino, 1);
        break;
      }
    } else {
      struct stat st;
      std::memset(&st, 0, sizeof st);
      st.st_ino = d.entry->d_ino;
      st.st_mode = static_cast<mode_t>(d.entry->d_type) << 12;
      n = fuse_add_direntry(req, buf.get() + used, size - used, name, &st, next);
      if (n > size - used) break;
    }
    used += n;
    d.entry = nullptr;
    d.offset = next;
  }
  fuse_reply_buf(req, buf.get(), used);
}

void Readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
  ReaddirAny(req, ino, size, offset, fi, false);
}

void Readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
  ReaddirAny(req, ino, size, offset, fi, true);
}

void Releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  Call(kReleasedir);
  OpenDir* d = reinterpret_cast<OpenDir*>(fi->fh);
  closedir(d->dir);
  delete d;
  fuse_reply_err(req, 0);
}

void Fsyncdir(fuse_req_t req, fuse_ino_t, int datasync, fuse_file_info* fi) {
  Call(kFsyncdir);
  const int fd = dirfd(reinterpret_cast<OpenDir*>(fi->fh)->dir);
  ReplyErrno(req, (datasync ? fdatasync(fd) : fsync(fd)) == 0);
}

void Statfs(fuse_req_t req, fuse_ino_t ino) {
  Call(kStatfs);
  struct statvfs sv;
  if (statvfs(Path(ino).c_str(), &sv) != 0) return Fail(req);
  fuse_reply_statfs(req, &sv);
}

void Access(fuse_req_t req, fuse_ino_t ino, int mask) {
  Call(kAccess);
  ReplyErrno(req, access(Path(ino).c_str(), mask) == 0);
}

void Getxattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
  Call(kGetxattr);
  const std::string path = Path(ino);
  ReplyXattr(req, size, [&](char* b, size_t n) { return lgetxattr(path.c_str(), name, b, n); });
}

void Listxattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
  Call(kListxattr);
  const std::string path = Path(ino);
  ReplyXattr(req, size, [&](char* b, size_t n) { return llistxattr(path.c_str(), b, n); });
}

void Removexattr(fuse_req_t req, fuse_ino_t ino, const char* name) {
  Call(kRemovexattr);
  ReplyErrno(req, lremovexattr(Path(ino).c_str(), name) == 0);
}

}  // namespace

bool Configure(const Config& config, const std::string& backing) {
  Conf = config;
  char* real = realpath(backing.c_str(), nullptr);
  if (!real) return false;
  Root.path = real;
  std::free(real);
  return true;
}

bool ReadCommandLine(int argc, char** argv, bool (*option)(const std::string& arg),
                     const char* usage, std::string paths[2]) {
  int npaths = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool isOption = arg.rfind("--", 0) == 0;
    if (isOption ? !option(arg) : npaths == 2) break;
    if (!isOption) paths[npaths++] = arg;
    if (i + 1 == argc && npaths == 2) return true;
  }
  std::fprintf(stderr, "usage: %s %s BACKING MOUNTPOINT\n", argv[0], usage);
  return false;
}

fuse_lowlevel_ops Operations() {
  fuse_lowlevel_ops ops{};
  ops.init = Init;
  ops.lookup = Lookup;
  ops.forget = DoForget;
  ops.forget_multi = ForgetMulti;
  ops.getattr = Getattr;
  ops.setattr = Setattr;
  ops.readlink = Readlink;
  ops.mknod = Mknod;
  ops.mkdir = Mkdir;
  ops.symlink = Symlink;
  ops.link = Link;
  ops.unlink = Unlink;
  ops.rmdir = Rmdir;
  ops.rename = Rename;
  ops.open = Open;
  ops.create = Create;
  ops.read = Read;
  ops.write_buf = WriteBuf;
  ops.flush = Flush;
  ops.release = Release;
  ops.fsync = Fsync;
  ops.opendir = Opendir;
  ops.readdir = Readdir;
  ops.readdirplus = Readdirplus;
  ops.releasedir = Releasedir;
  ops.fsyncdir = Fsyncdir;
  ops.statfs = Statfs;
  ops.access = Access;
  ops.setxattr = Setxattr;
  ops.getxattr = Getxattr;
  ops.listxattr = Listxattr;
  ops.removexattr = Removexattr;
  return ops;
}

int Serve(const fuse_lowlevel_ops& ops, const char* program, const std::string& fsname,
          const std::string& mountpoint, unsigned threads) {
  const std::string names = "fsname=" + fsname + ",subtype=" + fsname;
  const char* fuseArgv[] = {program, "-o", names.c_str()};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(fuseArgv));
  fuse_session* se = fuse_session_new(&args, &ops, sizeof ops, nullptr);
  if (!se) return 1;
  int status = 1;
  if (fuse_set_signal_handlers(se) == 0) {
    if (fuse_session_mount(se, mountpoint.c_str()) == 0) {
      fuse_loop_config* config = fuse_loop_cfg_create();
      fuse_loop_cfg_set_max_threads(config, threads);
      fuse_loop_cfg_set_idle_threads(config, threads);
      status = fuse_session_loop_mt(se, config) == 0 ? 0 : 1;
      fuse_loop_cfg_destroy(config);
      fuse_session_unmount(se);
    }
    fuse_remove_signal_handlers(se);
  }
  fuse_session_destroy(se);
  return status;
}

}  // namespace passthrough

// A pass-through file system that makes every metadata call wait a set time,
// as a file server across a network does: the wait happens in the thread that
// serves the call, and the loop runs many threads, so calls in flight overlap
// as they do on a real server. It counts the calls of each kind.
//
//   LatencyFs [--delay-ms=1] [--plus] [--counts=FILE] [--threads=64] BACKING MOUNTPOINT
//
// --plus lists directories with their entries' attributes (readdirplus) and
// lets the kernel keep attributes and names for a while, as NFS and SMB
// clients do; without it every stat and every name lookup is a round trip.
// The counts are written to FILE (one "kind count" a line) on SIGUSR1 and
// when the file system is unmounted.
#define FUSE_USE_VERSION 312
#include <fuse3/fuse_lowlevel.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace {

// The kinds of call counted; those up to kLastDelayed wait.
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
  kLastDelayed = kRemovexattr,
  kRead,
  kWrite,
  kFlush,
  kRelease,
  kReleasedir,
  kForget,
  kKinds
};
const char* const kKindNames[kKinds] = {
    "lookup",   "getattr", "setattr",  "chmod",    "chown",      "truncate",    "utimens",
    "readlink", "mknod",   "mkdir",    "unlink",   "rmdir",      "symlink",     "rename",
    "link",     "open",    "create",   "opendir",  "readdir",    "readdirplus", "statfs",
    "access",   "fsync",   "fsyncdir", "setxattr", "getxattr",   "listxattr",   "removexattr",
    "read",     "write",   "flush",    "release",  "releasedir", "forget"};

struct Options {
  std::chrono::microseconds delay{1000};
  bool plus = false;
  double timeout = 0;
  std::string counts;
  unsigned threads = 64;
};
Options Opt;
std::atomic<uint64_t> Counts[kKinds];

// Counts a call and, for a metadata call, waits the round trip.
void Call(Kind kind) {
  Counts[kind].fetch_add(1, std::memory_order_relaxed);
  if (kind <= kLastDelayed && Opt.delay.count() > 0) std::this_thread::sleep_for(Opt.delay);
}

void WriteCounts() {
  if (Opt.counts.empty()) return;
  const std::string temp = Opt.counts + ".tmp";
  FILE* out = std::fopen(temp.c_str(), "w");
  if (!out) return;
  for (int k = 0; k < kKinds; ++k) {
    std::fprintf(out, "%s %llu\n", kKindNames[k], static_cast<unsigned long long>(Counts[k]));
  }
  if (std::fclose(out) == 0) std::rename(temp.c_str(), Opt.counts.c_str());
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
// A copy, since a rename may change it meanwhile.
std::string Path(fuse_ino_t ino) {
  const std::lock_guard<std::mutex> hold(Lock);
  return Of(ino).path;
}
std::string Child(fuse_ino_t parent, const char* name) { return Path(parent) + "/" + name; }

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
  e.attr_timeout = Opt.timeout;
  e.entry_timeout = Opt.timeout;
  const std::string path = Child(parent, name);
  if (lstat(path.c_str(), &e.attr) != 0) return errno;
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
    fuse_reply_attr(req, &st, Opt.timeout);
  }
}

void ReplyErrno(fuse_req_t req, bool ok) { fuse_reply_err(req, ok ? 0 : errno); }
void Fail(fuse_req_t req, int err = errno) { fuse_reply_err(req, err); }

void Init(void*, fuse_conn_info* conn) {
  if (Opt.plus) {
    conn->want |= FUSE_CAP_READDIRPLUS;
    conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
  } else {
    conn->want &= ~(FUSE_CAP_READDIRPLUS | FUSE_CAP_READDIRPLUS_AUTO);
  }
}

void Destroy(void*) { WriteCounts(); }

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  Call(kLookup);
  ReplyEntry(req, parent, name);
}

void DoForget(fuse_req_t req, fuse_ino_t ino, uint64_t n) {
  Counts[kForget].fetch_add(1, std::memory_order_relaxed);
  Forget(ino, n);
  fuse_reply_none(req);
}

void ForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* list) {
  Counts[kForget].fetch_add(1, std::memory_order_relaxed);
  for (size_t i = 0; i < count; ++i) Forget(list[i].ino, list[i].nlookup);
  fuse_reply_none(req);
}

void Getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  Call(kGetattr);
  ReplyAttr(req, ino);
}

void Setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int valid, fuse_file_info* fi) {
  Call(kSetattr);
  const std::string path = Path(ino);
  bool ok = true;
  if (valid & FUSE_SET_ATTR_MODE) {
    Counts[kChmod].fetch_add(1);
    ok = (fi ? fchmod(fi->fh, attr->st_mode) : chmod(path.c_str(), attr->st_mode)) == 0;
  }
  if (ok && (valid & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID))) {
    Counts[kChown].fetch_add(1);
    const uid_t uid = (valid & FUSE_SET_ATTR_UID) ? attr->st_uid : static_cast<uid_t>(-1);
    const gid_t gid = (valid & FUSE_SET_ATTR_GID) ? attr->st_gid : static_cast<gid_t>(-1);
    ok = lchown(path.c_str(), uid, gid) == 0;
  }
  if (ok && (valid & FUSE_SET_ATTR_SIZE)) {
    Counts[kTruncate].fetch_add(1);
    ok = (fi ? ftruncate(fi->fh, attr->st_size) : truncate(path.c_str(), attr->st_size)) == 0;
  }
  if (ok && (valid & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME))) {
    Counts[kUtimens].fetch_add(1);
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

void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  Call(kOpen);
  const int fd = open(Path(ino).c_str(), (fi->flags & ~O_NOFOLLOW) | O_CLOEXEC);
  if (fd < 0) return Fail(req);
  fi->fh = fd;
  fuse_reply_open(req, fi);
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

void Setxattr(fuse_req_t req, fuse_ino_t ino, const char* name, const char* value, size_t size,
              int flags) {
  Call(kSetxattr);
  ReplyErrno(req, lsetxattr(Path(ino).c_str(), name, value, size, flags) == 0);
}

// getxattr and listxattr: the size wanted when `size` is 0, else the data.
void ReplyXattr(fuse_req_t req, size_t size, const std::function<ssize_t(char*, size_t)>& get) {
  std::unique_ptr<char[]> buf(new char[size ? size : 1]);
  const ssize_t n = get(size ? buf.get() : nullptr, size);
  if (n < 0) return Fail(req);
  if (size == 0) return (void)fuse_reply_xattr(req, static_cast<size_t>(n));
  fuse_reply_buf(req, buf.get(), static_cast<size_t>(n));
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

bool ParseOption(const std::string& arg) {
  const auto value = [&](const char* key) -> const char* {
    const size_t n = std::strlen(key);
    return arg.compare(0, n, key) == 0 ? arg.c_str() + n : nullptr;
  };
  if (arg == "--plus") {
    Opt.plus = true;
  } else if (const char* v = value("--delay-ms=")) {
    Opt.delay = std::chrono::microseconds(static_cast<long>(std::atof(v) * 1000));
  } else if (const char* v = value("--counts=")) {
    Opt.counts = v;
  } else if (const char* v = value("--threads=")) {
    Opt.threads = static_cast<unsigned>(std::atoi(v));
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string paths[2];
  int npaths = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) == 0 ? !ParseOption(arg) : npaths == 2) {
      std::fprintf(stderr,
                   "usage: %s [--delay-ms=1] [--plus] [--counts=FILE] [--threads=64] "
                   "BACKING MOUNTPOINT\n",
                   argv[0]);
      return 2;
    }
    if (arg.rfind("--", 0) != 0) paths[npaths++] = arg;
  }
  if (npaths != 2) return std::fprintf(stderr, "%s: BACKING and MOUNTPOINT wanted\n", argv[0]), 2;
  // With attributes from the listing the kernel keeps them a while, as an
  // NFS client does (its shortest attribute cache time is 3 s).
  Opt.timeout = Opt.plus ? 3.0 : 0.0;
  char* backing = realpath(paths[0].c_str(), nullptr);
  if (!backing) return std::perror(paths[0].c_str()), 1;
  Root.path = backing;
  std::free(backing);

  fuse_lowlevel_ops ops{};
  ops.init = Init;
  ops.destroy = Destroy;
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

  // SIGUSR1 writes the counts; a thread of its own waits for it, so the
  // signal is blocked in every other thread.
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
  std::thread([usr1] {
    for (int sig; sigwait(&usr1, &sig) == 0;) WriteCounts();
  }).detach();

  const char* fuseArgv[] = {argv[0], "-o", "fsname=latencyfs,subtype=latencyfs"};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(fuseArgv));
  fuse_session* se = fuse_session_new(&args, &ops, sizeof ops, nullptr);
  if (!se) return 1;
  int status = 1;
  if (fuse_set_signal_handlers(se) == 0) {
    if (fuse_session_mount(se, paths[1].c_str()) == 0) {
      fuse_loop_config* config = fuse_loop_cfg_create();
      fuse_loop_cfg_set_max_threads(config, Opt.threads);
      fuse_loop_cfg_set_idle_threads(config, Opt.threads);
      status = fuse_session_loop_mt(se, config) == 0 ? 0 : 1;
      fuse_loop_cfg_destroy(config);
      fuse_session_unmount(se);
    }
    fuse_remove_signal_handlers(se);
  }
  fuse_session_destroy(se);
  return status;
}

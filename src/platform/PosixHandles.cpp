// Paths below the directories a run was given, reached by directory handles
// one name at a time, so that no symbolic link below them is ever followed
// and no path handed to the kernel is longer than one name.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

#include "PosixFiles.h"

namespace platform::posix {

namespace {

// A walk keeps the handles of the directories it is in, from its root down,
// as deep as this many for all roots together allows (the limit of open
// files is often 1024); a deeper tree opens what lies beyond that depth anew
// for every path.
constexpr size_t kHeldHandles = 256;
constexpr size_t kMostLevels = 64;

constexpr int kDirFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Opens `rel` (names separated by '/') below `dir` without following any
// link and without leaving `dir`: in one call where the kernel has openat2,
// one name at a time otherwise.
int OpenBeneath(int dir, const std::string& rel) {
#if defined(SYS_openat2) && defined(RESOLVE_NO_SYMLINKS)
  // Any thread may be the first to learn that the kernel refuses openat2.
  static std::atomic<bool> haveOpenat2{true};
  if (haveOpenat2.load(std::memory_order_relaxed)) {
    struct open_how how = {};
    how.flags = static_cast<uint64_t>(kDirFlags);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, dir, rel.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno == ENOSYS || errno == EPERM) {
      // Not this kernel, or a sandbox that refuses it.
      haveOpenat2.store(false, std::memory_order_relaxed);
    } else if (errno != ENAMETOOLONG && errno != EAGAIN) {
      return -1;
    }
  }
#endif
  Fd at(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
  for (size_t begin = 0; at.get() >= 0 && begin < rel.size();) {
    const size_t end = std::min(rel.find('/', begin), rel.size());
    const std::string name = rel.substr(begin, end - begin);
    begin = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      errno = EXDEV;  // never above where it began
      return -1;
    }
    at.reset(::openat(at.get(), name.c_str(), kDirFlags));
  }
  return at.release();
}

std::string_view WithoutTrailingSlashes(std::string_view p) {
  while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
  return p;
}

}  // namespace

void Roots::Chain::Drop(size_t depth) {
  if (names.size() > depth) names.resize(depth);
  if (handles.size() > depth) handles.resize(depth);
}

// The chain whose root `path` lies at or below (the longest), or null.
Roots::Chain* Roots::ChainOf(std::string_view path, bool& isRoot) {
  Chain* best = nullptr;
  isRoot = false;
  for (Chain& c : chains_) {
    const bool at = WithoutTrailingSlashes(path) == WithoutTrailingSlashes(c.root);
    const bool below = path.size() > c.root.size() && path.substr(0, c.root.size()) == c.root;
    if ((at || below) && (!best || c.root.size() > best->root.size())) {
      best = &c;
      isRoot = at;
    }
  }
  return best;
}

// The handle of the directory that the names `rel` lead to below the
// chain's root; null, with errno set, when one of them is no directory
// (a link is none) or cannot be opened.
std::shared_ptr<Fd> Roots::DirectoryHandle(Chain& c, std::string_view rel) {
  if (!c.top) {
    // The root itself may be a link: it is the user's word.
    auto top = std::make_shared<Fd>(::open(c.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (top->get() < 0) return nullptr;
    c.top = std::move(top);
  }
  std::shared_ptr<Fd> at = c.top;
  size_t depth = 0;
  for (size_t begin = 0; begin < rel.size();) {
    const size_t end = std::min(rel.find('/', begin), rel.size());
    const std::string_view name = rel.substr(begin, end - begin);
    if (name.empty() || name == ".") {
      begin = end + 1;
      continue;
    }
    if (name == "..") {
      errno = EXDEV;  // never above the root
      return nullptr;
    }
    if (depth == heldLevels_) {
      auto fd = std::make_shared<Fd>(OpenBeneath(at->get(), std::string(rel.substr(begin))));
      return fd->get() >= 0 ? fd : nullptr;
    }
    begin = end + 1;
    if (depth < c.names.size() && c.names[depth] == name) {
      at = c.handles[depth++];
      continue;
    }
    c.Drop(depth);
    std::string n(name);
    auto fd = std::make_shared<Fd>(::openat(at->get(), n.c_str(), kDirFlags));
    if (fd->get() < 0) return nullptr;
    c.names.push_back(std::move(n));
    c.handles.push_back(fd);
    at = std::move(fd);
    ++depth;
  }
  return at;
}

void Roots::Set(const std::vector<std::string>& dirs) {
  const MutexLock lock(mutex_);
  chains_.clear();
  for (const std::string& dir : dirs) {
    if (dir.empty()) continue;
    Chain c;
    c.root = dir.back() == '/' ? dir : dir + "/";
    chains_.push_back(std::move(c));
  }
  heldLevels_ =
      std::clamp<size_t>(kHeldHandles / std::max<size_t>(chains_.size(), 1), 4, kMostLevels);
}

bool Roots::Locate(const std::string& path, At& at) {
  at.handle.reset();
  at.root = false;
  at.links = false;
  const MutexLock lock(mutex_);
  bool isRoot = false;
  Chain* c = ChainOf(path, isRoot);
  if (!c || isRoot) {
    at.root = isRoot;
    at.name = path;
    return true;
  }
  const std::string_view rel =
      WithoutTrailingSlashes(std::string_view(path).substr(c->root.size()));
  const size_t slash = rel.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? rel : rel.substr(slash + 1);
  if (name == "." || name == "..") {
    errno = EXDEV;
    return false;
  }
  at.name.assign(name);
  at.links = true;
  at.handle = DirectoryHandle(
      *c, slash == std::string_view::npos ? std::string_view() : rel.substr(0, slash));
  return at.handle != nullptr;
}

bool Roots::LocateInParent(const std::string& path, At& at) {
  if (!Locate(path, at)) return false;
  if (at.handle) return true;
  const std::string_view p = WithoutTrailingSlashes(path);
  const size_t slash = p.rfind('/');
  const std::string dir =
      slash == std::string_view::npos ? std::string(".") : std::string(p.substr(0, slash + 1));
  auto fd = std::make_shared<Fd>(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (fd->get() < 0) return false;
  at.handle = std::move(fd);
  at.name.assign(slash == std::string_view::npos ? p : p.substr(slash + 1));
  return true;
}

int Roots::OpenDirectory(const std::string& dir, bool& links) {
  At at;
  links = false;
  if (!Locate(dir, at)) return -1;
  links = at.root || at.links;
  // O_NOCTTY as every open of what the source holds, though no terminal
  // passes O_DIRECTORY.
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC;
  if (!at.links) return ::open(dir.c_str(), kFlags);
  return ::openat(at.dir(), at.name.c_str(), kFlags | O_NOFOLLOW);
}

void Roots::Forget(const std::string& path) {
  const MutexLock lock(mutex_);
  bool isRoot = false;
  Chain* c = ChainOf(path, isRoot);
  if (!c) return;
  if (isRoot) {
    c->top.reset();
    c->Drop(0);
    return;
  }
  // The handles from the removed directory down go.
  std::string_view rel = WithoutTrailingSlashes(std::string_view(path).substr(c->root.size()));
  size_t depth = 0;
  size_t begin = 0;
  while (begin < rel.size() && depth < c->names.size()) {
    const size_t end = std::min(rel.find('/', begin), rel.size());
    const std::string_view name = rel.substr(begin, end - begin);
    begin = end + 1;
    if (name.empty() || name == ".") continue;
    if (c->names[depth] != name) return;
    ++depth;
  }
  if (depth > 0 && WithoutTrailingSlashes(rel.substr(std::min(begin, rel.size()))).empty()) {
    c->Drop(depth - 1);
  }
}

}  // namespace platform::posix

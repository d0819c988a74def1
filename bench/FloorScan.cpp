// The least any correct tool must do for a no-change run: list both trees and
// stat every entry once, relative to the open directory. Used by bench/run as
// the floor that kovrel is measured against.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

long long Scan(int dirFd) {
  DIR* dir = ::fdopendir(dirFd);
  if (!dir) {
    ::close(dirFd);
    return 0;
  }
  long long entries = 0;
  struct stat st;
  while (const struct dirent* de = ::readdir(dir)) {
    if (std::strcmp(de->d_name, ".") == 0 || std::strcmp(de->d_name, "..") == 0) continue;
    if (::fstatat(::dirfd(dir), de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    ++entries;
    if (S_ISDIR(st.st_mode)) {
      const int sub = ::openat(::dirfd(dir), de->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (sub >= 0) entries += Scan(sub);
    }
  }
  ::closedir(dir);
  return entries;
}

}  // namespace

int main(int argc, char** argv) {
  long long total = 0;
  for (int i = 1; i < argc; ++i) {
    const int fd = ::open(argv[i], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) total += Scan(fd);
  }
  std::printf("%lld\n", total);
  return 0;
}

// Whether a file system folds the case of names, and the key by which names
// that it takes for one are found equal.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <locale.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cwchar>
#include <cwctype>

#include "Platform.h"
#include "PosixFiles.h"

namespace platform {

namespace {

using posix::Fd;

// What the type of the file system holding `in` tells: 1 folds, 0 does
// not, -1 does not tell (FUSE, a share, a type not known here).
int TypeFoldsCase(int in) {
  struct statfs st;
  if (::fstatfs(in, &st) != 0) return -1;
  switch (posix::FsTypeOf(static_cast<uint64_t>(st.f_type)).folds) {
    case posix::TypeFolds::Yes:
      return 1;
    case posix::TypeFolds::No:
      return 0;
    case posix::TypeFolds::PerDirectory: {
      // Case folding is a flag of each directory there (ext4, f2fs), which
      // new directories take from their parent.
      int flags = 0;
      return ::ioctl(in, FS_IOC_GETFLAGS, &flags) == 0 && (flags & 0x40000000) ? 1 : 0;
    }
    case posix::TypeFolds::NotTold:
      break;
  }
  return -1;
}

// The name with its ASCII letters' case swapped; equal to `name` where it
// has none.
std::string SwappedCase(const std::string& name) {
  std::string out = name;
  for (char& c : out) {
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
    else if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Whether the entry `name` of `in` is found under its name with the case of
// its letters swapped: 1 yes, 0 no, -1 not told.
int FoundSwapped(int in, const std::string& name) {
  const std::string swapped = SwappedCase(name);
  if (swapped == name) return -1;
  struct stat a, b;
  if (::fstatat(in, name.c_str(), &a, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  if (::fstatat(in, swapped.c_str(), &b, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : -1;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino ? 1 : 0;
}

// Looks at the first entries of `in` that have letters in their names.
int LookAtEntries(int in) {
  const int fd = ::openat(in, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return -1;
  }
  int told = -1;
  for (int looked = 0; told < 0 && looked < 64;) {
    const struct dirent* e = ::readdir(dir);
    if (!e) break;
    const std::string name = e->d_name;
    if (name == "." || name == ".." || SwappedCase(name) == name) continue;
    ++looked;
    told = FoundSwapped(in, name);
  }
  ::closedir(dir);
  return told;
}

// A new file under a staging name (lower-case letters), looked up with
// them in upper case, and removed.
int Probe(posix::ProbeDir& in) {
  uint64_t unique = 0;
  Fd fd(in.MakeFile(0xCA5E0000u, 1, unique));
  if (fd.get() < 0) return -1;
  fd.reset(-1);
  const std::string name = StagingName(unique);
  const int told = FoundSwapped(in.get(), name);
  ::unlinkat(in.get(), name.c_str(), 0);
  return told;
}

}  // namespace

namespace posix {

std::optional<bool> FoldsCase(Roots& roots, const std::string& dir, bool mayWrite) {
  ProbeDir in(roots, dir);
  if (in.get() < 0) return std::nullopt;
  int told = TypeFoldsCase(in.get());
  if (told < 0) told = LookAtEntries(in.get());
  if (told < 0 && mayWrite) told = Probe(in);
  return told > 0;
}

}  // namespace posix

std::string FoldedName(std::string_view name) {
  // Letters beyond ASCII as the C library's UTF-8 locale upper-cases them;
  // bytes that are no UTF-8 stay as they are.
  static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  std::string out;
  out.reserve(name.size());
  const locale_t was = utf8 ? ::uselocale(utf8) : nullptr;
  std::mbstate_t in{}, back{};
  char bytes[MB_LEN_MAX];
  for (size_t i = 0; i < name.size();) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x80 || !utf8) {
      out += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : static_cast<char>(c);
      ++i;
      continue;
    }
    wchar_t wide = 0;
    const size_t n = std::mbrtowc(&wide, name.data() + i, name.size() - i, &in);
    const size_t m = n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) || n == 0
                         ? static_cast<size_t>(-1)
                         : std::wcrtomb(bytes, static_cast<wchar_t>(std::towupper(wide)), &back);
    if (m == static_cast<size_t>(-1)) {
      in = {};
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    out.append(bytes, m);
    i += n;
  }
  if (was) ::uselocale(was);
  return out;
}

}  // namespace platform

// What a stage's file system is, as its type tells or a probe in its top
// directory shows.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Platform.h"
#include "PosixFiles.h"

namespace platform::posix {

FsType FsTypeOf(uint64_t magic) {
  // The magic numbers of linux/magic.h (and of the file systems that keep
  // their own). FUSE stands for any file system behind it: exfat-fuse keeps
  // whole seconds, ntfs-3g 100 ns, sshfs what its server says; a probe has
  // to tell, as for a share or an overlay.
  struct Known {
    uint64_t magic;
    FsType type;
  };
  static constexpr Known kKnown[] = {
      {0xEF53, {1, TypeFolds::PerDirectory}},      // ext2, ext3, ext4
      {0xF2F52010, {1, TypeFolds::PerDirectory}},  // f2fs
      {0x58465342, {1, TypeFolds::No}},            // xfs
      {0x9123683E, {1, TypeFolds::No}},            // btrfs
      {0x01021994, {1, TypeFolds::No}},            // tmpfs
      {0x858458F6, {1, TypeFolds::No}},            // ramfs
      {0x2FC12FC1, {1, TypeFolds::No}},            // zfs
      {0xCA451A4E, {1, TypeFolds::NotTold}},       // bcachefs
      {0x5346544E, {100, TypeFolds::NotTold}},     // ntfs
      {0x7366746E, {100, TypeFolds::NotTold}},     // ntfs3
      {0x2011BAB0, {10000000, TypeFolds::Yes}},    // exfat
      {0x4D44, {2 * kSecond, TypeFolds::Yes}},     // msdos, vfat
  };
  for (const Known& k : kKnown) {
    if (k.magic == magic) return k.type;
  }
  return FsType();
}

ProbeDir::ProbeDir(Roots& roots, const std::string& dir) {
  bool links = false;
  fd_.reset(roots.OpenDirectory(dir, links));
}

ProbeDir::~ProbeDir() {
  if (!made_) return;
  const struct timespec had[2] = {before_.st_atim, before_.st_mtim};
  ::futimens(fd_.get(), had);
}

int ProbeDir::MakeFile(uint32_t base, uint32_t step, uint64_t& unique) {
  if (fd_.get() < 0) return -1;
  if (!made_ && ::fstat(fd_.get(), &before_) != 0) return -1;
  for (uint32_t attempt = 0; attempt < 16; ++attempt) {
    unique = static_cast<uint64_t>(::getpid()) << 32 | (base + step * attempt);
    const int fd = ::openat(fd_.get(), StagingName(unique).c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) made_ = true;
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace platform::posix

// POSIX times: the time now, the local day of a time, and the clocks of file
// systems, as their type tells or a probe shows.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "Platform.h"
#include "PosixFiles.h"

namespace platform {

FileTime CurrentTime() {
  struct timespec ts = {0, 0};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return TimeFromSeconds(ts.tv_sec, ts.tv_nsec);
}

int64_t LocalDay(FileTime t) {
  // Whole seconds, rounded down also before 1970.
  time_t seconds = static_cast<time_t>(t / kSecond);
  if (t % kSecond < 0) --seconds;
  struct tm tm;
  if (!localtime_r(&seconds, &tm)) {
    const int64_t days = seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0);
    return DayNumber(1970, 1, 1) + days;
  }
  return DayNumber(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

namespace posix {

FileTime ClockOfFsType(uint64_t type) {
  // The magic numbers of linux/magic.h (and of the file systems that keep
  // their own). FUSE stands for any file system behind it: exfat-fuse keeps
  // whole seconds, ntfs-3g 100 ns, sshfs what its server says.
  switch (type) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // xfs
    case 0x9123683E:  // btrfs
    case 0x01021994:  // tmpfs
    case 0x858458F6:  // ramfs
    case 0xF2F52010:  // f2fs
    case 0x2FC12FC1:  // zfs
    case 0xCA451A4E:  // bcachefs
      return 1;
    case 0x5346544E:  // ntfs
    case 0x7366746E:  // ntfs3
      return 100;
    case 0x2011BAB0:  // exfat
      return 10000000;
    case 0x4D44:  // msdos, vfat
      return 2 * kSecond;
    default:
      return 0;
  }
}

FileTime TypeClock(const std::string& dir) {
  struct statfs st;
  if (::statfs(dir.empty() ? "." : dir.c_str(), &st) != 0) return 0;
  return ClockOfFsType(static_cast<uint64_t>(st.f_type));
}

FileTime ProbeClock(Roots& roots, const std::string& dir) {
  bool links = false;
  const Fd in(roots.OpenDirectory(dir, links));
  struct stat before;
  if (in.get() < 0 || ::fstat(in.get(), &before) != 0) return 0;
  // Both times, as a copy sets them: exfat-fuse drops a last-write time
  // that comes without the access time.
  const struct timespec probe = {kProbeTime / kSecond, kProbeTime % kSecond};
  const struct timespec times[2] = {probe, probe};
  for (uint32_t attempt = 0; attempt < 16; ++attempt) {
    // Beyond the numbers that the copies of a run take.
    const uint64_t unique = static_cast<uint64_t>(::getpid()) << 32 | (0xC10C0000u + attempt);
    const std::string name = StagingName(unique);
    Fd fd(::openat(in.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                   0600));
    if (fd.get() < 0) {
      if (errno == EEXIST) continue;
      return 0;
    }
    const bool set = ::futimens(fd.get(), times) == 0;
    // Read back once closed, from the file system rather than the handle.
    fd.reset(-1);
    struct stat st;
    const bool read = set && ::fstatat(in.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    ::unlinkat(in.get(), name.c_str(), 0);
    // The directory keeps the times it had.
    const struct timespec had[2] = {before.st_atim, before.st_mtim};
    ::futimens(in.get(), had);
    return read ? ClockOfProbe(TimeFromSeconds(st.st_mtim.tv_sec, st.st_mtim.tv_nsec)) : 0;
  }
  return 0;
}

}  // namespace posix

}  // namespace platform

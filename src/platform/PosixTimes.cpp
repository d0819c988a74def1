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

FileTime TypeClock(const std::string& dir) {
  struct statfs st;
  if (::statfs(dir.empty() ? "." : dir.c_str(), &st) != 0) return 0;
  return FsTypeOf(static_cast<uint64_t>(st.f_type)).clock;
}

FileTime ProbeClock(Roots& roots, const std::string& dir) {
  ProbeDir in(roots, dir);
  uint64_t unique = 0;
  Fd fd(in.MakeFile(0xC10C0000u, 1, unique));
  if (fd.get() < 0) return 0;
  // Both times, as a copy sets them: exfat-fuse drops a last-write time
  // that comes without the access time.
  const struct timespec probe = {kProbeTime / kSecond, kProbeTime % kSecond};
  const struct timespec times[2] = {probe, probe};
  const bool set = ::futimens(fd.get(), times) == 0;
  // Read back once closed, from the file system rather than the handle.
  fd.reset(-1);
  const std::string name = StagingName(unique);
  struct stat st;
  const bool read = set && ::fstatat(in.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  ::unlinkat(in.get(), name.c_str(), 0);
  return read ? ClockOfProbe(TimeFromSeconds(st.st_mtim.tv_sec, st.st_mtim.tv_nsec)) : 0;
}

}  // namespace posix

}  // namespace platform

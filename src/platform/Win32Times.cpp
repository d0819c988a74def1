// Windows times: last-write times as FileTime, the time now, and the local
// calendar day of a time under the time-zone rules of its own year.
#include "Platform.h"
#include "Win32Files.h"

namespace platform {

namespace win32 {

FileTime ToFileTime(const FILETIME& utc) {
  return TimeFromTicks(static_cast<uint64_t>(utc.dwHighDateTime) << 32 | utc.dwLowDateTime);
}

}  // namespace win32

FileTime CurrentTime() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return win32::ToFileTime(now);
}

int64_t LocalDay(FileTime t) {
  const uint64_t ticks = TicksFromTime(t);
  const FILETIME utc = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME st, local;
  constexpr uint64_t kTicksPerDay = 864000000000;
  if (!::FileTimeToSystemTime(&utc, &st)) return DayNumber(1601, 1, 1) + ticks / kTicksPerDay;
  // FileTimeToLocalFileTime would apply today's offset from UTC: a summer
  // night's file would fall on the day before when asked in winter. The
  // zone's rules for the file's own year tell the offset at its time.
  TIME_ZONE_INFORMATION zone;
  const bool rules = ::GetTimeZoneInformationForYear(st.wYear, nullptr, &zone) != 0;
  if (::SystemTimeToTzSpecificLocalTime(rules ? &zone : nullptr, &st, &local)) st = local;
  return DayNumber(st.wYear, st.wMonth, st.wDay);
}

}  // namespace platform

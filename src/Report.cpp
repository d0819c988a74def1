// The report hand-off: saves a run's report lines as a numbered text file
// beside the executable (or in the user's state directory for an installed
// program or where that takes no files), clears old ones and has the file
// shown.
#include "Report.h"

#include <cstdint>

#include "Characters.h"
#include "DiskSpelling.h"

namespace {

// Report files of this executable: base name + "Temp" + anything + ".txt".
// The listing pattern says so already; the test again by name keeps a base
// name that holds a wildcard (possible on POSIX) from widening the clean-up.
bool IsReportFileName(std::string_view name, std::string_view base) {
  const std::string prefix = std::string(base) + "Temp";
  return name.size() >= prefix.size() + 4 &&
         SameIgnoringAsciiCase(name.substr(0, prefix.size()), prefix) &&
         SameIgnoringAsciiCase(name.substr(name.size() - 4), ".txt");
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
    // Only a file has a last-write time here: one gone meanwhile is passed over.
    platform::FileTime written;
    if (!fs.LastWriteTime(path, written)) continue;
    // In UTC: a change of daylight-saving time makes no report an hour older.
    const platform::FileTime now = platform::CurrentTime();
    constexpr platform::FileTime kTenMinutes = 600 * platform::kSecond;
    if (written <= now - kTenMinutes || written >= now + kTenMinutes) fs.DeleteFile(path);  // a link itself, never what it leads to
  }
}

}  // namespace

void ShowReportOn(platform::FileSystem& fs, const std::vector<std::string>& lines) {
  std::string dir, base;
  OutputDirAndBase(fs, dir, base);
  // Without a base name the pattern would be every Temp*.txt of the directory.
  if (!base.empty()) ClearOldReports(fs, dir, base);
  if (lines.empty()) return;
  const auto reportPath = [&](int64_t n) {
    return dir + base + "Temp" + std::to_string(n) + ".txt";
  };
  int64_t n = 1;
  while (fs.FileExists(reportPath(n))) ++n;
  // A report is a file of its own, never written through a link: a name
  // taken by what the lookup does not show as a file (a dangling link, a
  // report made meanwhile) is passed by for the next.
  while (!fs.SaveNewLines(reportPath(n), lines)) ++n;
  const std::string path = reportPath(n);
  platform::ShellOpen(path);
}

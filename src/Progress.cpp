// The status line of a run on a terminal.
#include "Progress.h"

#include <cstdio>

#include "platform/Platform.h"

namespace {

// A byte count in the largest binary unit that keeps it at 1 or more.
std::string Bytes(uint64_t n) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  if (n < 1024) return std::to_string(n) + " B";
  double v = static_cast<double>(n) / 1024;
  size_t unit = 0;
  while (v >= 1024 && unit + 1 < std::size(kUnits)) {
    v /= 1024;
    ++unit;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[unit]);
  return buf;
}

// m:ss, or h:mm:ss from the first hour on.
std::string Elapsed(int64_t seconds) {
  char buf[32];
  if (seconds < 3600) {
    std::snprintf(buf, sizeof buf, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  }
  return buf;
}

}  // namespace

std::string StatusText(const RunCounts& counts, int64_t seconds) {
  return std::to_string(counts.dirs) + " dirs, " + std::to_string(counts.checked) +
         " files checked, " + std::to_string(counts.copied) + " copied (" + Bytes(counts.bytes) +
         "), " + Elapsed(seconds);
}

void RunProgress::Start() {
  counts = RunCounts();
  wanted_ = platform::StatusLineWanted();
  drawn_ = false;
  sinceLook_ = kTicksPerLook - 1;  // the first tick draws
  start_ = next_ = Clock::now();
}

void RunProgress::Look() {
  sinceLook_ = 0;
  const Clock::time_point now = Clock::now();
  if (now < next_) return;
  next_ = now + std::chrono::milliseconds(100);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - start_).count();
  platform::ShowStatusLine(StatusText(counts, seconds));
  drawn_ = true;
}

void RunProgress::Waiting(const std::string& text) {
  if (!platform::StatusLineWanted()) {
    platform::TellNotice(text);
    return;
  }
  platform::ShowStatusLine(text);
  drawn_ = true;
}

void RunProgress::Erase() {
  if (!drawn_) return;
  platform::EraseStatusLine();
  drawn_ = false;
}

void RunProgress::End() {
  Erase();
  wanted_ = false;
}

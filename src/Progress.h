// The status line of a run on a terminal: how far the walk has come.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

struct RunCounts {
  uint64_t dirs = 0;     // directories walked
  uint64_t checked = 0;  // source files compared with stage 1
  uint64_t copied = 0;   // files copied into stage 1
  uint64_t bytes = 0;    // the bytes of those files
};

// The status line for `counts` after `seconds` of a run.
std::string StatusText(const RunCounts& counts, int64_t seconds);

// The counts of a run, drawn on standard error while the run goes on when
// that is a terminal, at most ten times a second, and erased at the end.
class RunProgress {
 public:
  RunProgress() = default;
  // A run that an error stops leaves no line behind.
  ~RunProgress() { End(); }
  RunProgress(const RunProgress&) = delete;
  RunProgress& operator=(const RunProgress&) = delete;

  RunCounts counts;

  // Zeroes the counts and starts the clock; the line is drawn only where the
  // platform wants one.
  void Start();
  // Draws the line when its time has come. The clock is read only every
  // few calls: a no-change run ticks for every file it checks.
  void Tick() {
    if (wanted_ && ++sinceLook_ >= kTicksPerLook) Look();
  }
  // Counts a file copied into stage 1; a copy takes long enough for the
  // clock to be read after each.
  void Copied(uint64_t bytes) {
    ++counts.copied;
    counts.bytes += bytes;
    if (wanted_) Look();
  }
  // Says, before the run starts, that it waits for another: as the line on
  // a terminal, until the run's own takes its place; otherwise on standard
  // error.
  void Waiting(const std::string& text);
  // Erases the line, if one is drawn; the next tick draws it again. Called
  // before anything else is written to standard error.
  void Erase();
  // Erases the line and draws no more.
  void End();

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr uint32_t kTicksPerLook = 64;
  void Look();

  bool wanted_ = false;
  uint32_t sinceLook_ = 0;
  bool drawn_ = false;
  Clock::time_point start_;
  Clock::time_point next_;
};

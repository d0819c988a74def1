// What a run tells: its report lines and the failures of what it decided,
// in the order it decided them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class RunProgress;

// The failures that one piece of work noted, in order, as "failed  " lines.
// A job on a worker fills notes of its own; the walk's thread hands them to
// the journal once the job is done.
struct Notes {
  // `path` could not be done, for `reason`.
  void Failed(const std::string& path, const std::string& reason);
  // The same, for the reason that the platform gives for the operation that
  // has just failed on this thread.
  void Failed(const std::string& path);

  std::vector<std::string> lines;
};

// The report lines of a run and the failures that wait for the next of
// them. Used by the walk's thread only.
class Journal {
 public:
  Journal(bool reportOn, RunProgress& progress) : reportOn_(reportOn), progress_(progress) {}

  // Notes a failure of the walk's own thread.
  void Failed(const std::string& path, const std::string& reason);
  void Failed(const std::string& path);
  // Adds the failures of a job, after those noted so far.
  void Add(std::vector<std::string> failures);
  // Writes `line` (none when empty) and after it every failure that waits,
  // each also told on the platform's error stream.
  void Tell(const std::string& line);

  // The failures that wait, taken out (still counted), and put back: a line
  // that waits behind unfinished work takes the failures noted before it.
  std::vector<std::string> Hold();
  void PutBack(std::vector<std::string> held, bool first);

  // How many failures the run noted in all.
  size_t Failures() const { return failures_; }
  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  const bool reportOn_;
  RunProgress& progress_;
  std::vector<std::string> lines_;
  std::vector<std::string> waiting_;
  size_t failures_ = 0;
};

// The report lines of a run and the failures told with them.
#include "engine/Journal.h"

#include "Progress.h"
#include "platform/Platform.h"

void Notes::Failed(const std::string& path, const std::string& reason) {
  lines.push_back("failed  " + platform::ShownPath(path) + "\t" + reason);
}

void Notes::Failed(const std::string& path) { Failed(path, platform::LastErrorText()); }

void Journal::Failed(const std::string& path, const std::string& reason) {
  Notes notes;
  notes.Failed(path, reason);
  Add(std::move(notes.lines));
}

void Journal::Failed(const std::string& path) { Failed(path, platform::LastErrorText()); }

void Journal::Add(std::vector<std::string> failures) {
  failures_ += failures.size();
  PutBack(std::move(failures), false);
}

void Journal::Tell(const std::string& line) {
  if (reportOn_ && !line.empty()) lines_.push_back(line);
  for (const std::string& failure : waiting_) {
    progress_.Erase();
    platform::TellFailure(failure);
    if (reportOn_) lines_.push_back(failure);
  }
  waiting_.clear();
}

std::vector<std::string> Journal::Hold() {
  std::vector<std::string> held;
  held.swap(waiting_);
  return held;
}

void Journal::PutBack(std::vector<std::string> held, bool first) {
  if (held.empty()) return;
  if (waiting_.empty()) {
    waiting_ = std::move(held);
    return;
  }
  waiting_.insert(first ? waiting_.begin() : waiting_.end(), std::make_move_iterator(held.begin()),
                  std::make_move_iterator(held.end()));
}

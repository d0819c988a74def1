// The registry of stage directories that the walk and the workers share.
#include "engine/StageRegistry.h"

#include <algorithm>

#include "Characters.h"

StageRegistry::StageRegistry(const std::vector<std::string>& dirs, std::vector<Root> roots)
    : dirs_(dirs), roots_(std::move(roots)), ready_(dirs.size()), made_(dirs.size()) {}

bool StageRegistry::IsRoot(const platform::FileId& id) {
  const MutexLock lock(mutex_);
  return std::any_of(roots_.begin(), roots_.end(),
                     [&](const Root& root) { return root.known && root.id == id; });
}

bool StageRegistry::UnmadeStageIn(const std::string& dir) {
  const MutexLock lock(mutex_);
  for (size_t k = 1; k < dirs_.size(); ++k) {
    if (!roots_[k].known && dirs_[k].compare(0, dir.size(), dir) == 0) return true;
  }
  return false;
}

bool StageRegistry::Unidentified(size_t k) {
  const MutexLock lock(mutex_);
  return k < roots_.size() && !roots_[k].known;
}

void StageRegistry::Identify(size_t k, bool known, const platform::FileId& id) {
  const MutexLock lock(mutex_);
  if (k >= roots_.size()) return;
  roots_[k].id = id;
  roots_[k].known = known;
}

bool StageRegistry::StartMaking(size_t k, const std::string& target) {
  // One thread makes a chain; one that needs it too waits for it, and tries
  // again itself only when it could not be made.
  const MutexLock lock(mutex_);
  while (making_.count(target)) mutex_.Wait(changed_);
  if (ready_[k].count(target)) return false;
  making_.insert(target);
  return true;
}

void StageRegistry::Made(size_t k, std::string target, const std::vector<std::string>& made,
                         bool ready) {
  {
    const MutexLock lock(mutex_);
    making_.erase(target);
    NoteMade(k, made);
    if (ready) NoteReady(k, std::move(target));
  }
  changed_.notify_all();
}

void StageRegistry::KnownReady(size_t k, const std::string& r) {
  const MutexLock lock(mutex_);
  NoteReady(k, dirs_[k] + r);
}

bool StageRegistry::MayHold(size_t k, const std::string& r, const std::string& name) {
  const MutexLock lock(mutex_);
  const auto dir = made_[k].find(dirs_[k] + r);
  return dir == made_[k].end() || dir->second.count(Fnv1a(name, true)) > 0;
}

void StageRegistry::NoteMovedIn(size_t k, const std::string& r, const std::string& name) {
  const MutexLock lock(mutex_);
  const auto dir = made_[k].find(dirs_[k] + r);
  if (dir != made_[k].end() && HoldOneMore()) dir->second.insert(Fnv1a(name, true));
}

void StageRegistry::Forget(size_t k, const std::string& r) {
  const std::string dir = dirs_[k] + r;
  const auto below = [&](const std::string& path) { return path.compare(0, dir.size(), dir) == 0; };
  const MutexLock lock(mutex_);
  std::erase_if(ready_[k], below);
  std::erase_if(made_[k], [&](const auto& made) { return below(made.first); });
}

void StageRegistry::NoteReady(size_t k, std::string target) {
  if (ready_[k].size() >= kMaxReady) ready_[k].clear();
  ready_[k].insert(std::move(target));
}

void StageRegistry::NoteMade(size_t k, const std::vector<std::string>& made) {
  if (k < 2) return;
  for (const std::string& dir : made) {
    std::string key = dir + platform::PathDelim;
    // Another chain found it there before this one was done, and may have
    // moved names into it: nothing is known of what it holds.
    if (ready_[k].count(key)) continue;
    if (!HoldOneMore()) return;
    made_[k][std::move(key)];
  }
}

// Counts one more thing that made_ is to hold; false when it would hold too
// many, and forgets all instead: a move down then looks as it would without.
bool StageRegistry::HoldOneMore() {
  if (++madeHeld_ <= kMaxMadeHeld) return true;
  for (auto& dirs : made_) dirs.clear();
  madeHeld_ = 0;
  return false;
}

// The one registry that the walk and the workers share: which directories
// of the stages are known to be there, which are being made, what the
// directories a run made hold, and the identities of the source and the
// stages. Everything in it is guarded by its own mutex.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ThreadSafety.h"
#include "platform/Platform.h"

// Identity of the source (entry 0) or of a stage, once it exists. A
// directory with one of these identities is never walked as a subdirectory:
// a stage inside the source is not backed up into itself, and a source
// inside stage 1 is not taken for stale stage content.
struct Root {
  platform::FileId id;
  bool known = false;
};

class StageRegistry {
 public:
  // `dirs`: the source and the stages, which outlive the registry.
  StageRegistry(const std::vector<std::string>& dirs, std::vector<Root> roots);

  // True when a directory of this identity is the source or a stage.
  bool IsRoot(const platform::FileId& id) EXCLUDES(mutex_);
  // True when the directory `dir` may be a stage that does not exist yet.
  bool UnmadeStageIn(const std::string& dir) EXCLUDES(mutex_);
  // Whether stage k (which a chain may have just made) is still to be
  // identified, and its identity once it is.
  bool Unidentified(size_t k) EXCLUDES(mutex_);
  void Identify(size_t k, bool known, const platform::FileId& id) EXCLUDES(mutex_);

  // Makes ready the directory `target` of stage k: false at once when it is
  // known to be there. Otherwise waits while another thread makes it, and
  // true: the caller makes it now and then calls Made.
  bool StartMaking(size_t k, const std::string& target) EXCLUDES(mutex_);
  // What the caller of StartMaking made (`made`, parents first), and
  // whether `target` is there now.
  void Made(size_t k, std::string target, const std::vector<std::string>& made, bool ready)
      EXCLUDES(mutex_);
  // Notes that the directory `r` of stage k is there.
  void KnownReady(size_t k, const std::string& r) EXCLUDES(mutex_);

  // False when the file `name` of the directory `r` of stage k cannot be
  // there: this run made the directory and moved no such name into it.
  bool MayHold(size_t k, const std::string& r, const std::string& name) EXCLUDES(mutex_);
  // Notes that the file `name` may be in the directory `r` of stage k now.
  void NoteMovedIn(size_t k, const std::string& r, const std::string& name) EXCLUDES(mutex_);
  // Forgets what is noted of the directory `r` of stage k and below it: it
  // has moved on, or been dropped, to make room for an entry of another kind.
  void Forget(size_t k, const std::string& r) EXCLUDES(mutex_);

 private:
  static constexpr size_t kMaxReady = 1024;
  // About 2 MiB of made directories and the names moved into them.
  static constexpr size_t kMaxMadeHeld = 1 << 15;

  void NoteReady(size_t k, std::string target) REQUIRES(mutex_);
  void NoteMade(size_t k, const std::vector<std::string>& made) REQUIRES(mutex_);
  bool HoldOneMore() REQUIRES(mutex_);

  const std::vector<std::string>& dirs_;
  Mutex mutex_;
  std::condition_variable changed_;  // a chain is made, or could not be
  std::vector<Root> roots_ GUARDED_BY(mutex_);
  // Per stage, directories found or made, so that a chain is made once for
  // the files of a directory. The walk never removes a stage directory, so
  // what is noted stays true.
  std::vector<std::unordered_set<std::string>> ready_ GUARDED_BY(mutex_);
  std::unordered_set<std::string> making_ GUARDED_BY(mutex_);
  // Per stage after the first, directories this run made, each with the
  // names (folded) moved into it since: a name not among them is not
  // there. A first rotation makes one for every directory that changed;
  // madeHeld_ counts what they hold, which stays bounded.
  std::vector<std::unordered_map<std::string, std::unordered_set<uint64_t>>> made_
      GUARDED_BY(mutex_);
  size_t madeHeld_ GUARDED_BY(mutex_) = 0;
};

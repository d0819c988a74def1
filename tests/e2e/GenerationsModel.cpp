// The reference model of the generations: one run of the program over a
// source tree, as it changes the stages and what it reports.
#include "e2e/GenerationsModel.h"

#include <algorithm>
#include <string_view>

#include "platform/Platform.h"

namespace model {

std::string Parent(const std::string& path) {
  if (path.size() < 2) return "";
  const size_t slash = path.rfind('/', path.size() - 2);
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool IsUnder(const std::string& path, const std::string& dir) {
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0;
}

// The walk enters no directory whose name the platform passes over (on
// Windows those that begin with ".").
bool Walked(const std::string& path) {
  for (size_t at = 0, slash; (slash = path.find('/', at)) != std::string::npos; at = slash + 1) {
    if (!platform::IsWalkedDirName(std::string_view(path).substr(at, slash - at))) return false;
  }
  return true;
}

namespace {

// A transfer makes the target's directory chain.
void AddChain(Tree& tree, const std::string& path) {
  tree.dirs.insert("");
  for (size_t slash = 0; (slash = path.find('/', slash)) != std::string::npos; ++slash) {
    tree.dirs.insert(path.substr(0, slash + 1));
  }
}

// The directories above `path` (a directory path: not itself), top down,
// the top "" left out.
std::vector<std::string> Parents(const std::string& path) {
  std::vector<std::string> dirs;
  const size_t end = path.empty() ? 0 : path.size() - 1;
  for (size_t slash = 0; (slash = path.find('/', slash)) != std::string::npos && slash < end;
       ++slash) {
    dirs.push_back(path.substr(0, slash + 1));
  }
  return dirs;
}

size_t Size(const Version& v) { return v.kind == Kind::Fifo ? 0 : v.content.size(); }

// Whether the source entry is to be backed up over what stage 1 holds under
// its name. Another size is another content, whichever copy is newer; a
// change of kind is a change, whatever the times and sizes.
bool Changed(const Version& source, const Version& stage) {
  if (source.kind != stage.kind) return true;
  return source.time > stage.time || Size(source) != Size(stage);
}

Line Failure(const std::string& path, int tree) { return {false, path, tree}; }

// A source file with more than one name, as far as this run has come.
struct Group {
  bool failed = false;  // its copy could not be made or placed: no name of it moves
  bool placed = false;  // `copy` has a name in stage 1
  Version copy;
};

class Runner {
 public:
  Runner(const Tree& source, Stages& stages, bool keepExtra, const Faults& faults)
      : source_(source),
        stages_(stages),
        st_(stages.trees),
        keepExtra_(keepExtra),
        faults_(faults) {}

  std::vector<Line> Run() {
    MakeSourceDirs();
    BackUpEntries();
    if (!keepExtra_) {
      RetireStaleEntries();
      RemoveEmptiedDirs();
    }
    return std::move(lines_);
  }

 private:
  void Tell(Line line) {
    line.loose = loose_;
    lines_.push_back(std::move(line));
  }

  // Whether the directory `dir` of stage k takes and gives no entries.
  bool Blocked(size_t k, const std::string& dir) const {
    return faults_.readOnly && k == 1 && dir == *faults_.readOnly;
  }

  // Moves stage k's entry at `path` (a directory with everything below it)
  // one stage on, making room in the next stage first: what stands in the
  // way there moves on by the same rule, and only the last stage's entry is
  // dropped. A move that fails is told and leaves the entry where it was.
  // True when stage k holds nothing at `path` any more.
  bool PushOn(size_t k, const std::string& path) {
    if (!path.empty() && path.back() == '/') return PushOnDir(k, path);
    Tree& from = st_[k];
    if (!from.files.count(path)) return true;
    const int told = static_cast<int>(k) + 1;
    if (k + 1 == st_.size()) {
      if (Blocked(k, Parent(path))) {
        Tell(Failure(path, told));
        return false;
      }
      from.files.erase(path);
      return true;
    }
    Tree& to = st_[k + 1];
    const bool last = k + 2 == st_.size();
    // An entry of another kind in the way tells why it stays; the move
    // waiting for it tells nothing more. A directory that cannot be made
    // for the move is told too.
    for (const std::string& dir : Parents(path)) {
      const std::string file = dir.substr(0, dir.size() - 1);
      if (to.files.count(file) && !PushOn(k + 1, file)) {
        Tell(Failure(dir, told + 1));
        return false;
      }
    }
    if (to.dirs.count(path + "/") && !PushOn(k + 1, path + "/")) return false;
    // The last stage's copy gives way only once the new one has arrived; a
    // move onto a copy that could not move on fails.
    if (!last && to.files.count(path) && !PushOn(k + 1, path)) {
      Tell(Failure(path, told));
      return false;
    }
    for (const std::string& dir : Parents(path)) {
      if (to.dirs.count(dir)) continue;
      if (Blocked(k + 1, Parent(dir))) {
        Tell(Failure(dir, told + 1));
        return false;
      }
      break;
    }
    // The directories are made before the move is tried.
    AddChain(to, path);
    if (Blocked(k, Parent(path)) || Blocked(k + 1, Parent(path))) {
      Tell(Failure(path, told));
      return false;
    }
    to.files[path] = from.files[path];
    from.files.erase(path);
    return true;
  }

  // A directory moves on whole, merging into a directory of the next stage
  // entry by entry, each as a rotation moves it; the last stage's is
  // dropped. One that the next stage lacks is renamed there with all below
  // it where both parents and the directory itself may be changed.
  bool PushOnDir(size_t k, const std::string& dir) {
    Tree& from = st_[k];
    std::vector<std::string> dirs, below;
    for (const std::string& d : from.dirs) {
      if (d == dir || IsUnder(d, dir)) dirs.push_back(d);
    }
    for (const auto& [file, v] : from.files) {
      if (IsUnder(file, dir)) below.push_back(file);
    }
    std::vector<std::string> stuck;  // directories the next stage cannot get
    const auto underStuck = [&](const std::string& path) {
      return std::any_of(stuck.begin(), stuck.end(),
                         [&](const std::string& d) { return path == d || IsUnder(path, d); });
    };
    if (k + 1 < st_.size()) {
      Tree& to = st_[k + 1];
      for (const std::string& above : Parents(dir)) {
        const std::string file = above.substr(0, above.size() - 1);
        if (to.files.count(file) && !PushOn(k + 1, file)) {
          Tell(Failure(above, static_cast<int>(k) + 2));
          return false;
        }
      }
      const std::string file = dir.substr(0, dir.size() - 1);
      if (to.files.count(file) && !PushOn(k + 1, file)) return false;
      if (!to.dirs.count(dir) && !Blocked(k, Parent(dir)) && !Blocked(k + 1, Parent(dir)) &&
          !Blocked(k, dir)) {
        for (const std::string& d : dirs) AddChain(to, d);
        for (const std::string& path : below) to.files[path] = from.files[path];
        for (const std::string& path : below) from.files.erase(path);
        for (const std::string& d : dirs) from.dirs.erase(d);
        return true;
      }
      for (const std::string& d : dirs) {
        if (underStuck(d)) continue;
        const std::string name = d.substr(0, d.size() - 1);
        if (to.files.count(name) && !PushOn(k + 1, name)) {
          stuck.push_back(d);
        } else if (!to.dirs.count(d) && Blocked(k + 1, Parent(d))) {
          Tell(Failure(d, static_cast<int>(k) + 2));
          stuck.push_back(d);
        } else {
          AddChain(to, d);
        }
      }
    }
    for (const std::string& path : below) {
      if (!underStuck(path)) PushOn(k, path);
    }
    RemoveEmptied(k, dir, false);
    return !from.dirs.count(dir);
  }

  // Removes the directory `dir` of stage k and those below it, deepest
  // first, where no entry is left in them; with `tell`, as lines.
  void RemoveEmptied(size_t k, const std::string& dir, bool tell) {
    Tree& tree = st_[k];
    std::vector<std::string> dirs;
    for (const std::string& d : tree.dirs) {
      if (d == dir || IsUnder(d, dir)) dirs.push_back(d);
    }
    for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) {
      const auto file = tree.files.lower_bound(*it);
      if (file != tree.files.end() && IsUnder(file->first, *it)) continue;
      const auto sub = tree.dirs.upper_bound(*it);
      if (sub != tree.dirs.end() && IsUnder(*sub, *it)) continue;
      if (Blocked(k, Parent(*it))) {
        Tell(Failure(*it, static_cast<int>(k) + 1));
        continue;
      }
      tree.dirs.erase(*it);
      if (tell) Tell({false, *it});
    }
  }

  // Stage 1's directory `dir` gives way to a source entry of another kind:
  // every file below it leaves as a stale file does, and the emptied
  // directories go; with /A, it moves down whole as one entry, and with one
  // stage only it stays. True when it is gone.
  bool RetireDir(const std::string& dir) {
    if (keepExtra_) return st_.size() > 1 && PushOnDir(0, dir);
    loose_ = true;
    retiredDirs_.insert(dir);
    std::vector<std::string> below;
    for (const auto& [file, v] : st_[0].files) {
      if (IsUnder(file, dir)) below.push_back(file);
    }
    for (const std::string& file : below) {
      Tell({false, file});
      PushOn(0, file);
    }
    RemoveEmptied(0, dir, true);
    loose_ = false;
    return !st_[0].dirs.count(dir);
  }

  // Stage 1 gets every directory that the walk enters, empty or not; an
  // entry of another kind in its place leaves first, as a stale file does.
  void MakeSourceDirs() {
    for (const std::string& dir : source_.dirs) {
      if (!Walked(dir)) continue;
      const std::string above = Unmade(dir);
      if (!above.empty()) {
        unmade_[dir] = above;
        continue;
      }
      const std::string name = dir.empty() ? dir : dir.substr(0, dir.size() - 1);
      if (!dir.empty() && st_[0].files.count(name)) {
        kindChanged_.insert(name);
        // With /A nothing is told as deleted: the entry moves down as a
        // directory replaced by a file does.
        loose_ = true;
        if (!keepExtra_) Tell({false, name});
        const bool gone = PushOn(0, name);
        loose_ = false;
        if (!gone) {
          unmade_[dir] = dir;
          continue;
        }
      }
      AddChain(st_[0], dir);
    }
  }

  // The directory at or above `dir` that stage 1 cannot get, or "".
  std::string Unmade(const std::string& dir) const {
    for (std::string d = dir;; d = Parent(d)) {
      const auto it = unmade_.find(d);
      if (it != unmade_.end()) return it->second;
      if (d.empty()) return "";
    }
  }

  // The source's entries that are backed up, in the walk's order.
  std::vector<std::string> BackedUp() const {
    std::vector<std::string> paths;
    if (faults_.order.empty()) {
      for (const auto& [path, v] : source_.files) paths.push_back(path);
    } else {
      paths = faults_.order;
    }
    std::vector<std::string> backedUp;
    for (const std::string& path : paths) {
      const auto it = source_.files.find(path);
      if (it != source_.files.end() && it->second.kind != Kind::Socket && Walked(path)) {
        backedUp.push_back(path);
      }
    }
    return backedUp;
  }

  // Every source entry that stage 1 lacks or holds in another version is
  // copied, after stage 1's entry has moved down. The names of one source
  // file are one file in stage 1: a name that stage 1 holds up to date is
  // the one the others become; otherwise the first copied is.
  void BackUpEntries() {
    const std::vector<std::string> paths = BackedUp();
    std::map<int, int> names;
    for (const std::string& path : paths) {
      const Version& v = source_.files.at(path);
      if (v.kind == Kind::File && !faults_.noLinks) ++names[v.id];
    }
    std::map<int, std::string> upToDate;  // a file's first name that stage 1 holds up to date
    std::set<std::string> due;
    for (const std::string& path : paths) {
      const Version& v = source_.files.at(path);
      const auto held = st_[0].files.find(path);
      if (!Unmade(Parent(path)).empty() || st_[0].dirs.count(path + "/") ||
          held == st_[0].files.end() || Changed(v, held->second)) {
        due.insert(path);
      } else if (v.kind == Kind::File && names[v.id] > 1 && !upToDate.count(v.id)) {
        upToDate[v.id] = path;
      }
    }
    std::map<int, Group> groups;
    for (const std::string& path : paths) {
      if (!due.count(path)) continue;
      const Version& v = source_.files.at(path);
      // A stage-1 directory of that name leaves first (with the walk of the
      // directory, before the decision); one that stays is told instead.
      if (!keepExtra_ && st_[0].dirs.count(path + "/") && !RetireDir(path + "/")) {
        loose_ = true;
        Tell(Failure(path, 0));
        loose_ = false;
        continue;
      }
      Tell({true, path});
      const bool linked = v.kind == Kind::File && names[v.id] > 1;
      Group& group = groups[linked ? v.id : 0];
      const auto up = linked ? upToDate.find(v.id) : upToDate.end();
      const bool copies = !linked || (up == upToDate.end() && !group.placed);
      const std::string unmade = Unmade(Parent(path));
      if (!unmade.empty()) {
        Tell(Failure(unmade, 1));
        if (copies && linked) group.failed = true;
        continue;
      }
      if (linked && up == upToDate.end() && group.failed) {
        Tell(Failure(path, 0));
        continue;
      }
      if (copies && v.kind == Kind::File && faults_.torn.count(v.id) && !v.content.empty()) {
        Tell(Failure(path, 0));
        if (linked) group.failed = true;
        continue;
      }
      bool room = true;
      if (st_[0].dirs.count(path + "/")) {
        room = RetireDir(path + "/");
      } else if (st_[0].files.count(path)) {
        room = PushOn(0, path);
      }
      if (st_[0].dirs.count(path + "/")) {
        // What stayed of the directory was told; a copy that cannot take
        // its place is told too.
        if (keepExtra_ && st_.size() == 1) Tell(Failure(path, 0));
        if (copies && linked) group.failed = true;
        continue;
      }
      if (!room) {
        // The copy is not placed: the file's other names do not become it.
        if (copies && linked) group.failed = true;
        continue;
      }
      if (!copies) {
        st_[0].files[path] = up != upToDate.end() ? st_[0].files.at(up->second) : group.copy;
      } else {
        Version copy = v;
        copy.id = v.kind == Kind::File ? ++stages_.copies : 0;
        st_[0].files[path] = copy;
        if (linked) {
          group.copy = copy;
          group.placed = true;
        }
      }
      AddChain(st_[0], path);
    }
  }

  // Stage-1 entries that the source lacks, or has as an entry that is not
  // backed up (a socket), leave stage 1.
  void RetireStaleEntries() {
    std::vector<std::string> stale;
    for (const auto& [path, v] : st_[0].files) {
      if (kindChanged_.count(path)) continue;
      if (std::any_of(retiredDirs_.begin(), retiredDirs_.end(),
                      [&file = path](const std::string& dir) { return IsUnder(file, dir); })) {
        continue;
      }
      const auto it = source_.files.find(path);
      if (it == source_.files.end() || it->second.kind == Kind::Socket || !Walked(path)) {
        stale.push_back(path);
      }
    }
    for (const std::string& path : stale) {
      Tell({false, path});
      PushOn(0, path);
    }
  }

  // Stage-1 directories with no entry below them go, unless the source has
  // them (the top always has its source).
  void RemoveEmptiedDirs() {
    Tree& first = st_[0];
    for (const std::string& dir : Dirs(first.dirs)) {
      if (source_.dirs.count(dir)) continue;
      const auto below = first.files.lower_bound(dir);
      if (below != first.files.end() && IsUnder(below->first, dir)) continue;
      first.dirs.erase(dir);
      Tell({false, dir});
    }
  }

  const Tree& source_;
  Stages& stages_;
  std::vector<Tree>& st_;
  const bool keepExtra_;
  const Faults& faults_;
  std::vector<Line> lines_;
  bool loose_ = false;
  std::map<std::string, std::string>
      unmade_;                         // source directory -> the one above that cannot be made
  std::set<std::string> kindChanged_;  // stage-1 files whose source is a directory now
  std::set<std::string> retiredDirs_;  // stage-1 directories whose source is no directory now
};

}  // namespace

std::vector<Line> ModelRun(const Tree& source, Stages& stages, bool keepExtra,
                           const Faults& faults) {
  return Runner(source, stages, keepExtra, faults).Run();
}

}  // namespace model

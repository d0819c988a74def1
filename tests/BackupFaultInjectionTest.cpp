// Faults injected at the file-system boundary. In turn, every copy, move,
// flush, naming, delete, directory creation and directory removal of a run
// fails, with the error the platform would give, or finds its file already
// gone. The run must
// go on, decide what a run without the fault decides, and lose no version
// that such a run keeps; the next run must catch up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <set>

#include "Backup.h"
#include "platform/Platform.h"
#include "support/RecordingFileSystem.h"
#include "support/TestSupport.h"

namespace {

using Call = test::RecordingFileSystem::Call;
namespace stdfs = std::filesystem;

const std::string d(1, platform::PathDelim);

enum class Fault { NoSpace, PermissionDenied, CrossDevice, Vanished, IoError };

struct Injection {
  const char* op;
  Fault fault;
};

// The errors each operation can meet: a full disk, a denied access, a move
// between devices, a file or directory that someone else removed first, and
// a device that failed to write a staged copy's data.
const Injection kInjections[] = {
    {"StageCopy", Fault::NoSpace},
    {"StageCopy", Fault::PermissionDenied},
    {"StageCopy", Fault::Vanished},
    {"Flush", Fault::IoError},
    {"PlaceStaged", Fault::PermissionDenied},
    {"MoveFile", Fault::NoSpace},
    {"MoveFile", Fault::PermissionDenied},
    {"MoveFile", Fault::CrossDevice},
    {"DeleteFile", Fault::PermissionDenied},
    {"DeleteFile", Fault::Vanished},
    {"CreateDir", Fault::NoSpace},
    {"CreateDir", Fault::PermissionDenied},
    {"RemoveDir", Fault::PermissionDenied},
    {"RemoveDir", Fault::Vanished},
    {"KeepDirAttributes", Fault::PermissionDenied},
    {"MatchDirectory", Fault::PermissionDenied},
};

const char* Name(Fault f) {
  switch (f) {
    case Fault::NoSpace:
      return "no space";
    case Fault::PermissionDenied:
      return "permission denied";
    case Fault::CrossDevice:
      return "cross-device";
    case Fault::Vanished:
      return "vanished";
    case Fault::IoError:
      return "I/O error";
  }
  return "";
}

// Every file below the source and the stages: "tree/relative path" -> contents.
using Snapshot = std::map<std::string, std::string>;

// A history of runs made from a seed: the same seed gives the same trees,
// the same last change and the same run, wherever it is built.
class Scenario {
 public:
  Scenario(uint32_t seed, const std::string& root)
      : rng_(seed), root_(root), stages_(seed % 2 ? 3 : 1), keepExtra_(seed % 3 == 0) {}

  std::vector<std::string> Dirs() const {
    std::vector<std::string> dirs{Tree(0) + d};
    for (int k = 1; k <= stages_; ++k) dirs.push_back(Tree(k) + d);
    return dirs;
  }
  bool KeepExtra() const { return keepExtra_; }

  // A source backed up over three runs and then changed once more.
  void Prepare() {
    for (int i = 0; i < 8; ++i) Add();
    test::RecordingFileSystem fs;
    fs.sortListings = true;
    for (int run = 0; run < 3; ++run) {
      Run(fs);
      Mutate();
    }
  }

  // The report lines of one run, with the scenario's root spelled "~";
  // `clean`, when given, tells what the run returned.
  std::vector<std::string> Run(platform::FileSystem& fs, bool* clean = nullptr) const {
    std::vector<std::string> lines;
    OptionSet options;
    options.dirList = Dirs();
    options.reportOn = true;
    options.keepExtra = keepExtra_;
    const bool done = RunBackupOn(
        fs, options, [&](const std::vector<std::string>& l) { lines = l; }, test::TestWorkers());
    if (clean) *clean = done;
    for (std::string& line : lines) {
      const size_t at = line.find(root_);
      if (at != std::string::npos) line.replace(at, root_.size(), "~");
    }
    return lines;
  }

  Snapshot Take() const {
    Snapshot snap;
    const std::vector<std::string> dirs = Dirs();
    for (size_t k = 0; k < dirs.size(); ++k) {
      for (const std::string& rel : test::ListTree(dirs[k])) {
        snap[std::to_string(k) + "/" + rel] = test::ReadFile(test::Join(dirs[k], rel));
      }
    }
    return snap;
  }

 private:
  std::string Tree(int k) const {
    return test::Join(root_, k == 0 ? "src" : "bk" + std::to_string(k));
  }

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  // Writes a new version with a later time; every version's contents differ.
  void Write(const std::string& rel) {
    const int version = ++files_[rel];
    const std::string path = test::Join(Tree(0), rel);
    test::WriteFile(path, rel + "#" + std::to_string(version) + std::string(Pick(4), '+'));
    ++clock_;
    test::SetLocalMTime(path, 2020, 1, 1 + clock_ / 24, clock_ % 24);
  }

  void Add() {
    static const char* const kDirs[] = {"", "a/", "a/b/", "c/", "c/d/e/"};
    Write(std::string(kDirs[Pick(5)]) + "f" + std::to_string(Pick(12)));
  }

  void Remove(const std::string& rel) {
    stdfs::remove(test::Join(Tree(0), rel));
    files_.erase(rel);
  }

  void Mutate() {
    for (int i = 0; i < 6; ++i) {
      const int what = Pick(6);
      if (files_.empty() || what == 0) {
        Add();
        continue;
      }
      auto it = files_.begin();
      std::advance(it, Pick(static_cast<int>(files_.size())));
      const std::string rel = it->first;
      if (what <= 3) {
        Write(rel);
      } else if (what == 4) {
        Remove(rel);
      } else {
        // The whole directory of the file goes.
        const std::string dir = rel.substr(0, rel.rfind('/') + 1);
        if (dir.empty()) continue;
        std::vector<std::string> gone;
        for (const auto& [name, v] : files_) {
          if (name.compare(0, dir.size(), dir) == 0) gone.push_back(name);
        }
        for (const std::string& name : gone) Remove(name);
        stdfs::remove_all(test::Join(Tree(0), dir));
      }
    }
    while (files_.size() < 5) Add();
  }

  std::mt19937 rng_;
  std::string root_;
  int stages_;
  bool keepExtra_;
  std::map<std::string, int> files_;  // source file -> its latest version
  int clock_ = 0;                     // hours since the first write
};

std::multiset<std::string> Versions(const Snapshot& snap) {
  std::multiset<std::string> versions;
  for (const auto& [path, contents] : snap) versions.insert(contents);
  return versions;
}

// Versions in `before` that `after` no longer holds anywhere.
std::set<std::string> Lost(const Snapshot& before, const Snapshot& after) {
  const std::multiset<std::string> kept = Versions(after);
  std::set<std::string> lost;
  for (const auto& [path, contents] : before) {
    if (!kept.count(contents)) lost.insert(contents);
  }
  return lost;
}

bool IsFailure(const std::string& line) { return line.compare(0, 8, "failed  ") == 0; }

// The decisions of the walk: file lines. The lines of the empty-directory
// pass depend on what the walk achieved, not only on what it decided.
std::vector<std::string> WalkLines(const std::vector<std::string>& lines) {
  std::vector<std::string> walk;
  for (const std::string& line : lines) {
    if (!IsFailure(line) && (line.empty() || line.back() != platform::PathDelim))
      walk.push_back(line);
  }
  return walk;
}

std::vector<std::string> FailureLines(const std::vector<std::string>& lines) {
  std::vector<std::string> failures;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(failures), IsFailure);
  return failures;
}

// The failure line that an injected fault implies first, "~" for the root;
// empty for a file or directory that vanished before it was deleted, which
// is as good as deleted.
std::string ImpliedFailure(const Injection& inj, const Call& call, const std::string& root) {
  const bool vanished = inj.fault == Fault::Vanished;
  if (vanished && inj.op != std::string("StageCopy")) return "";
  // The directory operations act on their target.
  const bool onTarget =
      inj.op == std::string("KeepDirAttributes") || inj.op == std::string("MatchDirectory");
  std::string path = "~" + (onTarget ? call.to : call.path).substr(root.size());
  if (inj.op == std::string("CreateDir") || inj.op == std::string("KeepDirAttributes")) {
    path += platform::PathDelim;
  }
  std::string line = "failed  " + path + "\t";
  if (vanished) return line;  // its reason is the file system's own
  test::SetPlatformError(inj.fault == Fault::NoSpace ? test::PlatformError::NoSpace
                         : inj.fault == Fault::PermissionDenied
                             ? test::PlatformError::PermissionDenied
                         : inj.fault == Fault::IoError ? test::PlatformError::IoError
                                                       : test::PlatformError::CrossDevice);
  return line + platform::LastErrorText();
}

Snapshot StageOne(const Snapshot& snap) {
  Snapshot one;
  for (const auto& [path, contents] : snap) {
    if (path.compare(0, 2, "1/") == 0) one[path] = contents;
  }
  return one;
}

// A copy's temporary file left in a stage.
bool IsTemporary(const std::string& path) {
  return platform::IsStagingName(path.substr(path.rfind('/') + 1));
}

// What a run without faults does from a scenario's state.
struct Reference {
  std::map<std::string, int> operations;  // per kind of change
  std::vector<std::string> walkLines;
  std::set<std::string> lost;  // versions that such a run drops by design
  Snapshot stageOneAfterNextRun;
};

Reference RunWithoutFaults(uint32_t seed) {
  test::TempDir tmp;
  Scenario scenario(seed, tmp.path());
  scenario.Prepare();
  const Snapshot before = scenario.Take();
  test::RecordingFileSystem fs;
  fs.sortListings = true;
  Reference ref;
  ref.walkLines = WalkLines(scenario.Run(fs));
  for (const Injection& inj : kInjections)
    ref.operations[inj.op] = static_cast<int>(fs.Count(inj.op));
  ref.lost = Lost(before, scenario.Take());
  scenario.Run(fs);
  ref.stageOneAfterNextRun = StageOne(scenario.Take());
  return ref;
}

// Fails the n-th call of the injection's operation. A vanished file or
// directory is removed for real just before the call, which then fails by
// itself; the other faults fail the call with their error.
class Injector {
 public:
  Injector(const Injection& inj, int n) : inj_(inj), n_(n) {}

  bool operator()(const Call& call) {
    if (call.op != inj_.op || ++seen_ != n_) return false;
    target_ = call.to;
    call_ = call;
    switch (inj_.fault) {
      case Fault::Vanished:
        if (call.op == std::string("StageCopy") && test::IsFile(call.path)) {
          vanished_.insert(test::ReadFile(call.path));
        }
        if (call.op == std::string("RemoveDir")) {
          std::error_code ec;
          stdfs::remove(call.path, ec);  // only when empty
        } else {
          stdfs::remove(call.path);
        }
        return false;
      case Fault::NoSpace:
        test::SetPlatformError(test::PlatformError::NoSpace);
        return true;
      case Fault::PermissionDenied:
        test::SetPlatformError(test::PlatformError::PermissionDenied);
        return true;
      case Fault::IoError:
        test::SetPlatformError(test::PlatformError::IoError);
        return true;
      case Fault::CrossDevice:
        // The platform's own move copes with devices; this is the case where
        // its copy across them failed as well.
        test::SetPlatformError(test::PlatformError::CrossDevice);
        return true;
    }
    return false;
  }

  bool Fired() const { return seen_ >= n_; }
  // The target of the failed copy or move.
  const std::string& Target() const { return target_; }
  const Call& Injected() const { return call_; }
  const std::set<std::string>& Vanished() const { return vanished_; }

 private:
  Injection inj_;
  int n_;
  int seen_ = 0;
  std::string target_;
  Call call_;
  std::set<std::string> vanished_;
};

// Scenarios to go through: KOVREL_FAULT_SCENARIOS, for longer runs by hand
// (bench/soak), or a handful that keeps the suite quick under Wine too.
uint32_t ScenarioCount() {
  const char* count = std::getenv("KOVREL_FAULT_SCENARIOS");
  return count && *count ? static_cast<uint32_t>(std::strtoul(count, nullptr, 10)) : 6;
}

TEST(FaultInjection, NoFaultLosesAVersionOrChangesADecision) {
  int injected = 0;
  int scenarios = 0;
  for (uint32_t seed = 1; seed <= ScenarioCount(); ++seed) {
    const Reference ref = RunWithoutFaults(seed);
    ++scenarios;
    ASSERT_FALSE(ref.walkLines.empty()) << "seed " << seed;
    for (const Injection& inj : kInjections) {
      for (int n = 1; n <= ref.operations.at(inj.op); ++n) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", " + inj.op + " #" + std::to_string(n) +
                     ": " + Name(inj.fault));
        test::TempDir tmp;
        Scenario scenario(seed, tmp.path());
        scenario.Prepare();
        const Snapshot before = scenario.Take();

        test::RecordingFileSystem fs;
        fs.sortListings = true;
        auto injector = std::make_shared<Injector>(inj, n);
        fs.failIf = [injector](const Call& call) { return (*injector)(call); };
        bool clean = false;
        const std::vector<std::string> lines = scenario.Run(fs, &clean);
        ASSERT_TRUE(injector->Fired());
        ++injected;

        // The run went on to the end and decided as it would have.
        EXPECT_EQ(ref.walkLines, WalkLines(lines));
        // What it could not do is told, the injected fault first, and the
        // run says so.
        const std::vector<std::string> failures = FailureLines(lines);
        const std::string implied = ImpliedFailure(inj, injector->Injected(), tmp.path());
        EXPECT_EQ(failures.empty(), clean);
        if (implied.empty()) {
          EXPECT_TRUE(failures.empty()) << failures[0];
        } else {
          ASSERT_FALSE(failures.empty());
          EXPECT_EQ(implied, failures[0].substr(0, std::min(failures[0].size(), implied.size())));
        }
        // Only what the run drops anyway, or what vanished, may be gone.
        const Snapshot after = scenario.Take();
        for (const std::string& version : Lost(before, after)) {
          EXPECT_TRUE(ref.lost.count(version) || injector->Vanished().count(version))
              << "lost " << version;
        }
        for (const auto& [path, contents] : after) {
          EXPECT_FALSE(IsTemporary(path)) << path;
        }
        // A copy into stage 1 that failed, or whose flush failed, moved no
        // generation of its file.
        if (inj.op == std::string("StageCopy") || inj.op == std::string("Flush")) {
          std::string rel = injector->Target().substr(scenario.Dirs()[1].size());
          std::replace(rel.begin(), rel.end(), platform::PathDelim, '/');
          for (size_t k = 1; k < scenario.Dirs().size(); ++k) {
            const std::string key = std::to_string(k) + "/" + rel;
            EXPECT_EQ(before.count(key) ? before.at(key) : "none",
                      after.count(key) ? after.at(key) : "none")
                << key;
          }
        }

        // The next run catches up.
        fs.failIf = nullptr;
        scenario.Run(fs);
        if (injector->Vanished().empty()) {
          EXPECT_EQ(ref.stageOneAfterNextRun, StageOne(scenario.Take()));
        }
        if (HasFailure()) return;
      }
    }
  }
  std::cout << "[ faults   ] " << injected << " faults injected over " << scenarios
            << " scenarios\n";
  EXPECT_GE(injected, static_cast<int>(10 * ScenarioCount()));
}

// Windows refuses to replace, move over or delete a read-only file, which a
// copy of a read-only source file is. The recording layer refuses the same;
// above it, the layer of the Windows file system clears the attribute of the
// copy that gives way, and of no other.
TEST(ReadOnlyCopies, GiveWayToTheirSuccessors) {
  test::TempDir t;
  platform::FileSystem& real = platform::RealFileSystem();
  const auto put = [&](const std::string& rel, int version) {
    const std::string path = t / rel;
    real.SetReadOnly(path, false);
    test::WriteFile(path, "v" + std::to_string(version));
    test::SetLocalMTime(path, 2020, 1, version);
    ASSERT_TRUE(real.SetReadOnly(path, true));
  };
  const auto text = [&](const std::string& rel) {
    return test::IsFile(t / rel) ? test::ReadFile(t / rel) : "none";
  };
  test::RecordingFileSystem refusing;
  refusing.refuseReadOnly = true;
  platform::ReadOnlyClearing clearing(refusing);
  const auto run = [&](platform::FileSystem& fs, const std::vector<std::string>& dirs) {
    refusing.calls.clear();
    OptionSet options;
    options.dirList = dirs;
    RunBackupOn(fs, options, nullptr, test::TestWorkers());
    std::vector<std::string> cleared;
    for (const Call& c : refusing.Of("SetReadOnly")) cleared.push_back(c.path + " " + c.to);
    return cleared;
  };
  const std::vector<std::string> one = {t / "src" + d, t / "one" + d};
  const std::vector<std::string> three = {t / "src" + d, t / "a" + d, t / "b" + d, t / "c" + d};

  put("src/f.txt", 1);
  run(clearing, one);
  run(clearing, three);
  put("src/f.txt", 2);
  // Without the clearing the copy in place stays for ever.
  run(refusing, one);
  EXPECT_EQ("v1", text("one/f.txt"));
  EXPECT_EQ((std::vector<std::string>{t / "one/f.txt off"}), run(clearing, one));
  EXPECT_EQ("v2", text("one/f.txt"));
  for (int v = 2; v <= 4; ++v) {
    if (v > 2) put("src/f.txt", v);
    // Only the oldest generation, replaced once the stages are full, is cleared.
    const std::vector<std::string> cleared = run(clearing, three);
    EXPECT_EQ(v == 4 ? std::vector<std::string>{t / "c/f.txt off"} : std::vector<std::string>{},
              cleared);
  }
  EXPECT_EQ("v4 v3 v2", text("a/f.txt") + " " + text("b/f.txt") + " " + text("c/f.txt"));
  // The copies placed keep the source's attribute.
  platform::DirEntry e;
  ASSERT_TRUE(real.Find(t / "a/f.txt", platform::faAnyFile, e));
  EXPECT_TRUE(e.attr & platform::faReadOnly);

  // A stale copy with one stage is deleted.
  real.SetReadOnly(t / "src/f.txt", false);
  ASSERT_TRUE(real.DeleteFile(t / "src/f.txt"));
  EXPECT_EQ((std::vector<std::string>{t / "one/f.txt off"}), run(clearing, one));
  EXPECT_EQ("none", text("one/f.txt"));
}

// A move down to a stage on another volume is a copy and a delete, which
// Windows refuses of a read-only file: the source is cleared, the moved copy
// keeps the attribute, and a move that fails after all leaves both as they were.
TEST(ReadOnlyCopies, MoveDownToAnotherVolume) {
  test::TempDir t;
  platform::FileSystem& real = platform::RealFileSystem();
  test::RecordingFileSystem refusing;
  refusing.refuseReadOnly = true;
  refusing.otherVolume = t / "far";
  platform::ReadOnlyClearing clearing(refusing);
  OptionSet options;
  options.dirList = {t / "src" + d, t / "near" + d, t / "far" + d};
  int moves = 0;
  for (int v = 1; v <= 5; ++v) {
    real.SetReadOnly(t / "src/f.txt", false);
    test::WriteFile(t / "src/f.txt", "v" + std::to_string(v));
    test::SetLocalMTime(t / "src/f.txt", 2020, 1, v);
    ASSERT_TRUE(real.SetReadOnly(t / "src/f.txt", true));
    // The last run's move fails again once the copies are cleared.
    if (v == 5) refusing.failIf = [&](const Call& c) { return c.op == "MoveFile" && ++moves > 1; };
    EXPECT_EQ(v < 5, RunBackupOn(clearing, options, nullptr, test::TestWorkers())) << v;
  }
  EXPECT_EQ("v4 v3", test::ReadFile(t / "near/f.txt") + " " + test::ReadFile(t / "far/f.txt"));
  for (const char* rel : {"near/f.txt", "far/f.txt"}) {
    platform::DirEntry e;
    ASSERT_TRUE(real.Find(t / rel, platform::faAnyFile, e)) << rel;
    EXPECT_TRUE(e.attr & platform::faReadOnly) << rel;
  }
}

}  // namespace

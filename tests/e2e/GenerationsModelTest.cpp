// Many runs of the built program over a randomly changing source tree,
// checked after every run against a small reference model of the generations:
// every stage's files (contents and last-write times) and directories, and the
// report's lines and their order.
//
// KOVREL_MODEL_SEED and KOVREL_MODEL_RUNS choose the seed and the number of
// runs per test (bench/soak goes through many seeds).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

const uint32_t kDefaultSeed = 20260611;
const int kDefaultRuns = 32;

uint32_t EnvNumber(const char* name, uint32_t fallback) {
  const char* value = std::getenv(name);
  return value && *value ? static_cast<uint32_t>(std::strtoul(value, nullptr, 10)) : fallback;
}

// ---------------------------------------------------------------------------
// Times: even seconds after 2020-01-01 00:00:00 local time.

using Time = long long;
const Time kDay = 86400;

struct Civil {
  int year, month, day, hour, minute, second;
};

Civil ToCivil(Time t) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  Civil c{2020, 1, 1, 0, 0, 0};
  for (Time days = t / kDay;;) {
    const bool leap = c.year % 4 == 0 && (c.year % 100 != 0 || c.year % 400 == 0);
    const int length = kDays[c.month - 1] + (c.month == 2 && leap ? 1 : 0);
    if (days < length) {
      c.day += static_cast<int>(days);
      break;
    }
    days -= length;
    if (++c.month == 13) {
      c.month = 1;
      ++c.year;
    }
  }
  const int secs = static_cast<int>(t % kDay);
  c.hour = secs / 3600;
  c.minute = secs / 60 % 60;
  c.second = secs % 60;
  return c;
}

// As test::LocalMTime gives it.
std::string FormatTime(Time t) {
  const Civil c = ToCivil(t);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", c.year, c.month, c.day, c.hour,
                c.minute, c.second);
  return buf;
}

// ---------------------------------------------------------------------------
// The reference model. Paths are relative with '/'; a directory path ends
// with '/', the top of a tree being "".

struct Version {
  std::string content;
  Time time = 0;
};
using Files = std::map<std::string, Version>;
using Dirs = std::set<std::string>;

struct Tree {
  Files files;
  Dirs dirs;  // with "" when the tree's top directory exists
};

// The directory that holds `path` ("" at the top).
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
bool Walked(const std::string& file) {
  for (size_t at = 0, slash; (slash = file.find('/', at)) != std::string::npos; at = slash + 1) {
    if (!platform::IsWalkedDirName(std::string_view(file).substr(at, slash - at))) return false;
  }
  return true;
}

// A transfer makes the target's directory chain.
void AddChain(Tree& tree, const std::string& file) {
  tree.dirs.insert("");
  for (size_t slash = 0; (slash = file.find('/', slash)) != std::string::npos; ++slash) {
    tree.dirs.insert(file.substr(0, slash + 1));
  }
}

struct Line {
  bool copied;        // "copied  " + SRC, else "deleted " + BK1 (or "failed  ")
  std::string path;   // relative; a removed directory ends with '/'
  int failedIn = -1;  // a failure: the tree whose path could not be done, 0 the source
  bool operator<(const Line& o) const {
    return std::tie(failedIn, copied, path) < std::tie(o.failedIn, o.copied, o.path);
  }
};

Line Failure(const std::string& file, int tree) { return {false, file, tree}; }

// Stage directories are made at the real time, which lies between the
// source's usual times (2020 on) and its times from the far future.
const Time kFuture = 28000 * kDay;  // 2096

// Every generation that a stage holds moves one stage down, oldest first, so
// that each target has been emptied before; the last stage's copy is dropped.
// A move into a name that is taken (a directory of that name, or a file that
// could not move on) fails, is told in `lines`, and leaves the file where it
// was. True when stage 1 no longer holds the file.
bool MoveDown(std::vector<Tree>& stages, const std::string& file, std::vector<Line>& lines) {
  for (size_t to = stages.size() - 1; to >= 1; --to) {
    const auto held = stages[to - 1].files.find(file);
    if (held == stages[to - 1].files.end()) continue;
    Tree& target = stages[to];
    AddChain(target, file);
    if (to == stages.size() - 1) target.files.erase(file);
    if (target.files.count(file) || target.dirs.count(file + "/")) {
      lines.push_back(Failure(file, static_cast<int>(to)));
      continue;
    }
    target.files[file] = held->second;
    stages[to - 1].files.erase(held);
  }
  return !stages[0].files.count(file);
}

// A directory of the file's name in a later stage, behind files only, stops
// stage 1's copy from ever moving down; the new copy then replaces it.
bool BlockedForGood(const std::vector<Tree>& stages, const std::string& file) {
  for (size_t k = 1; k < stages.size(); ++k) {
    if (stages[k].dirs.count(file + "/")) return true;
    if (!stages[k].files.count(file)) return false;
  }
  return false;
}

// One run over `source`; `stages[0]` is stage 1. Returns the report lines.
std::vector<Line> ModelRun(const Tree& tree, std::vector<Tree>& stages, bool keepExtra) {
  const Files& source = tree.files;
  std::vector<Line> lines;
  Tree& first = stages[0];
  // Stage 1 gets every directory that the walk enters, empty or not.
  for (const std::string& dir : tree.dirs) {
    if (Walked(dir)) AddChain(first, dir);
  }
  for (const auto& [file, version] : source) {
    if (!Walked(file)) continue;
    if (first.dirs.count(file + "/")) {
      // A directory of that name in stage 1 stands in for the copy; even when
      // the file is newer, nothing can take its place, and that is told.
      if (version.time > kFuture) {
        lines.push_back({true, file});
        lines.push_back(Failure(file, 0));
      }
      continue;
    }
    const auto held = first.files.find(file);
    if (held != first.files.end()) {
      const Version& old = held->second;
      // Another size is another content, whichever copy is newer.
      const bool changed = version.time > old.time || version.content.size() != old.content.size();
      if (!changed) continue;
      // The copy is made first; it takes its place only once stage 1's copy
      // has moved down.
      lines.push_back({true, file});
      if (stages.size() > 1 && !MoveDown(stages, file, lines) && !BlockedForGood(stages, file)) {
        continue;
      }
    } else {
      lines.push_back({true, file});
    }
    first.files[file] = version;
    AddChain(first, file);
  }
  if (keepExtra) return lines;

  std::vector<std::string> stale;
  for (const auto& [file, version] : first.files) {
    if (!source.count(file)) stale.push_back(file);
  }
  for (const std::string& file : stale) {
    lines.push_back({false, file});
    if (stages.size() == 1) {
      first.files.erase(file);
    } else {
      MoveDown(stages, file, lines);
    }
  }

  // Stage-1 directories with no file below them go, unless the source has
  // them (the top always has its source).
  for (const std::string& dir : Dirs(first.dirs)) {
    if (tree.dirs.count(dir)) continue;
    const auto below = first.files.lower_bound(dir);
    if (below != first.files.end() && IsUnder(below->first, dir)) continue;
    first.dirs.erase(dir);
    lines.push_back({false, dir});
  }
  return lines;
}

// ---------------------------------------------------------------------------
// The random source tree and its changes between runs.

class SourceGenerator {
 public:
  SourceGenerator(uint32_t seed, int stages) {
    std::seed_seq seq{seed, static_cast<uint32_t>(stages)};
    rng_.seed(seq);
  }

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool Chance(int percent) { return Pick(100) < percent; }

  Tree source;  // dirs always holds the top ""

  // Changes made before a run on `day`, described in a few words each.
  std::vector<std::string> Change(int day) {
    std::vector<std::string> done;
    today_ = day * kDay;
    if (day == 1) {
      source.dirs.insert("");
      for (int i = 0; i < 14; ++i) AddFile(done);
      for (int i = 0; i < 3; ++i) AddDir(done);
      return done;
    }
    if (Chance(2)) {
      ClearAll(done);
      return done;
    }
    for (int n = 1 + Pick(6); n > 0; --n) {
      const int what = Pick(100);
      const bool crowded = source.files.size() > 30;
      if (what < 22) {
        crowded ? DeleteFile(done) : AddFile(done);
      } else if (what < 30) {
        crowded ? DeleteDir(done) : AddDir(done);
      } else if (what < 68) {
        ChangeFile(done);
      } else if (what < 76) {
        DeleteFile(done);
      } else if (what < 86) {
        RenameFile(done);
      } else if (what < 91) {
        DeleteDir(done);
      } else if (what < 97) {
        RenameDir(done);
      } else {
        ReplaceDirByFile(done);
      }
    }
    return done;
  }

 private:
  // Names are letters followed by a number never used before, so no two are
  // the same even ignoring case, and no file path is ever a directory path.
  std::string FreshName(bool dot) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string name = dot ? "." : "";
    for (int n = 1 + Pick(3); n > 0; --n) name += kLetters[Pick(52)];
    return name + std::to_string(++counter_);
  }

  std::string Content(size_t size) {
    std::string text;
    for (size_t i = 0; i < size; ++i) text += static_cast<char>('a' + Pick(26));
    return text;
  }

  // A time of this run's day, between 06:00 and 20:00 (clear of any change
  // of daylight saving time).
  Time Today() { return today_ + 6 * 3600 + 2 * Pick(14 * 1800); }
  // A file that took a directory's name keeps to the far future, later than
  // the directory that stage 1 may hold under that name.
  Time Today(const std::string& file) { return Today() + (future_.count(file) ? kFuture : 0); }

  template <class Set>
  typename Set::key_type Any(const Set& set) {
    auto it = set.begin();
    std::advance(it, Pick(static_cast<int>(set.size())));
    return it->first;
  }

  std::string AnyDir(bool withTop, int maxDepth = 99) {
    std::vector<std::string> dirs;
    for (const std::string& dir : source.dirs) {
      if ((withTop || !dir.empty()) && std::count(dir.begin(), dir.end(), '/') <= maxDepth) {
        dirs.push_back(dir);
      }
    }
    return dirs.empty() ? std::string() : dirs[static_cast<size_t>(Pick(int(dirs.size())))];
  }

  void Put(const std::string& file, Version version) {
    source.files[file] = std::move(version);
    for (std::string dir = Parent(file); !dir.empty(); dir = Parent(dir)) source.dirs.insert(dir);
  }

  void AddFile(std::vector<std::string>& done) {
    std::string file;
    if (!retired_.empty() && Chance(20)) {
      file = *std::next(retired_.begin(), Pick(int(retired_.size())));
      retired_.erase(file);
      done.push_back("added again " + file);
    } else {
      file = AnyDir(true) + FreshName(Chance(12));
      done.push_back("added " + file);
    }
    Put(file, {Content(size_t(Pick(12))), Today(file)});
  }

  void AddDir(std::vector<std::string>& done) {
    const std::string dir = AnyDir(true, 2) + FreshName(Chance(8)) + "/";
    source.dirs.insert(dir);
    done.push_back("added directory " + dir);
    for (int n = Pick(4); n > 0; --n)
      Put(dir + FreshName(Chance(10)), {Content(1 + Pick(8)), Today()});
    if (Chance(30)) {
      const std::string sub = dir + FreshName(false) + "/";
      source.dirs.insert(sub);
      for (int n = Pick(3); n > 0; --n)
        Put(sub + FreshName(false), {Content(1 + Pick(8)), Today()});
    }
  }

  void ChangeFile(std::vector<std::string>& done) {
    if (source.files.empty()) return AddFile(done);
    // A few files change often, so that generations reach the last stage.
    const std::string file =
        Chance(40)
            ? std::next(source.files.begin(), Pick(std::min<int>(3, int(source.files.size()))))
                  ->first
            : Any(source.files);
    Version& v = source.files[file];
    const size_t size = v.content.size();
    switch (Pick(6)) {
      case 0:  // same time, same size: not noticed, by design
        if (size > 0) {
          v.content = Content(size);
          done.push_back("changed " + file + " (same time, same size)");
          break;
        }
        [[fallthrough]];
      case 1:
        v.content = Content(size + 1 + size_t(Pick(3)));
        done.push_back("changed " + file + " (same time, other size)");
        break;
      case 2:
        v.time = Today(file);
        done.push_back("touched " + file);
        break;
      case 3:  // older than the copy in stage 1
        v.content = Content(size_t(Pick(12)));
        v.time = std::max<Time>(v.time - 2 * (1 + Pick(1800)), 6 * 3600);
        done.push_back("changed " + file + " (earlier time)");
        break;
      default:
        v.content = Content(size_t(Pick(12)));
        v.time = Today(file);
        done.push_back("changed " + file);
    }
  }

  void Remove(const std::string& file) {
    source.files.erase(file);
    retired_.insert(file);
  }

  void DeleteFile(std::vector<std::string>& done) {
    if (source.files.empty()) return;
    const std::string file = Any(source.files);
    Remove(file);
    done.push_back("deleted " + file);
  }

  void RenameFile(std::vector<std::string>& done) {
    if (source.files.empty()) return;
    const std::string file = Any(source.files);
    const std::string to = Parent(file) + FreshName(Chance(10));
    Put(to, source.files[file]);
    Remove(file);
    done.push_back("renamed " + file + " to " + to);
  }

  // Moves (or with an empty `to`, deletes) the directory `dir` and all below it.
  void MoveDir(const std::string& dir, const std::string& to) {
    std::vector<std::string> files, dirs;
    for (const auto& [file, v] : source.files) {
      if (IsUnder(file, dir)) files.push_back(file);
    }
    for (const std::string& d : source.dirs) {
      if (d == dir || IsUnder(d, dir)) dirs.push_back(d);
    }
    for (const std::string& file : files) {
      if (!to.empty()) Put(to + file.substr(dir.size()), source.files[file]);
      Remove(file);
    }
    for (const std::string& d : dirs) {
      source.dirs.erase(d);
      if (!to.empty()) source.dirs.insert(to + d.substr(dir.size()));
    }
  }

  void DeleteDir(std::vector<std::string>& done) {
    const std::string dir = AnyDir(false);
    if (dir.empty()) return;
    MoveDir(dir, "");
    done.push_back("deleted directory " + dir);
  }

  void RenameDir(std::vector<std::string>& done) {
    const std::string dir = AnyDir(false);
    if (dir.empty()) return;
    const std::string to = Parent(dir) + FreshName(Chance(5)) + "/";
    MoveDir(dir, to);
    done.push_back("renamed directory " + dir + " to " + to);
  }

  // A file takes the name of a directory that stage 1 may still hold, dated
  // so that it is due to be copied. The name is never a directory again.
  void ReplaceDirByFile(std::vector<std::string>& done) {
    const std::string dir = AnyDir(false);
    if (dir.empty() || !Walked(dir)) return;
    MoveDir(dir, "");
    for (auto it = retired_.begin(); it != retired_.end();) {
      it = IsUnder(*it, dir) ? retired_.erase(it) : std::next(it);
    }
    const std::string file = dir.substr(0, dir.size() - 1);
    future_.insert(file);
    Put(file, {Content(size_t(1 + Pick(8))), Today(file)});
    done.push_back("replaced directory " + dir + " by a file");
  }

  void ClearAll(std::vector<std::string>& done) {
    std::vector<std::string> files;
    for (const auto& [file, v] : source.files) files.push_back(file);
    for (const std::string& file : files) Remove(file);
    source.dirs = {""};
    done.push_back("emptied the source");
  }

  std::mt19937 rng_;
  Time today_ = 0;
  int counter_ = 0;
  std::set<std::string> retired_;  // file paths that the source had once
  std::set<std::string> future_;   // file paths that were directories once
};

// ---------------------------------------------------------------------------
// The real trees.

// Native spelling of a relative path.
std::string Native(std::string rel) {
  std::replace(rel.begin(), rel.end(), '/', platform::PathDelim);
  return rel;
}

// Makes the source directory on disk match the model, touching only what
// changed since `before`.
void WriteSource(const std::string& root, const Tree& before, const Tree& after) {
  std::error_code ec;
  for (const std::string& dir : before.dirs) {
    if (!after.dirs.count(dir)) fs::remove_all(test::Join(root, dir), ec);
  }
  for (const auto& [file, v] : before.files) {
    if (!after.files.count(file)) fs::remove(test::Join(root, file), ec);
  }
  for (const std::string& dir : after.dirs) test::MakeDirs(test::Join(root, dir));
  for (const auto& [file, v] : after.files) {
    const auto was = before.files.find(file);
    if (was != before.files.end() && was->second.content == v.content &&
        was->second.time == v.time) {
      continue;
    }
    const std::string path = test::Join(root, file);
    test::WriteFile(path, v.content);
    const Civil c = ToCivil(v.time);
    test::SetLocalMTime(path, c.year, c.month, c.day, c.hour, c.minute, c.second);
  }
}

// A file as found on disk or as the model wants it: contents and local time.
using Seen = std::map<std::string, std::pair<std::string, std::string>>;

Seen Expect(const Tree& tree) {
  Seen seen;
  for (const auto& [file, v] : tree.files) seen[file] = {v.content, FormatTime(v.time)};
  return seen;
}

void ReadTree(const std::string& root, Seen& files, Dirs& dirs) {
  if (!test::IsDir(root)) return;
  dirs.insert("");
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    const std::string rel = fs::relative(it->path(), root).generic_string();
    const std::string path = it->path().string();
    if (it->is_directory()) {
      dirs.insert(rel + "/");
    } else if (!platform::IsRunLockName(rel)) {  // the run's own, in no model
      files[rel] = {test::ReadFile(path), test::LocalMTime(path)};
    }
  }
}

std::string Show(const std::pair<std::string, std::string>& file) {
  return "\"" + file.first + "\" of " + file.second;
}

// The first way in which the stages differ from the model, or "". A version
// that the model keeps and no stage has is told first.
std::string CompareStages(const std::vector<std::string>& roots, const std::vector<Tree>& want) {
  std::vector<Seen> files(roots.size());
  std::vector<Dirs> dirs(roots.size());
  for (size_t k = 0; k < roots.size(); ++k) ReadTree(roots[k], files[k], dirs[k]);
  const auto stage = [](size_t k) { return "stage " + std::to_string(k + 1) + " "; };
  for (size_t k = 0; k < roots.size(); ++k) {
    for (const auto& [file, v] : Expect(want[k])) {
      if (!files[k].count(file)) return stage(k) + "lost " + file + ", " + Show(v);
    }
  }
  for (size_t k = 0; k < roots.size(); ++k) {
    const Seen expected = Expect(want[k]);
    for (const auto& [file, v] : expected) {
      if (files[k][file] != v) {
        return stage(k) + "holds " + file + " as " + Show(files[k][file]) + ", not " + Show(v);
      }
    }
    for (const auto& [file, v] : files[k]) {
      if (!expected.count(file)) return stage(k) + "holds an unexpected " + file + ", " + Show(v);
    }
    for (const std::string& dir : want[k].dirs) {
      if (!dirs[k].count(dir)) return stage(k) + "lacks the directory \"" + dir + "\"";
    }
    for (const std::string& dir : dirs[k]) {
      if (!want[k].dirs.count(dir))
        return stage(k) + "holds an unexpected directory \"" + dir + "\"";
    }
  }
  return "";
}

// ---------------------------------------------------------------------------
// One scenario: runs of the program, each checked against the model.

class GenerationsModel : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = test::InstallProgram(tmp_ / "bin");
    reportPath_ = test::ReportPath(exe_, 1);
  }

  // The report line as the program writes it.
  std::string Text(const Line& line) const {
    if (line.failedIn >= 0) return "failed  " + Typed(line.failedIn) + Native(line.path);
    return (line.copied ? "copied  " + Typed(0) : "deleted " + Typed(1)) + Native(line.path);
  }
  std::string Typed(size_t k) const { return dirs_[k] + platform::PathDelim; }

  // The report's lines as lines of the model, or a complaint.
  std::string ReadReport(std::vector<Line>& got) const {
    if (!test::IsFile(reportPath_)) return "";
    const std::string saved = test::ReadFile(reportPath_);
    const std::vector<std::string> text = test::CrLfLines(saved);
    std::error_code ec;
    fs::remove(reportPath_, ec);
    if (saved.size() < 2 || saved.compare(saved.size() - 2, 2, "\r\n") != 0)
      return "the report does not end with CR LF";
    for (const std::string& s : text) {
      Line line{s.compare(0, 8, "copied  ") == 0, ""};
      std::string prefix = line.copied ? "copied  " + Typed(0) : "deleted " + Typed(1);
      std::string rest = s;
      if (s.compare(0, 8, "failed  ") == 0) {
        // A failure: the tree it names, and the system's reason after a TAB.
        const size_t tab = s.rfind('\t');
        if (tab == std::string::npos || tab + 1 == s.size())
          return "report line \"" + s + "\" gives no reason";
        rest = s.substr(0, tab);
        for (int k = static_cast<int>(dirs_.size()) - 1; k >= 0 && line.failedIn < 0; --k) {
          if (rest.compare(0, 8 + Typed(k).size(), "failed  " + Typed(k)) == 0) line.failedIn = k;
        }
        prefix = "failed  " + Typed(std::max(line.failedIn, 0));
      }
      if (rest.compare(0, prefix.size(), prefix) != 0)
        return "report line \"" + s + "\" is unexpected";
      line.path = rest.substr(prefix.size());
      std::replace(line.path.begin(), line.path.end(), platform::PathDelim, '/');
      got.push_back(line);
    }
    return "";
  }

  // The same lines in any order, then the order that the walk fixes: a
  // directory's subdirectories before its own lines, which stay together,
  // copies first; removed directories after the walk, children first.
  std::string CompareReport(std::vector<Line> want, const std::vector<Line>& all) const {
    std::vector<Line> sorted = all;
    std::sort(want.begin(), want.end());
    std::sort(sorted.begin(), sorted.end());
    std::vector<Line> missing, extra;
    std::set_difference(want.begin(), want.end(), sorted.begin(), sorted.end(),
                        std::back_inserter(missing));
    std::set_difference(sorted.begin(), sorted.end(), want.begin(), want.end(),
                        std::back_inserter(extra));
    if (!missing.empty()) return "the report lacks \"" + Text(missing[0]) + "\"";
    if (!extra.empty()) return "the report has an unexpected \"" + Text(extra[0]) + "\"";

    // A failure follows the line of the decision it belongs to.
    std::vector<Line> got;
    for (size_t i = 0; i < all.size(); ++i) {
      if (all[i].failedIn < 0) {
        got.push_back(all[i]);
      } else if (got.empty() || got.back().path != all[i].path) {
        return "\"" + Text(all[i]) + "\" does not follow its decision";
      }
    }

    const auto isDir = [](const Line& l) { return l.path.empty() || l.path.back() == '/'; };
    const auto dirOf = [&](const Line& l) { return isDir(l) ? l.path : Parent(l.path); };
    const auto order = [&](size_t i, size_t j, const char* why) {
      return "report line " + std::to_string(i + 1) + " \"" + Text(got[i]) +
             "\" comes before line " + std::to_string(j + 1) + " \"" + Text(got[j]) + "\" (" + why +
             ")";
    };
    for (size_t i = 0; i < got.size(); ++i) {
      for (size_t j = i + 1; j < got.size(); ++j) {
        const std::string a = dirOf(got[i]), b = dirOf(got[j]);
        if (isDir(got[i]) && !isDir(got[j])) return order(i, j, "the walk's lines come first");
        if (isDir(got[i]) && IsUnder(b, a)) return order(i, j, "a child goes before its parent");
        if (isDir(got[i]) || isDir(got[j])) continue;
        if (IsUnder(b, a)) return order(i, j, "subdirectories come first");
        if (a == b && !got[i].copied && got[j].copied) return order(i, j, "copies come first");
        if (a == b && j > i + 1 && (isDir(got[j - 1]) || dirOf(got[j - 1]) != a)) {
          return order(i, j, "a directory's own lines stay together");
        }
      }
    }
    return "";
  }

  void RunScenario(int stageCount) {
    const uint32_t seed = EnvNumber("KOVREL_MODEL_SEED", kDefaultSeed);
    const int runs = static_cast<int>(EnvNumber("KOVREL_MODEL_RUNS", kDefaultRuns));
    dirs_ = {tmp_ / "src"};
    for (int k = 1; k <= stageCount; ++k) dirs_.push_back(tmp_ / ("bk" + std::to_string(k)));
    const std::vector<std::string> stageRoots(dirs_.begin() + 1, dirs_.end());

    SourceGenerator gen(seed, stageCount);
    std::vector<Tree> stages(static_cast<size_t>(stageCount));
    for (int run = 1; run <= runs; ++run) {
      const Tree before = gen.source;
      const std::vector<std::string> changes = gen.Change(run);
      WriteSource(dirs_[0], before, gen.source);
      const bool keepExtra = gen.Chance(20);

      std::vector<std::string> args = dirs_;
      args.push_back(test::Opt("M"));
      if (keepExtra) args.push_back(test::Opt("A"));
      const test::ProgramRun result = test::RunProgram(exe_, args);
      const std::vector<Line> want = ModelRun(gen.source, stages, keepExtra);

      std::vector<Line> got;
      std::string difference;
      const auto failures =
          std::count_if(want.begin(), want.end(), [](const Line& l) { return l.failedIn >= 0; });
      if (result.exitCode != (failures ? 2 : 0)) {
        difference = "exit status " + std::to_string(result.exitCode) + " " + result.stderrText;
      } else if (platform::PathDelim == '/' &&
                 std::count(result.stderrText.begin(), result.stderrText.end(), '\n') != failures) {
        // POSIX tells every failure on standard error too, and nothing else.
        difference = "standard error holds \"" + result.stderrText + "\"";
      }
      if (difference.empty()) difference = ReadReport(got);
      if (difference.empty()) difference = CompareReport(want, got);
      if (difference.empty()) difference = CompareStages(stageRoots, stages);
      if (!difference.empty()) {
        std::string what;
        for (const std::string& c : changes) what += (what.empty() ? "" : "; ") + c;
        FAIL() << "seed " << seed << ", run " << run << " of " << runs << " with " << stageCount
               << (stageCount == 1 ? " stage" : " stages") << (keepExtra ? " and /A" : "") << ": "
               << difference << "\n  changes before this run: " << what;
      }
    }
  }

  test::TempDir tmp_;
  std::string exe_;
  std::string reportPath_;
  std::vector<std::string> dirs_;  // SRC, BK1, ... as typed
};

TEST_F(GenerationsModel, OneStage) { RunScenario(1); }

TEST_F(GenerationsModel, ThreeStages) { RunScenario(3); }

}  // namespace

// Many runs of the built program over a randomly changing source tree,
// checked after every run against the reference model of the generations
// (GenerationsModel.h): every stage's entries (kinds, contents, last-write
// times, which names are one file) and directories, and the report's lines
// and their order.
//
// Besides files and directories that come, change and go, the source gets
// hard links that grow and shrink, and entries that change kind; runs are
// killed and done again, and some meet a stage directory they may not
// change or a file that changes under every read.
//
// KOVREL_MODEL_SEED, KOVREL_MODEL_SEEDS and KOVREL_MODEL_RUNS choose the
// first seed, the number of seeds and the runs per seed of each test;
// KOVREL_MODEL_MOVES the moves ("all", "classic", or a list of links, kinds,
// readonly, torn, kill, keep-over-kinds). bench/soak goes through many seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "e2e/GenerationsModel.h"
#include "platform/Platform.h"
#include "support/ModelStage.h"
#include "support/LoopStage.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using model::Dirs;
using model::Files;
using model::IsUnder;
using model::Kind;
using model::Line;
using model::Parent;
using model::Tree;
using model::Version;
using model::Walked;

const uint32_t kDefaultSeed = 20260611;
const int kDefaultSeeds = 3;
const int kDefaultRuns = 11;

uint32_t EnvNumber(const char* name, uint32_t fallback) {
  const char* value = std::getenv(name);
  return value && *value ? static_cast<uint32_t>(std::strtoul(value, nullptr, 10)) : fallback;
}

// ---------------------------------------------------------------------------
// Times: even seconds after 2020-01-01 00:00:00 local time.

using model::kDay;
using model::Time;

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
// The moves: files and directories that come, change and go, always; the
// others where KOVREL_MODEL_MOVES asks for them and the platform has them.

struct Moves {
  bool links = false;     // hard links that grow and shrink
  bool kinds = false;     // links, fifos and sockets; changes of kind at one path
  bool readOnly = false;  // a stage-2 directory that takes no files (as root)
  bool torn = false;      // a file that changes under every read (as root)
  bool kill = false;      // a run killed, then done again
  // /A in a run where the source has a directory in place of a stage-1
  // entry of another kind (never with one stage)
  bool keepOverKinds = false;
};

Moves ChosenMoves() {
  const char* value = std::getenv("KOVREL_MODEL_MOVES");
  const std::string list = value && *value ? value : "all";
  Moves moves;
  // Only POSIX has what the moves beyond files and directories make.
  if (platform::PathDelim != '/') return moves;
  const auto has = [&](const char* name) {
    return list == "all" ||
           ("," + list + ",").find("," + std::string(name) + ",") != std::string::npos;
  };
  moves.links = has("links");
  moves.kinds = has("kinds");
  moves.readOnly = has("readonly");
  moves.torn = has("torn");
  moves.kill = has("kill");
  moves.keepOverKinds = has("keep-over-kinds");
  return moves;
}

// ---------------------------------------------------------------------------
// The random source tree and its changes between runs.

class SourceGenerator {
 public:
  SourceGenerator(uint32_t seed, int stages, const Moves& moves) : moves_(moves) {
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
      if (moves_.links) {
        for (int i = 0; i < 3; ++i) LinkName(done);
      }
      if (moves_.kinds) AddSpecial(done);
      return done;
    }
    if (Chance(2)) {
      ClearAll(done);
      return done;
    }
    const bool seams = moves_.links || moves_.kinds;
    for (int n = 1 + Pick(6); n > 0; --n) {
      if (seams && Chance(35)) {
        ChangeSeam(done);
        continue;
      }
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
        ReplaceDir(done, Kind::File);
      }
    }
    return done;
  }

 private:
  void ChangeSeam(std::vector<std::string>& done) {
    const int what = Pick(100);
    if (what < 40 && moves_.links) {
      if (what < 20) return LinkName(done);
      if (what < 30) return UnlinkName(done);
      return ReplaceByUnlinked(done);
    }
    if (!moves_.kinds) return LinkName(done);
    if (what < 55) return AddSpecial(done);
    if (what < 75) return ChangeKind(done);
    static const Kind kKinds[] = {Kind::File, Kind::Link, Kind::Fifo, Kind::Socket};
    ReplaceDir(done, kKinds[Pick(4)]);
  }

  // Names are letters followed by a number never used before, so no two are
  // the same even ignoring case. A path may change between a directory and
  // an entry of another kind.
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
  // A time before `t`, on the first day at the earliest.
  Time Earlier(Time t) { return std::max<Time>(t - 2 * (1 + Pick(1800)), 6 * 3600); }

  Version NewFile(std::string content, Time time) {
    return {Kind::File, std::move(content), time, ++files_};
  }

  // A new entry of `kind` that is no file: a link's target is a name that
  // leads nowhere.
  Version NewEntry(Kind kind) {
    if (kind == Kind::File) return NewFile(Content(size_t(Pick(12))), Today());
    return {kind, kind == Kind::Link ? "to-" + Content(size_t(1 + Pick(8))) : "", Today(), 0};
  }

  template <class Set>
  typename Set::key_type Any(const Set& set) {
    auto it = set.begin();
    std::advance(it, Pick(static_cast<int>(set.size())));
    return it->first;
  }

  // A path of an entry for which `fits` holds, or "".
  template <class Fits>
  std::string AnyEntry(Fits fits) {
    std::vector<std::string> paths;
    for (const auto& [path, v] : source.files) {
      if (fits(path, v)) paths.push_back(path);
    }
    return paths.empty() ? std::string() : paths[static_cast<size_t>(Pick(int(paths.size())))];
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

  // Whether an entry may be put at `path`: nothing is there, and no entry
  // stands where a directory above it must be.
  bool Free(const std::string& path) const {
    if (source.files.count(path) || source.dirs.count(path + "/")) return false;
    for (std::string dir = Parent(path); !dir.empty(); dir = Parent(dir)) {
      if (source.files.count(dir.substr(0, dir.size() - 1))) return false;
    }
    return true;
  }

  void Put(const std::string& path, Version version) {
    source.files[path] = std::move(version);
    for (std::string dir = Parent(path); !dir.empty(); dir = Parent(dir)) source.dirs.insert(dir);
  }

  // Gives every name of the file `id` the contents and time of `v`.
  void Rewrite(int id, const Version& v) {
    for (auto& [path, each] : source.files) {
      if (each.kind == Kind::File && each.id == id) {
        each.content = v.content;
        each.time = v.time;
      }
    }
  }

  void AddFile(std::vector<std::string>& done) {
    std::string path;
    if (!retired_.empty() && Chance(20)) {
      path = *std::next(retired_.begin(), Pick(int(retired_.size())));
      retired_.erase(path);
      if (!Free(path)) return;
      done.push_back("added again " + path);
    } else {
      path = AnyDir(true) + FreshName(Chance(12));
      done.push_back("added " + path);
    }
    Put(path, NewFile(Content(size_t(Pick(12))), Today()));
  }

  void AddDir(std::vector<std::string>& done) {
    const std::string dir = AnyDir(true, 2) + FreshName(Chance(8)) + "/";
    source.dirs.insert(dir);
    done.push_back("added directory " + dir);
    for (int n = Pick(4); n > 0; --n)
      Put(dir + FreshName(Chance(10)), NewFile(Content(1 + Pick(8)), Today()));
    if (Chance(30)) {
      const std::string sub = dir + FreshName(false) + "/";
      source.dirs.insert(sub);
      for (int n = Pick(3); n > 0; --n)
        Put(sub + FreshName(false), NewFile(Content(1 + Pick(8)), Today()));
    }
  }

  void ChangeFile(std::vector<std::string>& done) {
    if (source.files.empty()) return AddFile(done);
    // A few entries change often, so that generations reach the last stage.
    const std::string path =
        Chance(40)
            ? std::next(source.files.begin(), Pick(std::min<int>(3, int(source.files.size()))))
                  ->first
            : Any(source.files);
    Version v = source.files[path];
    if (v.kind != Kind::File) {
      if (v.kind == Kind::Socket) return;
      if (v.kind == Kind::Link && Chance(50)) v.content = "to-" + Content(size_t(1 + Pick(8)));
      v.time = Chance(70) ? Today() : Earlier(v.time);
      source.files[path] = v;
      done.push_back("changed " + path + " (no file)");
      return;
    }
    const size_t size = v.content.size();
    switch (Pick(6)) {
      case 0:  // same time, same size: not noticed, by design
        if (size > 0) {
          v.content = Content(size);
          done.push_back("changed " + path + " (same time, same size)");
          break;
        }
        [[fallthrough]];
      case 1:
        v.content = Content(size + 1 + size_t(Pick(3)));
        done.push_back("changed " + path + " (same time, other size)");
        break;
      case 2:
        v.time = Today();
        done.push_back("touched " + path);
        break;
      case 3:  // older than the copy in stage 1
        v.content = Content(size_t(Pick(12)));
        v.time = Earlier(v.time);
        done.push_back("changed " + path + " (earlier time)");
        break;
      default:
        v.content = Content(size_t(Pick(12)));
        v.time = Today();
        done.push_back("changed " + path);
    }
    Rewrite(v.id, v);
  }

  void Remove(const std::string& path) {
    source.files.erase(path);
    retired_.insert(path);
  }

  void DeleteFile(std::vector<std::string>& done) {
    if (source.files.empty()) return;
    const std::string path = Any(source.files);
    Remove(path);
    done.push_back("deleted " + path);
  }

  void RenameFile(std::vector<std::string>& done) {
    if (source.files.empty()) return;
    const std::string path = Any(source.files);
    const std::string to = Parent(path) + FreshName(Chance(10));
    Put(to, source.files[path]);
    Remove(path);
    done.push_back("renamed " + path + " to " + to);
  }

  // Moves (or with an empty `to`, deletes) the directory `dir` and all below it.
  void MoveDir(const std::string& dir, const std::string& to) {
    std::vector<std::string> paths, dirs;
    for (const auto& [path, v] : source.files) {
      if (IsUnder(path, dir)) paths.push_back(path);
    }
    for (const std::string& d : source.dirs) {
      if (d == dir || IsUnder(d, dir)) dirs.push_back(d);
    }
    for (const std::string& path : paths) {
      if (!to.empty()) Put(to + path.substr(dir.size()), source.files[path]);
      Remove(path);
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

  // An entry of `kind` takes the name of a directory that stage 1 may still
  // hold.
  void ReplaceDir(std::vector<std::string>& done, Kind kind) {
    const std::string dir = AnyDir(false);
    if (dir.empty() || !Walked(dir)) return;
    MoveDir(dir, "");
    const std::string path = dir.substr(0, dir.size() - 1);
    Put(path, NewEntry(kind));
    done.push_back("replaced directory " + dir + " by " + KindName(kind));
  }

  // A file gets another name, in its own directory or another.
  void LinkName(std::vector<std::string>& done) {
    const std::string path = AnyEntry([](auto&, const Version& v) { return v.kind == Kind::File; });
    if (path.empty()) return;
    const std::string to = (Chance(50) ? Parent(path) : AnyDir(true)) + FreshName(Chance(10));
    Put(to, source.files[path]);
    done.push_back("linked " + to + " to " + path);
  }

  // The names of files that have more than one.
  std::string AnyLinkedName() {
    std::map<int, int> names;
    for (const auto& [path, v] : source.files) {
      if (v.kind == Kind::File) ++names[v.id];
    }
    return AnyEntry(
        [&](auto&, const Version& v) { return v.kind == Kind::File && names[v.id] > 1; });
  }

  void UnlinkName(std::vector<std::string>& done) {
    const std::string path = AnyLinkedName();
    if (path.empty()) return LinkName(done);
    Remove(path);
    done.push_back("unlinked " + path);
  }

  // A name of a linked file becomes a file of its own: a copy that keeps
  // the time, or new contents.
  void ReplaceByUnlinked(std::vector<std::string>& done) {
    const std::string path = AnyLinkedName();
    if (path.empty()) return LinkName(done);
    const Version& v = source.files[path];
    const bool same = Chance(40);
    source.files[path] =
        same ? NewFile(v.content, v.time) : NewFile(Content(size_t(Pick(12))), Today());
    done.push_back("replaced " + path + " by " + (same ? "an unlinked copy" : "an unlinked file"));
  }

  static const char* KindName(Kind kind) {
    switch (kind) {
      case Kind::File:
        return "a file";
      case Kind::Link:
        return "a link";
      case Kind::Fifo:
        return "a fifo";
      case Kind::Socket:
        return "a socket";
    }
    return "?";
  }

  void AddSpecial(std::vector<std::string>& done) {
    static const Kind kKinds[] = {Kind::Link, Kind::Link, Kind::Fifo, Kind::Socket};
    const Kind kind = kKinds[Pick(4)];
    const std::string path = AnyDir(true) + FreshName(Chance(10));
    Put(path, NewEntry(kind));
    done.push_back("added " + std::string(KindName(kind)) + " " + path);
  }

  // The entry at a path becomes one of another kind, or a directory. A file
  // and a link of the same length trade places with an older time.
  void ChangeKind(std::vector<std::string>& done) {
    if (source.files.empty()) return AddSpecial(done);
    const std::string path = Any(source.files);
    const Version was = source.files[path];
    static const Kind kKinds[] = {Kind::File, Kind::Link, Kind::Fifo, Kind::Socket};
    const int pick = Pick(5);
    Remove(path);
    if (pick == 4) {
      source.dirs.insert(path + "/");
      for (int n = Pick(3); n > 0; --n)
        Put(path + "/" + FreshName(false), NewFile(Content(1 + Pick(8)), Today()));
      done.push_back("replaced " + path + " by a directory");
      return;
    }
    Kind kind = kKinds[pick];
    if (kind == was.kind) kind = kKinds[(pick + 1) % 4];
    Version v = NewEntry(kind);
    const bool sameLength =
        (was.kind == Kind::File && kind == Kind::Link && !was.content.empty()) ||
        (was.kind == Kind::Link && kind == Kind::File);
    if (sameLength && Chance(60)) {
      v.content = Content(was.content.size());
      v.time = Earlier(was.time);
    }
    Put(path, v);
    done.push_back("replaced " + path + " by " + KindName(kind) +
                   (v.time < was.time ? " (same length, earlier time)" : ""));
  }

  void ClearAll(std::vector<std::string>& done) {
    std::vector<std::string> paths;
    for (const auto& [path, v] : source.files) paths.push_back(path);
    for (const std::string& path : paths) Remove(path);
    source.dirs = {""};
    done.push_back("emptied the source");
  }

  const Moves moves_;
  std::mt19937 rng_;
  Time today_ = 0;
  int counter_ = 0;
  int files_ = 0;                  // the last file's number
  std::set<std::string> retired_;  // paths that the source had once
};

// ---------------------------------------------------------------------------
// The real trees.

void SetTime(const std::string& path, Time t, bool ofEntry) {
  const Civil c = ToCivil(t);
  if (ofEntry) {
    test::SetLocalMTimeOfEntry(path, c.year, c.month, c.day, c.hour, c.minute, c.second);
  } else {
    test::SetLocalMTime(path, c.year, c.month, c.day, c.hour, c.minute, c.second);
  }
}

// Makes the entry `v` at `path`; a file gets its contents.
void MakeEntry(const std::string& path, const Version& v) {
  std::error_code ec;
  switch (v.kind) {
    case Kind::File:
      test::WriteFile(path, v.content);
      SetTime(path, v.time, false);
      break;
    case Kind::Link:
      fs::create_symlink(v.content, path, ec);
      if (ec) throw std::runtime_error("symlink " + path + ": " + ec.message());
      SetTime(path, v.time, true);
      break;
    case Kind::Fifo:
      if (!test::MakeFifo(path)) throw std::runtime_error("mkfifo " + path);
      SetTime(path, v.time, true);
      break;
    case Kind::Socket:
      if (!test::MakeSocket(path)) throw std::runtime_error("socket " + path);
      break;
  }
}

// Whether the entry at a path stays what it was: the same kind, the same
// file, and for a link the same target and time.
bool Stays(const Version& before, const Version& after) {
  if (before.kind != after.kind) return false;
  if (before.kind == Kind::File) return before.id == after.id;
  return before.kind != Kind::Link || before == after;
}

// Makes the source directory on disk match the model, touching only what
// changed since `before`. A file keeps its data where it keeps a name, so
// that its other names see the change; a new name of a file is a link.
void WriteSource(const std::string& root, const Tree& before, const Tree& after) {
  std::error_code ec;
  const auto at = [&](const std::string& rel) { return test::Join(root, rel); };
  for (const auto& [path, v] : before.files) {
    const auto now = after.files.find(path);
    if (now == after.files.end() || !Stays(v, now->second)) fs::remove(at(path), ec);
  }
  for (const std::string& dir : before.dirs) {
    if (!after.dirs.count(dir)) fs::remove_all(at(dir), ec);
  }
  for (const std::string& dir : after.dirs) test::MakeDirs(at(dir));
  std::map<int, std::string> named;  // a file's name that is on disk
  for (const auto& [path, v] : after.files) {
    const auto was = before.files.find(path);
    if (was == before.files.end() || !Stays(was->second, v)) continue;
    if (v.kind == Kind::File && !named.count(v.id)) {
      named[v.id] = path;
      if (was->second.content != v.content) test::WriteFile(at(path), v.content);
      if (was->second.content != v.content || was->second.time != v.time)
        SetTime(at(path), v.time, false);
    } else if (v.kind == Kind::Fifo && was->second.time != v.time) {
      SetTime(at(path), v.time, true);
    }
  }
  for (const auto& [path, v] : after.files) {
    const auto was = before.files.find(path);
    if (was != before.files.end() && Stays(was->second, v)) continue;
    const auto name = v.kind == Kind::File ? named.find(v.id) : named.end();
    if (name != named.end()) {
      fs::create_hard_link(at(name->second), at(path), ec);
      if (ec) throw std::runtime_error("link " + path + ": " + ec.message());
      continue;
    }
    MakeEntry(at(path), v);
    if (v.kind == Kind::File) named[v.id] = path;
  }
}

// The entries of a source directory tree in the order the walk meets them:
// a directory's subdirectories first, in the order of its listing, then its
// other entries in that order.
void WalkOrder(const std::string& root, const std::string& rel, std::vector<std::string>& order) {
  std::vector<std::string> subdirs, entries;
  std::error_code ec;
  for (auto it = fs::directory_iterator(test::Join(root, rel), ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (it->symlink_status().type() == fs::file_type::directory) {
      subdirs.push_back(name);
    } else {
      entries.push_back(rel + name);
    }
  }
  for (const std::string& sub : subdirs) WalkOrder(root, rel + sub + "/", order);
  order.insert(order.end(), entries.begin(), entries.end());
}

// An entry as found on disk or as the model wants it.
struct Seen {
  char kind = '?';
  std::string content;
  std::string time;
  uint64_t device = 0, inode = 0, links = 0;  // of a file on disk
  bool operator==(const Seen& o) const {
    return std::tie(kind, content, time) == std::tie(o.kind, o.content, o.time);
  }
};
using SeenTree = std::map<std::string, Seen>;

char KindLetter(Kind kind) {
  switch (kind) {
    case Kind::File:
      return 'f';
    case Kind::Link:
      return 'l';
    case Kind::Fifo:
      return 'p';
    case Kind::Socket:
      return 's';
  }
  return '?';
}

SeenTree Expect(const Tree& tree) {
  SeenTree seen;
  for (const auto& [path, v] : tree.files) {
    seen[path] = {KindLetter(v.kind), v.kind == Kind::Fifo ? "" : v.content, FormatTime(v.time)};
  }
  return seen;
}

// A name that the program gives what it writes before it has its real name.
bool IsTemporaryName(const std::string& name) {
  return platform::IsStagingName(name) || name.rfind(".kovrel-tmp-", 0) == 0;
}

void ReadTree(const std::string& root, SeenTree& entries, Dirs& dirs,
              std::vector<std::string>& temporary) {
  if (!test::IsDir(root)) return;
  dirs.insert("");
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    const std::string rel = fs::relative(it->path(), root).generic_string();
    const std::string path = it->path().string();
    if (platform::IsRunLockName(rel)) continue;  // the run's own, in no model
    if (IsTemporaryName(it->path().filename().string())) temporary.push_back(rel);
    test::EntryLook look;
    if (!test::LookAt(path, look)) continue;
    if (look.kind == 'd') {
      dirs.insert(rel + "/");
      continue;
    }
    Seen& seen = entries[rel];
    seen.kind = look.kind;
    seen.time = look.time;
    seen.device = look.device;
    seen.inode = look.inode;
    seen.links = look.links;
    if (look.kind == 'f') seen.content = test::ReadFile(path);
    if (look.kind == 'l') seen.content = fs::read_symlink(path, ec).string();
  }
}

std::string Show(const Seen& seen) {
  switch (seen.kind) {
    case 'f':
      return "\"" + seen.content + "\" of " + seen.time;
    case 'l':
      return "a link to \"" + seen.content + "\" of " + seen.time;
    case 'p':
      return "a fifo of " + seen.time;
    case 's':
      return "a socket";
  }
  return "nothing";
}

std::string StageName(size_t k) { return "stage " + std::to_string(k + 1) + " "; }

// Names that the model holds for one file are one file on disk, with as
// many names as the model gives it in all stages; names of different files
// are different files.
std::string CompareFiles(const std::vector<SeenTree>& found, const std::vector<Tree>& want) {
  std::map<int, std::vector<std::pair<size_t, std::string>>> names;
  for (size_t k = 0; k < want.size(); ++k) {
    for (const auto& [path, v] : want[k].files) {
      if (v.kind == Kind::File) names[v.id].push_back({k, path});
    }
  }
  std::map<std::pair<uint64_t, uint64_t>, std::pair<size_t, std::string>> owner;
  for (const auto& [id, list] : names) {
    const auto& [k0, p0] = list.front();
    const Seen& first = found[k0].at(p0);
    if (first.inode == 0) return "";  // the platform does not tell
    for (const auto& [k, path] : list) {
      const Seen& seen = found[k].at(path);
      if (seen.device != first.device || seen.inode != first.inode) {
        return StageName(k0) + p0 + " and " + StageName(k) + path +
               " are separate files, not one with " + std::to_string(list.size()) + " names";
      }
    }
    if (first.links != list.size()) {
      return StageName(k0) + p0 + " has " + std::to_string(first.links) + " names, not " +
             std::to_string(list.size());
    }
    const auto [it, fresh] = owner.insert({{first.device, first.inode}, {k0, p0}});
    if (!fresh) {
      return StageName(it->second.first) + it->second.second + " and " + StageName(k0) + p0 +
             " are one file, not two";
    }
  }
  return "";
}

// The first way in which the stages differ from the model, or "". A version
// that the model keeps and no stage has is told first.
std::string CompareStages(const std::vector<std::string>& roots, const std::vector<Tree>& want) {
  std::vector<SeenTree> found(roots.size());
  std::vector<Dirs> dirs(roots.size());
  for (size_t k = 0; k < roots.size(); ++k) {
    std::vector<std::string> temporary;
    ReadTree(roots[k], found[k], dirs[k], temporary);
    if (!temporary.empty()) return StageName(k) + "holds the temporary name " + temporary[0];
  }
  for (size_t k = 0; k < roots.size(); ++k) {
    for (const auto& [path, v] : Expect(want[k])) {
      if (found[k].count(path)) continue;
      std::string where;
      for (size_t j = 0; j < roots.size(); ++j) {
        const auto it = found[j].find(path);
        if (j != k && it != found[j].end() && it->second == v) where = ", found in " + StageName(j);
      }
      return StageName(k) + "lost " + path + ", " + Show(v) + where;
    }
  }
  for (size_t k = 0; k < roots.size(); ++k) {
    const SeenTree expected = Expect(want[k]);
    for (const auto& [path, v] : expected) {
      if (!(found[k][path] == v)) {
        return StageName(k) + "holds " + path + " as " + Show(found[k][path]) + ", not " + Show(v);
      }
    }
    for (const auto& [path, v] : found[k]) {
      if (!expected.count(path))
        return StageName(k) + "holds an unexpected " + path + ", " + Show(v);
    }
    for (const std::string& dir : want[k].dirs) {
      if (!dirs[k].count(dir)) return StageName(k) + "lacks the directory \"" + dir + "\"";
    }
    for (const std::string& dir : dirs[k]) {
      if (!want[k].dirs.count(dir))
        return StageName(k) + "holds an unexpected directory \"" + dir + "\"";
    }
  }
  return CompareFiles(found, want);
}

// ---------------------------------------------------------------------------
// One scenario: runs of the program, each checked against the model.

// How the program is run this time, beside the source's changes.
enum class Fault {
  None,
  Nobody,    // as an unprivileged user
  ReadOnly,  // as one, with a stage-2 directory that takes no files
  Torn,      // a file that changes under every read
  Kill,      // killed at a random point, then run again
};

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::None:
      return "";
    case Fault::Nobody:
      return " as nobody";
    case Fault::ReadOnly:
      return " as nobody with a read-only stage-2 directory";
    case Fault::Torn:
      return " with a torn copy";
    case Fault::Kill:
      return " killed and run again";
  }
  return "";
}

// Whether the directories of one path hold the other's: a failure belongs
// to a decision on its own path, or on a directory above or below it.
bool Related(std::string a, std::string b) {
  if (!a.empty() && a.back() == '/') a.pop_back();
  if (!b.empty() && b.back() == '/') b.pop_back();
  return a == b || IsUnder(a, b + "/") || IsUnder(b, a + "/");
}

constexpr unsigned kNobody = 65534;

// Every directory below `root` takes files again.
void OpenDirs(const std::string& root) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->symlink_status().type() == fs::file_type::directory)
      fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ec);
  }
}

// Whether the source has a directory where stage 1 holds an entry of
// another kind.
bool FileBecameDir(const Tree& source, const model::Stages& stages) {
  return std::any_of(source.dirs.begin(), source.dirs.end(), [&](const std::string& dir) {
    return !dir.empty() && stages.trees[0].files.count(dir.substr(0, dir.size() - 1));
  });
}

class GenerationsModel : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = test::InstallProgram(tmp_ / "bin");
    reportPath_ = test::ReportPath(exe_, 1);
    moves_ = ChosenMoves();
    // An unprivileged user runs the program where root may start it as one.
    if (test::IsSuperUser() && fs::exists("/usr/bin/setpriv")) {
      fs::permissions(tmp_.path(), fs::perms(0755));
      fs::permissions(tmp_ / "bin", fs::perms(0777));  // for the report beside the program
      asNobody_ = tmp_ / "bin/kovrel-as-nobody";
      test::WriteFile(asNobody_,
                      "#!/bin/sh\nexec /usr/bin/setpriv --reuid=65534 --regid=65534 "
                      "--clear-groups '" +
                          exe_ + "' \"$@\"\n");
      fs::permissions(asNobody_, fs::perms(0755));
    }
  }

  // The report line as the program writes it.
  std::string Text(const Line& line) const {
    if (line.failedIn >= 0) return "failed  " + Typed(line.failedIn) + Native(line.path);
    return (line.copied ? "copied  " + Typed(0) : "deleted " + Typed(1)) + Native(line.path);
  }
  std::string Typed(size_t k) const { return dirs_[k] + platform::PathDelim; }
  static std::string Native(std::string rel) {
    std::replace(rel.begin(), rel.end(), '/', platform::PathDelim);
    return rel;
  }

  // The report's lines as lines of the model, or a complaint.
  // A line that tells what a stage cannot keep: no decision's line, and it
  // names a stage. Only a stage that keeps less than ext4 has one said.
  bool IsTold(const std::string& s) const {
    if (stageBase_.empty()) return false;
    for (const char* decision : {"copied  ", "deleted ", "failed  ", "kovrel: failed  "}) {
      if (s.rfind(decision, 0) == 0) return false;
    }
    return std::any_of(dirs_.begin() + 1, dirs_.end(),
                       [&](const std::string& dir) { return s.find(dir) != std::string::npos; });
  }

  // The report's lines as lines of the model (and the told ones as they
  // are), or a complaint.
  std::string ReadReport(std::vector<Line>& got, std::vector<std::string>& told) const {
    if (!test::IsFile(reportPath_)) return "";
    const std::string saved = test::ReadFile(reportPath_);
    const std::vector<std::string> text = test::CrLfLines(saved);
    std::error_code ec;
    fs::remove(reportPath_, ec);
    if (saved.size() < 2 || saved.compare(saved.size() - 2, 2, "\r\n") != 0)
      return "the report does not end with CR LF";
    for (const std::string& s : text) {
      if (IsTold(s)) {
        if (std::find(told.begin(), told.end(), s) != told.end()) return "told twice: " + s;
        told.push_back(s);
        continue;
      }
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

  // The lines of `want` that `all` lacks, and those it has beyond them.
  static void Difference(std::vector<Line> want, std::vector<Line> all, std::vector<Line>& missing,
                         std::vector<Line>& extra) {
    std::sort(want.begin(), want.end());
    std::sort(all.begin(), all.end());
    std::set_difference(want.begin(), want.end(), all.begin(), all.end(),
                        std::back_inserter(missing));
    std::set_difference(all.begin(), all.end(), want.begin(), want.end(),
                        std::back_inserter(extra));
  }

  // The same lines in any order, then the order that the walk fixes: a
  // directory's subdirectories before its own lines, which stay together,
  // copies first; removed directories after the walk, children first. The
  // lines of a change of kind may stand anywhere.
  std::string CompareReport(const std::vector<Line>& want, const std::vector<Line>& all) const {
    std::vector<Line> missing, extra;
    Difference(want, all, missing, extra);
    if (!missing.empty()) return "the report lacks \"" + Text(missing[0]) + "\"";
    if (!extra.empty()) return "the report has an unexpected \"" + Text(extra[0]) + "\"";

    std::set<Line> loose;
    for (const Line& line : want) {
      if (line.loose) loose.insert(line);
    }
    // A failure follows the line of the decision it belongs to.
    std::vector<Line> got;
    for (size_t i = 0; i < all.size(); ++i) {
      if (all[i].failedIn < 0) {
        got.push_back(all[i]);
      } else if (!loose.count(all[i]) && (got.empty() || !Related(got.back().path, all[i].path))) {
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
      if (loose.count(got[i])) continue;
      for (size_t j = i + 1; j < got.size(); ++j) {
        if (loose.count(got[j])) continue;
        const std::string a = dirOf(got[i]), b = dirOf(got[j]);
        if (isDir(got[i]) && !isDir(got[j])) return order(i, j, "the walk's lines come first");
        if (isDir(got[i]) && IsUnder(b, a)) return order(i, j, "a child goes before its parent");
        if (isDir(got[i]) || isDir(got[j])) continue;
        if (IsUnder(b, a)) return order(i, j, "subdirectories come first");
        if (a == b && !got[i].copied && got[j].copied) return order(i, j, "copies first");
        if (a == b && j > i + 1 && !loose.count(got[j - 1]) &&
            (isDir(got[j - 1]) || dirOf(got[j - 1]) != a)) {
          return order(i, j, "a directory's own lines stay together");
        }
      }
    }
    return "";
  }

  // The fault of the next run, as far as this machine allows it.
  Fault ChooseFault(SourceGenerator& gen, const model::Stages& stages, size_t stageCount) {
    const int what = gen.Pick(100);
    const bool nobody = !asNobody_.empty();
    if (what < 10 && moves_.kill) return Fault::Kill;
    if (what < 18 && moves_.torn && test::IsSuperUser()) return Fault::Torn;
    if (what < 28 && moves_.readOnly && nobody && stageCount > 1 && !stages.trees[1].dirs.empty()) {
      return Fault::ReadOnly;
    }
    if (what < 32 && moves_.readOnly && nobody) return Fault::Nobody;
    return Fault::None;
  }

  // A source file that this run copies (under every name it has), whose
  // copy is to be torn; 0 when there is none.
  int ChooseTorn(SourceGenerator& gen, const Tree& source, const model::Stages& stages,
                 bool keepExtra, const model::Faults& faults) {
    model::Stages trial = stages;
    std::set<std::string> copied;
    for (const Line& line : model::ModelRun(source, trial, keepExtra, faults)) {
      if (line.copied && line.failedIn < 0) copied.insert(line.path);
    }
    std::map<int, bool> due;  // each file, and whether every name of it is copied
    for (const auto& [path, v] : source.files) {
      if (v.kind != Kind::File || v.content.empty()) continue;
      const bool copiedHere = copied.count(path) && !stages.trees[0].dirs.count(path + "/");
      const auto [it, fresh] = due.insert({v.id, copiedHere});
      if (!fresh) it->second = it->second && copiedHere;
    }
    std::vector<int> ids;
    for (const auto& [id, all] : due) {
      if (all) ids.push_back(id);
    }
    return ids.empty() ? 0 : ids[static_cast<size_t>(gen.Pick(int(ids.size())))];
  }

  // One run of the program as `fault` asks; the complete run's outcome.
  test::ProgramRun RunProgram(Fault fault, const std::vector<std::string>& args,
                              const model::Faults& faults, SourceGenerator& gen) {
    if (fault == Fault::Kill) {
      const auto start = std::chrono::steady_clock::now();
      {
        test::StartedProgram killed(exe_, args);
        std::this_thread::sleep_for(std::chrono::microseconds(gen.Pick(int(lastRunMicros_) + 1)));
        killed.Kill();
      }
      killedAfter_ = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
      // A report that the killed run wrote, or began to write, is not this run's.
      std::error_code ec;
      for (int n = 1; n <= 3; ++n) fs::remove(test::ReportPath(exe_, n), ec);
      return test::RunProgram(exe_, args);
    }
    if (fault == Fault::Nobody || fault == Fault::ReadOnly) {
      test::GiveTree(seedDir_, kNobody);
      const std::string readOnly =
          faults.readOnly ? test::Join(dirs_[2], *faults.readOnly) : std::string();
      if (!readOnly.empty()) fs::permissions(readOnly, fs::perms(0555));
      test::ProgramRun run = test::RunProgram(asNobody_, args);
      // The directory may have moved on with a directory above it.
      if (!readOnly.empty()) OpenDirs(seedDir_);
      return run;
    }
    if (fault == Fault::Torn) {
      const test::TornReads torn(test::Join(dirs_[0], tornPath_));
      if (!torn.active()) ADD_FAILURE() << "no file can be torn here";
      test::ProgramRun run = test::RunProgram(exe_, args);
      tornReads_ = torn.reads();
      return run;
    }
    const auto start = std::chrono::steady_clock::now();
    test::ProgramRun run = test::RunProgram(exe_, args);
    lastRunMicros_ = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
    return run;
  }

  // Runs over one seed's source; false after the first difference.
  bool RunSeed(uint32_t seed, int stageCount, int runs) {
    seedDir_ = tmp_ / ("seed" + std::to_string(seed));
    const std::string stageDir =
        stageBase_.empty() ? seedDir_ : test::Join(stageBase_, "seed" + std::to_string(seed));
    dirs_ = {test::Join(seedDir_, "src")};
    for (int k = 1; k <= stageCount; ++k)
      dirs_.push_back(test::Join(stageDir, "bk" + std::to_string(k)));
    const std::vector<std::string> stageRoots(dirs_.begin() + 1, dirs_.end());
    test::MakeDirs(dirs_[0]);

    SourceGenerator gen(seed, stageCount, moves_);
    model::Stages stages;
    stages.trees.resize(static_cast<size_t>(stageCount));
    stages.links = stageBase_.empty();
    for (int run = 1; run <= runs; ++run) {
      const Tree before = gen.source;
      const std::vector<std::string> changes = gen.Change(run);
      WriteSource(dirs_[0], before, gen.source);
      // With one stage, /A keeps a stage-1 file where the source now has a
      // directory, and every entry below fails, run after run: that is left
      // to the engine's own tests.
      const bool keepExtra = gen.Chance(20) && ((moves_.keepOverKinds && stageCount > 1) ||
                                                !FileBecameDir(gen.source, stages));
      Fault fault = ChooseFault(gen, stages, static_cast<size_t>(stageCount));

      model::Faults faults;
      if (platform::PathDelim == '/') WalkOrder(dirs_[0], "", faults.order);
      if (fault == Fault::ReadOnly) {
        const Dirs& held = stages.trees[1].dirs;
        faults.readOnly = *std::next(held.begin(), gen.Pick(int(held.size())));
      }
      if (fault == Fault::Torn) {
        const int id = ChooseTorn(gen, gen.source, stages, keepExtra, faults);
        tornPath_.clear();
        for (const auto& [path, v] : gen.source.files) {
          if (tornPath_.empty() && v.kind == Kind::File && v.id == id) tornPath_ = path;
        }
        if (id == 0) {
          fault = Fault::None;
        } else {
          faults.torn.insert(id);
        }
      }

      std::vector<std::string> args = dirs_;
      args.push_back(test::Opt("M"));
      if (keepExtra) args.push_back(test::Opt("A"));
      const test::ProgramRun result = RunProgram(fault, args, faults, gen);
      ++faultRuns_[fault];
      if (fault == Fault::Torn) {
        // The file as the source has it again, for the next run.
        const Version& v = gen.source.files.at(tornPath_);
        test::WriteFile(test::Join(dirs_[0], tornPath_), v.content);
        SetTime(test::Join(dirs_[0], tornPath_), v.time, false);
      }
      const std::vector<Line> want = model::ModelRun(gen.source, stages, keepExtra, faults);
      const std::string difference = Check(fault, result, want, stageRoots, stages);
      if (!difference.empty()) {
        std::string what;
        for (const std::string& c : changes) what += (what.empty() ? "" : "; ") + c;
        ADD_FAILURE() << "seed " << seed << ", run " << run << " of " << runs << " with "
                      << stageCount << (stageCount == 1 ? " stage" : " stages")
                      << (keepExtra ? " and /A" : "") << FaultName(fault)
                      << (faults.readOnly ? " \"" + *faults.readOnly + "\"" : "")
                      << (fault == Fault::Torn ? " of " + tornPath_ : "")
                      << (fault == Fault::Kill ? " after " + std::to_string(killedAfter_) + " us"
                                               : "")
                      << ": " << difference << "\n  changes before this run: " << what;
        return false;
      }
    }
    return true;
  }

  // How the run differs from the model, or "".
  std::string Check(Fault fault, const test::ProgramRun& result, const std::vector<Line>& want,
                    const std::vector<std::string>& stageRoots, const model::Stages& stages) {
    std::vector<Line> got;
    std::vector<std::string> told;
    std::string difference = ReadReport(got, told);
    if (difference.empty()) difference = CheckRun(fault, result, want, got, told.size());
    if (difference.empty()) difference = CompareStages(stageRoots, stages.trees);
    if (difference.empty()) return "";
    return difference + "\n  report:" + Lines(got) + "\n  model: " + Lines(want);
  }

  std::string CheckRun(Fault fault, const test::ProgramRun& result, const std::vector<Line>& want,
                       const std::vector<Line>& got, size_t told) const {
    const auto failures =
        std::count_if(want.begin(), want.end(), [](const Line& l) { return l.failedIn >= 0; });
    if (result.exitCode != (failures ? 2 : 0))
      return "exit status " + std::to_string(result.exitCode) + " " + result.stderrText;
    // POSIX tells every failure on standard error too, and nothing else
    // but what a stage of another kind keeps none of.
    if (platform::PathDelim == '/' && fault != Fault::Kill &&
        std::count(result.stderrText.begin(), result.stderrText.end(), '\n') !=
            failures + static_cast<long>(told)) {
      return "standard error holds \"" + result.stderrText + "\"";
    }
    if (fault == Fault::Torn &&
        result.stderrText.find("\tchanged while it was copied\n") == std::string::npos) {
      return "no copy was torn (" + std::to_string(tornReads_) + " reads held): \"" +
             result.stderrText + "\"";
    }
    if (fault != Fault::Kill) return CompareReport(want, got);
    // The run after the kill does what the killed one left, and tells
    // nothing that one complete run would not.
    std::vector<Line> missing, extra;
    Difference(want, got, missing, extra);
    return extra.empty() ? "" : "the report has an unexpected \"" + Text(extra[0]) + "\"";
  }

  // Report lines in short, for a message.
  static std::string Lines(const std::vector<Line>& lines) {
    std::string text;
    for (size_t i = 0; i < lines.size() && i < 40; ++i) {
      const Line& l = lines[i];
      text += l.failedIn >= 0 ? " | failed " + std::to_string(l.failedIn) + ":"
                              : (l.copied ? " | copied " : " | deleted ");
      text += l.path;
    }
    return lines.size() > 40 ? text + " | ..." : text;
  }

  void RunScenario(int stageCount) {
    const uint32_t first = EnvNumber("KOVREL_MODEL_SEED", kDefaultSeed);
    const uint32_t seeds = EnvNumber("KOVREL_MODEL_SEEDS", kDefaultSeeds);
    const int runs = static_cast<int>(EnvNumber("KOVREL_MODEL_RUNS", kDefaultRuns));
    for (uint32_t seed = first; seed < first + seeds; ++seed) {
      if (!RunSeed(seed, stageCount, runs)) return;
    }
    std::printf("runs killed %d, torn %d, with a read-only directory %d, as nobody %d\n",
                faultRuns_[Fault::Kill], faultRuns_[Fault::Torn], faultRuns_[Fault::ReadOnly],
                faultRuns_[Fault::Nobody]);
  }

  test::TempDir tmp_;
  std::string exe_;
  std::string asNobody_;  // the program started as nobody, where it can be
  std::string reportPath_;
  Moves moves_;
  std::string seedDir_;
  std::string stageBase_;          // where the stages are, when not beside the source
  std::vector<std::string> dirs_;  // SRC, BK1, ... as typed
  std::string tornPath_;           // a name of the torn file
  uint64_t tornReads_ = 0;
  long long lastRunMicros_ = 2000;  // how long the last plain run took
  long long killedAfter_ = 0;
  std::map<Fault, int> faultRuns_;
};

TEST_F(GenerationsModel, OneStage) { RunScenario(1); }

TEST_F(GenerationsModel, ThreeStages) { RunScenario(3); }

// Onto a FAT-like model stage: no links, no rename flags, no owners, names
// folded and refused, a 2 s clock. The source's times are even seconds and
// its names differ beyond case; every name of a file is a copy of its own.
TEST_F(GenerationsModel, ThreeStagesOnTheHarshestModelStage) {
  const test::ModelStage stage(test::StageCaps::Harshest());
  if (!stage.mounted()) GTEST_SKIP() << stage.why();
  stageBase_ = stage.path();
  // No symbolic links or fifos to hold, and no permissions that keep out a user.
  moves_.kinds = false;
  moves_.readOnly = false;
  RunScenario(3);
}

// The stages on exFAT through exfat-fuse, which keeps no links, fifos,
// owners or bits: each name of a linked file is a copy of its own, the
// moves that make other kinds or need owners are left out, and its clock of
// 1 s keeps the model's whole seconds.
TEST_F(GenerationsModel, ThreeStagesOnExFat) {
  test::LoopStage stage(test::LoopStage::Kind::ExFat, tmp_.path(), 128);
  if (!stage.Why().empty()) GTEST_SKIP() << stage.Why();
  stageBase_ = stage.Mount();
  moves_.kinds = moves_.readOnly = moves_.keepOverKinds = false;
  RunScenario(3);
}

}  // namespace

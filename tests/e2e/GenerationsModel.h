// The reference model of the generations that GenerationsModelTest checks the
// program against: what one run over a source tree makes of the stages, and
// the report lines it writes. Paths are relative with '/'; a directory path
// ends with '/', the top of a tree being "".
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace model {

// Times: seconds after 2020-01-01 00:00:00 local time.
using Time = long long;
constexpr Time kDay = 86400;

enum class Kind { File, Link, Fifo, Socket };

// An entry of a tree that is no directory.
struct Version {
  Kind kind = Kind::File;
  std::string content;  // a file's bytes, a link's target
  Time time = 0;
  // A file's identity: names with the same one are one file. In the source
  // the generator's number of the file, in a stage the model's number of
  // the copy.
  int id = 0;
  bool operator==(const Version&) const = default;
};
using Files = std::map<std::string, Version>;
using Dirs = std::set<std::string>;

struct Tree {
  Files files;
  Dirs dirs;  // with "" when the tree's top directory exists
};

struct Line {
  bool copied = false;  // "copied  " + SRC, else "deleted " + BK1 (or "failed  ")
  std::string path;     // relative; a removed directory ends with '/'
  int failedIn = -1;    // a failure: the tree whose path could not be done, 0 the source
  // A line of a change of kind, whose place among the others is not fixed.
  bool loose = false;
  bool operator<(const Line& o) const {
    return std::tie(failedIn, copied, path) < std::tie(o.failedIn, o.copied, o.path);
  }
  bool operator==(const Line& o) const {
    return std::tie(failedIn, copied, path) == std::tie(o.failedIn, o.copied, o.path);
  }
};

// What a run meets besides the source.
struct Faults {
  // A directory of stage 2 that takes and gives no entries (mode 0555 in a
  // run without the right to ignore it).
  std::optional<std::string> readOnly;
  // Source files whose every read changes them, so that no copy holds.
  std::set<int> torn;
  // The source's entries that are no directories, in the order the walk
  // meets them; empty: in the order of their paths.
  std::vector<std::string> order;
  // Stage 1 keeps no hard links (exFAT): each name is a copy of its own.
  bool noLinks = false;
};

// The directory that holds `path` ("" at the top).
std::string Parent(const std::string& path);
// Whether `path` lies below the directory `dir` (which ends with '/').
bool IsUnder(const std::string& path, const std::string& dir);
// Whether the walk enters every directory above `path`.
bool Walked(const std::string& path);

// The stages and the numbers of their copies.
struct Stages {
  std::vector<Tree> trees;  // trees[0] is stage 1
  int copies = 0;           // the last copy's number
};

// One run over `source`: changes `stages` as the program is to change the
// stage directories, and returns the report lines.
std::vector<Line> ModelRun(const Tree& source, Stages& stages, bool keepExtra,
                           const Faults& faults = {});

}  // namespace model

// The stages as work on them sees it, on whichever thread it runs: the
// only part of a run that a job may capture.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/StageRegistry.h"
#include "platform/Platform.h"

// What work on the stages needs, on whichever thread it runs.
struct Stages {
  Stages(platform::FileSystem& fs, const std::vector<std::string>& dirs, std::vector<Root> roots)
      : fs(fs), dirs(dirs), registry(dirs, std::move(roots)) {}

  // Entry k of the directory list + `r` + `name`.
  std::string Path(size_t k, const std::string& r, std::string_view name) const {
    std::string path = dirs[k];
    path += r;
    path += name;
    return path;
  }

  // True when the directory `path` is the source or one of the stages.
  bool IsRoot(const std::string& path) {
    platform::FileId id;
    return fs.Identity(path, id) && registry.IsRoot(id);
  }

  platform::FileSystem& fs;
  const std::vector<std::string>& dirs;  // the source, then the stages
  StageRegistry registry;
  // Whether the run has changed anything in the stages, which are then
  // flushed before it ends.
  std::atomic<bool> changed = false;
};

// Whether the transfer of one name into stage 1 took place in this run:
// set by the job that does it, read by the links that depend on it, which
// run after it (a later phase of its batch, or a later batch).
struct Placement {
  bool placed = false;
  std::string source;  // the source path, for the links that depend on it
};

// The source files with more than one name that a run has met, so that
// stage 1 keeps each as one file. Used by the walk's thread only.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/Stages.h"
#include "platform/Platform.h"

// Source files with more than one name (hard links), so that stage 1 keeps
// them as one file. Only files with more than one name are noted, at most
// kMax of them; past that they are copied as separate files.
class LinkGroups {
 public:
  static constexpr size_t kMax = 8192;

  struct Group {
    // The stage-1 path that the file's other names are linked to, and
    // where it is up to date, its directory and name.
    std::string first;
    std::string firstR, firstName;
    // `first` was up to date in stage 1; otherwise this run copies it, and
    // `placed` tells whether the copy took its name.
    bool upToDate = false;
    std::shared_ptr<Placement> placed;
    // The identity of the up-to-date `first`, where stage 1 tells it (a
    // file with more than one name).
    std::optional<platform::FileId> firstId;
    // While no up-to-date name is known: the names that this run copies or
    // links to a copy. An up-to-date name met later takes them over, so that
    // the file stays one file.
    struct Name {
      std::string r;
      std::string name;
      std::shared_ptr<Placement> placed;
    };
    std::vector<Name> copied;
  };

  // The group of the file `id`, or null.
  Group* Find(const platform::FileId& id) {
    const auto it = groups_.find(id);
    return it == groups_.end() ? nullptr : &it->second;
  }
  // A new group for the file `id`; null past kMax.
  Group* Add(const platform::FileId& id) { return groups_.size() < max_ ? &groups_[id] : nullptr; }
  // A stage 1 that keeps no hard links: every name is copied as past kMax.
  void KeepNone() { max_ = 0; }

 private:
  struct Hash {
    size_t operator()(const platform::FileId& id) const {
      return static_cast<size_t>(
          (id.index ^ id.indexHigh * 0xC2B2AE3D27D4EB4Full) * 0x9E3779B97F4A7C15ull ^ id.volume);
    }
  };
  std::unordered_map<platform::FileId, Group, Hash> groups_;
  size_t max_ = kMax;
};

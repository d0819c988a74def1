// A model stage mounted for a test: tests/support/ModelStageFs over a fresh
// backing directory, with the capabilities asked for (POSIX, where FUSE is
// there; elsewhere it never mounts and says why).
#pragma once

#include <memory>
#include <string>

#include "support/ModelStageCaps.h"

namespace test {

class ModelStage {
 public:
  // Mounts and waits for the mount; unmounts and removes all in the destructor.
  explicit ModelStage(const StageCaps& caps);
  ~ModelStage();
  ModelStage(const ModelStage&) = delete;
  ModelStage& operator=(const ModelStage&) = delete;
  bool mounted() const;
  // Why it is not mounted, for GTEST_SKIP.
  const std::string& why() const;
  // The mount point, and the directory behind it.
  const std::string& path() const;
  const std::string& backing() const;

 private:
  struct Data;
  std::unique_ptr<Data> data_;
};

}  // namespace test

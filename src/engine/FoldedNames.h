// Names that differ only in case, on stages that take them for one name:
// each such name has one copy, of one source entry, in every stage.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// What a directory's names come to on stages that fold case.
struct FoldPlan {
  // A source name that gets no copy, since `kept` takes its name.
  struct Passed {
    std::string name;
    std::string kept;
  };
  std::vector<Passed> passed;
  // Stage-1 entries (by their place in its listing) held under another
  // spelling of a source name, and that name.
  std::vector<std::pair<size_t, std::string>> respelled;
};

// Of source names with one key under `fold`, the one that stage 1 holds
// under its own spelling keeps its copy (so a name added later never takes
// over another's generations), else the first in byte order. With
// `respell`, stage 1 itself folds case, and its entries under another
// spelling of a source name are that name.
FoldPlan PlanFoldedNames(const std::vector<std::string_view>& source,
                         const std::vector<std::string_view>& stage1, bool respell,
                         const std::function<std::string(std::string_view)>& fold);

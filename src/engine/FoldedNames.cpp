// Source names that a stage folding case would take for one.
#include "engine/FoldedNames.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

FoldPlan PlanFoldedNames(const std::vector<std::string_view>& source,
                         const std::vector<std::string_view>& stage1, bool respell,
                         const std::function<std::string(std::string_view)>& fold) {
  FoldPlan plan;
  std::unordered_map<std::string, std::vector<std::string_view>> byKey;
  for (const std::string_view name : source) byKey[fold(name)].push_back(name);
  const std::unordered_set<std::string_view> held(stage1.begin(), stage1.end());
  // The source name that keeps each key.
  std::unordered_map<std::string, std::string_view> keeper;
  for (auto& [key, names] : byKey) {
    std::sort(names.begin(), names.end());
    const auto own = std::find_if(names.begin(), names.end(),
                                  [&](std::string_view n) { return held.count(n) != 0; });
    const std::string_view kept = own != names.end() ? *own : names.front();
    keeper.emplace(key, kept);
    for (const std::string_view name : names) {
      if (name != kept) plan.passed.push_back({std::string(name), std::string(kept)});
    }
  }
  if (!respell) return plan;
  const std::unordered_set<std::string_view> named(source.begin(), source.end());
  for (size_t i = 0; i < stage1.size(); ++i) {
    if (named.count(stage1[i])) continue;
    const auto it = keeper.find(fold(stage1[i]));
    if (it != keeper.end()) plan.respelled.emplace_back(i, std::string(it->second));
  }
  return plan;
}

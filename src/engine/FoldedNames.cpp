// Source names that a stage folding case would take for one.
#include "engine/FoldedNames.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "engine/Visit.h"
#include "engine/Walker.h"

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

namespace {

std::vector<std::string_view> Names(const Listing& listing) {
  std::vector<std::string_view> names;
  names.reserve(listing.Items().size());
  for (const Listing::Item& item : listing.Items()) names.push_back(listing.Name(item));
  return names;
}

}  // namespace

void Walker::FoldNames(Visit& v) {
  if (!settings_.foldsCase) return;
  const auto fold = [](std::string_view name) { return platform::FoldedName(name); };
  FoldPlan plan =
      PlanFoldedNames(Names(v.source), Names(v.stage1), settings_.stage1FoldsCase, fold);
  if (plan.passed.empty() && plan.respelled.empty()) return;
  if (options_.keepExtra && !plan.passed.empty()) {
    // Stage 1 is not listed with KeepExtra: which spelling it holds decides.
    Listing stage1;
    stage1.Read(stages_.fs, v.stage1Dir, true);
    plan = PlanFoldedNames(Names(v.source), Names(stage1), false, fold);
  }
  for (const auto& [at, name] : plan.respelled) v.stage1.Respell(v.stage1.Items()[at], name);
  if (plan.passed.empty()) return;
  std::unordered_set<std::string> passed;
  for (const FoldPlan::Passed& p : plan.passed) {
    journal_.Failed(v.sourceDir + p.name,
                    "stage 1 holds a name that differs only in case: " + p.kept);
    Report();
    passed.insert(p.name);
  }
  v.source.Drop([&](std::string_view name, uint32_t) { return passed.count(std::string(name)); });
}

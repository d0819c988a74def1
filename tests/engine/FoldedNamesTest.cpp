#include "engine/FoldedNames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Upper(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string Show(const FoldPlan& plan) {
  std::string out;
  for (const auto& p : plan.passed) out += "passed " + p.name + " for " + p.kept + "; ";
  for (const auto& [at, name] : plan.respelled) {
    out += "respelled " + std::to_string(at) + " as " + name + "; ";
  }
  return out;
}

TEST(FoldedNames, OneNameKeepsItsCopyAndAnotherNeverTakesItOver) {
  struct Case {
    std::vector<std::string_view> source, stage1;
    bool respell;
    std::string want;
  } cases[] = {
      {{"a.txt", "b.txt"}, {"a.txt"}, true, ""},
      // The spelling stage 1 holds keeps the copy, whichever sorts first.
      {{"A.txt", "a.txt"}, {"a.txt"}, true, "passed A.txt for a.txt; "},
      {{"a.txt", "A.txt"}, {"A.txt"}, true, "passed a.txt for A.txt; "},
      // None held: the first in byte order, the same on every run.
      {{"a.txt", "A.TXT", "A.txt"}, {}, true, "passed A.txt for A.TXT; passed a.txt for A.TXT; "},
      // A case rename: stage 1's entry is the source's name.
      {{"readme", "x"}, {"x", "README"}, true, "respelled 1 as readme; "},
      {{"readme"}, {"README"}, false, ""},
      // Held under a third spelling: the kept name takes it.
      {{"Docs", "docs"}, {"DOCS"}, true, "passed docs for Docs; respelled 0 as Docs; "},
      // A stale entry of no source name stays stale.
      {{"a"}, {"b"}, true, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Show(PlanFoldedNames(c.source, c.stage1, c.respell, Upper)), c.want)
        << "source " << c.source.front() << ", " << c.source.size() << " names";
  }
}

}  // namespace

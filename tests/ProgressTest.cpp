// The status line's text.
#include "Progress.h"

#include <gtest/gtest.h>

namespace {

TEST(StatusText, CountsBytesInTheirLargestUnitAndTimeInMinutesOrHours) {
  const struct {
    RunCounts counts;
    int64_t seconds;
    const char* text;
  } cases[] = {
      {{}, 0, "0 dirs, 0 files checked, 0 copied (0 B), 0:00"},
      {{12, 3456, 7, 1023}, 59, "12 dirs, 3456 files checked, 7 copied (1023 B), 0:59"},
      {{1, 2, 2, 1536}, 75, "1 dirs, 2 files checked, 2 copied (1.5 KiB), 1:15"},
      {{1, 1, 1, uint64_t{5} << 30}, 3725, "1 dirs, 1 files checked, 1 copied (5.0 GiB), 1:02:05"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, StatusText(c.counts, c.seconds));
}

}  // namespace

// The registry that the walk and the workers share, alone: the chains made
// once, what a made directory holds, and the identities of the stages.
#include "engine/StageRegistry.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string d(1, platform::PathDelim);

class Registry : public ::testing::Test {
 protected:
  // The directory-list entry of `name`, below a top directory.
  static std::string Entry(const std::string& name) { return "top" + d + name + d; }
  static platform::FileId Id(uint64_t index) { return {1, index, 0}; }

  // The source and stage 1 are there; stages 2 and 3 not yet.
  std::vector<std::string> dirs_{Entry("src"), Entry("s1"), Entry("s2"), Entry("s3")};
  StageRegistry registry_{dirs_, {{Id(0), true}, {Id(1), true}, {}, {Id(3), false}}};
};

// A second thread that needs the chain a first one makes waits for it, and
// makes it itself only when the first could not. Whether it asks before or
// after the first is done, the answer is the same; a few rounds make it
// likely that it asks while the first makes the chain.
TEST_F(Registry, AChainIsMadeOnceWhileASecondThreadWaits) {
  for (const bool ready : {true, false, true, false, true, false}) {
    const std::string target = dirs_[2] + "a" + d + "b" + d;
    ASSERT_TRUE(registry_.StartMaking(2, target));
    // Not a std::latch: its wait can miss the wake-up in the mingw build's
    // standard library, where a latch has no futex to wait on.
    std::promise<void> started;
    bool second = false;
    std::thread waiter([&] {
      started.set_value();
      second = registry_.StartMaking(2, target);
    });
    started.get_future().wait();
    registry_.Made(2, target, {}, ready);
    waiter.join();
    EXPECT_EQ(!ready, second) << "ready " << ready;
    if (second) registry_.Made(2, target, {}, true);
    EXPECT_FALSE(registry_.StartMaking(2, target));
    registry_.Forget(2, "a" + d);
  }
}

// What is known to be there is not made again, in its own stage only,
// until it is forgotten with a directory above it.
TEST_F(Registry, WhatIsKnownReadyIsNotMadeAgain) {
  registry_.KnownReady(1, "a" + d);
  registry_.KnownReady(1, "ab" + d);
  EXPECT_TRUE(registry_.StartMaking(2, dirs_[2] + "a" + d));
  registry_.Made(2, dirs_[2] + "a" + d, {dirs_[2] + "a"}, true);
  EXPECT_FALSE(registry_.StartMaking(1, dirs_[1] + "a" + d));
  EXPECT_FALSE(registry_.StartMaking(2, dirs_[2] + "a" + d));
  EXPECT_TRUE(registry_.StartMaking(3, dirs_[3] + "a" + d));
  registry_.Made(3, dirs_[3] + "a" + d, {}, false);
  registry_.Forget(1, "a" + d);
  EXPECT_TRUE(registry_.StartMaking(1, dirs_[1] + "a" + d));
  registry_.Made(1, dirs_[1] + "a" + d, {}, true);
  EXPECT_FALSE(registry_.StartMaking(1, dirs_[1] + "ab" + d));
  EXPECT_FALSE(registry_.StartMaking(2, dirs_[2] + "a" + d));
}

// A directory that this run made in a stage past the first holds only the
// names moved into it since, whatever their case; anything else may hold
// anything. After Forget, nothing is assumed of it and below it.
TEST_F(Registry, AMadeDirectoryHoldsOnlyWhatMovedIn) {
  const std::string a = "a" + d, ab = a + "b" + d;
  struct Step {
    char op;  // 'm' made a/b/ (and a/), 'n' note moved in, 'f' forget, '?' may hold
    size_t k;
    std::string r, name;
    bool want = false;
  } steps[] = {
      {'?', 2, a, "f", true},   {'m', 2, ab, ""},
      {'m', 1, ab, ""},         {'?', 2, a, "f", false},
      {'?', 2, ab, "f", false}, {'?', 1, a, "f", true},
      {'?', 3, a, "f", true},   {'n', 2, a, "f"},
      {'?', 2, a, "f", true},   {'?', 2, a, "F", true},
      {'?', 2, a, "g", false},  {'?', 2, ab, "f", false},
      {'n', 2, "x" + d, "f"},   {'?', 2, "x" + d, "g", true},
      {'f', 2, "a" + a, ""},    {'?', 2, a, "g", false},
      {'f', 2, a, ""},          {'?', 2, a, "g", true},
      {'?', 2, ab, "g", true},  {'n', 2, a, "f"},
      {'?', 2, a, "g", true},
  };
  for (const Step& s : steps) {
    switch (s.op) {
      case 'm':
        ASSERT_TRUE(registry_.StartMaking(s.k, dirs_[s.k] + s.r));
        registry_.Made(s.k, dirs_[s.k] + s.r, {dirs_[s.k] + "a", dirs_[s.k] + "a" + d + "b"}, true);
        break;
      case 'n':
        registry_.NoteMovedIn(s.k, s.r, s.name);
        break;
      case 'f':
        registry_.Forget(s.k, s.r);
        break;
      default:
        EXPECT_EQ(s.want, registry_.MayHold(s.k, s.r, s.name)) << s.k << " " << s.r << s.name;
    }
  }
}

// A chain that makes a/ on its way to a/b/ is not the only one that may
// use a/: one that needed a/ alone found it there meanwhile and moved a
// name in, so a/ is not taken for empty when the first chain is done.
TEST_F(Registry, ADirectoryAnotherChainFoundMayHoldWhatItMovedIn) {
  const std::string a = dirs_[2] + "a" + d;
  ASSERT_TRUE(registry_.StartMaking(2, a + "b" + d));
  ASSERT_TRUE(registry_.StartMaking(2, a));
  registry_.Made(2, a, {}, true);
  registry_.NoteMovedIn(2, "a" + d, "f");
  registry_.Made(2, a + "b" + d, {dirs_[2] + "a", a + "b"}, true);
  EXPECT_TRUE(registry_.MayHold(2, "a" + d, "f"));
  EXPECT_FALSE(registry_.MayHold(2, "a" + d + "b" + d, "f"));
}

// What the registry notes is bounded: past 1024 ready directories in a
// stage, or 32768 made directories and names moved in, it forgets them
// all; a directory is then made again, and a made one may hold anything.
TEST_F(Registry, WhatIsNotedIsForgottenPastItsBound) {
  const auto r = [](int i) { return "d" + std::to_string(i) + d; };
  for (int i = 0; i < 1024; ++i) registry_.KnownReady(1, r(i));
  EXPECT_FALSE(registry_.StartMaking(1, dirs_[1] + r(0)));
  registry_.KnownReady(1, r(1024));
  EXPECT_FALSE(registry_.StartMaking(1, dirs_[1] + r(1024)));
  EXPECT_TRUE(registry_.StartMaking(1, dirs_[1] + r(0)));

  registry_.Made(2, dirs_[2] + "a" + d, {dirs_[2] + "a"}, true);
  for (int i = 1; i < 32768; ++i) registry_.NoteMovedIn(2, "a" + d, std::to_string(i));
  EXPECT_FALSE(registry_.MayHold(2, "a" + d, "never"));
  EXPECT_TRUE(registry_.MayHold(2, "a" + d, "32767"));
  registry_.NoteMovedIn(2, "a" + d, "one more");
  EXPECT_TRUE(registry_.MayHold(2, "a" + d, "never"));
}

// The source and the stages once identified are roots; a stage not
// identified yet may be made inside any directory above it.
TEST_F(Registry, RootsAreTheIdentifiedSourceAndStages) {
  EXPECT_TRUE(registry_.IsRoot(Id(0)));
  EXPECT_TRUE(registry_.IsRoot(Id(1)));
  EXPECT_FALSE(registry_.IsRoot(Id(3)));
  EXPECT_TRUE(registry_.UnmadeStageIn("top" + d));
  EXPECT_TRUE(registry_.UnmadeStageIn(dirs_[2]));
  EXPECT_FALSE(registry_.UnmadeStageIn(dirs_[0]));
  EXPECT_FALSE(registry_.UnmadeStageIn(dirs_[1]));
  EXPECT_TRUE(registry_.Unidentified(2));
  registry_.Identify(2, true, Id(2));
  EXPECT_TRUE(registry_.IsRoot(Id(2)));
  EXPECT_FALSE(registry_.Unidentified(2));
  EXPECT_TRUE(registry_.UnmadeStageIn("top" + d));
  registry_.Identify(3, true, Id(3));
  EXPECT_TRUE(registry_.IsRoot(Id(3)));
  EXPECT_FALSE(registry_.UnmadeStageIn("top" + d));
  registry_.Identify(1, false, Id(1));
  EXPECT_FALSE(registry_.IsRoot(Id(1)));
  EXPECT_TRUE(registry_.UnmadeStageIn(dirs_[1]));
}

}  // namespace

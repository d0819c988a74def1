#include "Listing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/RecordingFileSystem.h"
#include "support/TestSupport.h"

namespace {

std::string Dir(const test::TempDir& tmp, const std::string& rel) {
  return tmp / rel + std::string(1, platform::PathDelim);
}

std::vector<std::string> Names(const Listing& listing) {
  std::vector<std::string> names;
  for (const Listing::Item& item : listing.Items()) {
    names.push_back(std::string(listing.Name(item)) + ":" + std::to_string(item.attr) + ":" +
                    std::to_string(item.size) + ":" + std::to_string(item.time));
  }
  return names;
}

// What a worker reads ahead is what the walk's own read or lookup gives,
// a failure with its error too.
TEST(ReadAhead, GivesWhatAReadOnThisThreadGives) {
  test::TempDir tmp;
  test::WriteFile(tmp / "d/a", "12345");
  test::MakeDirs(tmp / "d/sub");
  test::RecordingFileSystem fs;
  ReadAhead ahead(fs, 2);
  for (const char* rel : {"d", "missing"}) {
    Listing here;
    here.Read(fs, Dir(tmp, rel));
    const std::string error = platform::LastErrorText();
    Listing there;
    std::shared_ptr<ListingAhead> read = ahead.Start(Dir(tmp, rel), platform::faAnyFile);
    ASSERT_TRUE(read);
    test::SetPlatformError(test::PlatformError::NoSpace);  // what the take must undo
    read->TakeInto(there);
    EXPECT_EQ(Names(here), Names(there)) << rel;
    if (here.Items().empty()) {
      EXPECT_EQ(error, platform::LastErrorText()) << rel;
    }
  }
  for (const char* rel : {"d/a", "d/none"}) {
    platform::DirEntry here, there;
    const bool found = fs.Find(tmp / rel, platform::faAnyFile, here);
    std::shared_ptr<LookupAhead> lookup = ahead.StartLookup(tmp / rel);
    ASSERT_TRUE(lookup);
    EXPECT_EQ(found, lookup->Take(there)) << rel;
    EXPECT_EQ(here.name + std::to_string(here.size), there.name + std::to_string(there.size));
  }
}

// A file system whose listings name 70 000 files.
class Crowded : public test::RecordingFileSystem {
 public:
  void List(const std::string&, uint32_t,
            const std::function<void(const platform::DirEntry&)>& fn) override {
    platform::DirEntry e;
    e.attr = platform::faArchive;
    for (int i = 0; i < 70000; ++i) {
      e.name = "f" + std::to_string(i);
      fn(e);
    }
  }
};

// Reads wait to be taken 256 at most, and none begins while those read hold
// 64 Ki entries; what the walk has taken no longer counts.
TEST(ReadAhead, HoldsBoundedReadsAndEntries) {
  test::TempDir tmp;
  test::RecordingFileSystem fs;
  ReadAhead ahead(fs, 2);
  std::vector<std::shared_ptr<ListingAhead>> held;
  while (std::shared_ptr<ListingAhead> read = ahead.Start(tmp.path(), platform::faAnyFile)) {
    held.push_back(std::move(read));
    ASSERT_LE(held.size(), 256u);
  }
  EXPECT_EQ(256u, held.size());
  Listing taken;
  held.back()->TakeInto(taken);
  EXPECT_TRUE(ahead.Start(tmp.path(), platform::faAnyFile));

  Crowded crowded;
  ReadAhead few(crowded, 2);
  std::shared_ptr<ListingAhead> big = few.Start("big", platform::faAnyFile);
  ASSERT_TRUE(big);
  few.Wait();
  EXPECT_FALSE(few.Start("next", platform::faAnyFile));
  big->TakeInto(taken);
  EXPECT_EQ(70000u, taken.Items().size());
  EXPECT_TRUE(few.Start("next", platform::faAnyFile));
}

}  // namespace

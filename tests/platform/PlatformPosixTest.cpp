// What only the POSIX layer does: which kinds of entries are listed, the
// attributes it derives, writes that fall short, moves across file systems.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <future>
#include <map>
#include <random>
#include <thread>
#include <tuple>

#include "Exceptions.h"
#include "platform/Platform.h"
#include "platform/PosixFiles.h"
#include "support/TestSupport.h"

namespace {

using platform::DirEntry;
using platform::RealFileSystem;
using platform::posix::Fd;
using Words = std::vector<std::string>;

Words Names(const std::string& pattern, uint32_t admit) {
  Words names;
  RealFileSystem().List(pattern, admit, [&](const DirEntry& e) { names.push_back(e.name); });
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PosixListing, ListsFilesDirectoriesFifosAndLinksToFilesOnly) {
  test::TempDir t;
  test::WriteFile(t / "file", "12345");
  test::MakeDirs(t / "dir");
  ASSERT_EQ(0, ::mkfifo((t / "fifo").c_str(), 0600));
  ASSERT_EQ(0, ::symlink("file", (t / "tofile").c_str()));
  ASSERT_EQ(0, ::symlink("dir", (t / "todir").c_str()));
  ASSERT_EQ(0, ::symlink("fifo", (t / "tofifo").c_str()));
  ASSERT_EQ(0, ::symlink("nowhere", (t / "dangling").c_str()));
  EXPECT_EQ((Words{".", "..", "dir", "fifo", "file", "tofile"}),
            Names(t / "*.*", platform::faAnyFile));

  // A link to a file is that file, under the link's name.
  DirEntry e;
  ASSERT_TRUE(RealFileSystem().Find(t / "tofile", 0, e));
  EXPECT_EQ("tofile", e.name);
  EXPECT_EQ(5u, e.size);
  EXPECT_EQ(platform::faArchive, e.attr);
  EXPECT_TRUE(RealFileSystem().FileExists(t / "fifo"));
  EXPECT_FALSE(RealFileSystem().FileExists(t / "dangling"));
  platform::FileTime time;
  EXPECT_TRUE(RealFileSystem().LastWriteTime(t / "fifo", time));
}

// Stages `from` as `to` and names it; false when any step fails.
bool StageAndPlace(const std::string& from, const std::string& to, bool replace) {
  platform::FileSystem& fs = RealFileSystem();
  const std::unique_ptr<platform::StagedFile> staged = fs.StageCopy(from, to);
  if (!staged) return false;
  fs.FlushStaged({staged.get()});
  return staged->flushed && fs.PlaceStaged(*staged, replace);
}

// A fifo and (as root) a device are files carrying their kind, sized by
// their device number, and are made again beside a target with their bits,
// owner and times, named like any staged copy (replacing only when asked).
// The names of a file with more than one tell how many and which file.
TEST(PosixListing, SpecialAndLinkedFilesTellWhatTheyAreAndSpecialOnesAreMadeAgain) {
  test::TempDir t;
  test::WriteFile(t / "single", "1");
  test::WriteFile(t / "pair1", "22");
  test::MakeDirs(t / "dst");
  ASSERT_EQ(0, ::link((t / "pair1").c_str(), (t / "pair2").c_str()));
  const bool root = ::geteuid() == 0;
  EXPECT_EQ(root, RealFileSystem().MakesDevices());
  const dev_t null = makedev(1, 3), loop = makedev(7, 200);
  const struct timespec times[2] = {{1000000000, 5}, {946684800, 123456789}};
  for (const auto& [name, kind, device] :
       {std::tuple{"fifo", S_IFIFO, dev_t{0}}, {"char", S_IFCHR, null}, {"block", S_IFBLK, loop}}) {
    if (kind != S_IFIFO && !root) continue;
    const std::string path = t / name;
    ASSERT_EQ(0, ::mknod(path.c_str(), kind | 0654, device));
    ASSERT_EQ(0, ::chmod(path.c_str(), 0654));
    ASSERT_TRUE(!root || ::chown(path.c_str(), 12345, 23456) == 0);
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
  }
  struct stat pair;
  ASSERT_EQ(0, ::stat((t / "pair1").c_str(), &pair));
  const platform::FileId id{pair.st_dev, pair.st_ino};
  using namespace platform;
  const struct {
    const char* name;
    uint32_t attr;
    uint64_t size;
    uint32_t links;
    FileId id;
  } cases[] = {
      {"single", faArchive, 1, 0, {}},
      {"pair1", faArchive, 2, 2, id},
      {"pair2", faArchive, 2, 2, id},
      {"fifo", faArchive | faFifo, 0, 0, {}},
      {"char", faArchive | faCharDevice, null, 0, {}},
      {"block", faArchive | faBlockDevice, loop, 0, {}},
  };
  std::map<std::string, DirEntry> listed, kinds;
  RealFileSystem().List(t / "*.*", 0, [&](const DirEntry& e) { listed[e.name] = e; });
  RealFileSystem().ListKinds(t / "*.*", 0, [&](const DirEntry& e) { kinds[e.name] = e; });
  Words made = {".", ".."};
  for (const auto& c : cases) {
    if (!root && (c.attr & (faCharDevice | faBlockDevice))) continue;
    SCOPED_TRACE(c.name);
    DirEntry found;
    ASSERT_TRUE(RealFileSystem().Find(t / c.name, 0, found));
    for (const DirEntry& e : {listed[c.name], found}) {
      EXPECT_EQ(c.attr, e.attr);
      EXPECT_EQ(c.size, e.size);
      EXPECT_EQ(c.links, e.links);
      EXPECT_EQ(c.id, e.id);
    }
    EXPECT_EQ(c.attr, kinds[c.name].attr);
    if (!(c.attr & faSpecial)) continue;
    const std::string from = t / c.name, to = t / "dst" + "/" + c.name;
    ASSERT_TRUE(StageAndPlace(from, to, false)) << LastErrorText();
    EXPECT_FALSE(StageAndPlace(from, to, false));
    ASSERT_TRUE(StageAndPlace(from, to, true)) << LastErrorText();
    made.push_back(c.name);
    struct stat st, source;
    ASSERT_EQ(0, ::lstat(to.c_str(), &st));
    ASSERT_EQ(0, ::lstat(from.c_str(), &source));
    EXPECT_EQ(source.st_mode, st.st_mode);
    EXPECT_EQ(source.st_rdev, st.st_rdev);
    EXPECT_EQ(root ? 12345u : ::geteuid(), st.st_uid);
    EXPECT_EQ(946684800, st.st_mtim.tv_sec);
    EXPECT_EQ(123456789, st.st_mtim.tv_nsec);
  }
  // No temporary name is left beside the copies.
  std::sort(made.begin(), made.end());
  EXPECT_EQ(made, Names(t / "dst/*.*", faAnyFile));
}

// The kinds-only listing names the same entries with the same kinds (a
// fifo among them), and still follows links (a link to a file is a file, a
// link to a directory is not listed).
TEST(PosixListing, KindsOnlyListingAgreesWithTheFullOne) {
  test::TempDir t;
  test::WriteFile(t / "file", "12345");
  test::WriteFile(t / ".dot", "");
  test::MakeDirs(t / "dir");
  ASSERT_EQ(0, ::mkfifo((t / "fifo").c_str(), 0600));
  ASSERT_EQ(0, ::symlink("file", (t / "tofile").c_str()));
  ASSERT_EQ(0, ::symlink("dir", (t / "todir").c_str()));
  using Kinds = std::vector<std::pair<std::string, uint32_t>>;
  const auto kinds = [&](bool kindsOnly, uint32_t admit) {
    Kinds out;
    const auto add = [&](const DirEntry& e) {
      out.emplace_back(e.name,
                       e.attr & (platform::faDirectory | platform::faHidden | platform::faSpecial));
    };
    if (kindsOnly) {
      RealFileSystem().ListKinds(t / "*.*", admit, add);
    } else {
      RealFileSystem().List(t / "*.*", admit, add);
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  const Kinds all = kinds(false, platform::faAnyFile);
  EXPECT_EQ(7u, all.size());  // ".", "..", ".dot", "dir", "fifo", "file", "tofile"
  EXPECT_EQ(all, kinds(true, platform::faAnyFile));
  EXPECT_EQ(kinds(false, platform::faDirectory), kinds(true, platform::faDirectory));
  EXPECT_EQ(kinds(false, 0), kinds(true, 0));
}

// Listed times are UTC whatever the zone, and their local days are those of
// the wall clock at that time: files on both sides of daylight-saving
// changes, in zones with half-hour offsets and half-hour shifts, and before
// 1970, listed together so that days repeat.
TEST(PosixListing, TimesAreUtcAndTheirDaysLocalAcrossZoneChanges) {
  test::TempDir t;
  const std::vector<time_t> times = {
      1711846799,   1711846800, 1711850400, 1711843200,  // 2024-03-31, Europe DST starts
      1729994399,   1729990800, 1729998000, 1729987200,  // 2024-10-27, Europe DST ends
      1712491200,   1712498400, 1712505600,              // 2024-04-07, Lord Howe half hour
      -86400 * 365, -1,         0,          86399,      4102444799, 4102444800};
  for (size_t i = 0; i < times.size(); ++i) {
    const std::string path = t / ("f" + std::to_string(i));
    test::WriteFile(path, "");
    const struct timespec ts[2] = {{times[i], 0}, {times[i], 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), ts, 0));
  }
  for (const char* zone : {"Europe/Berlin", "Australia/Lord_Howe", "America/St_Johns", "UTC"}) {
    const test::ZoneScope scope(zone);
    RealFileSystem().List(t / "*.*", platform::faAnyFile, [&](const DirEntry& e) {
      if (e.attr & platform::faDirectory) return;
      const time_t when = times[std::stoul(e.name.substr(1))];
      struct tm tm;
      ASSERT_TRUE(localtime_r(&when, &tm));
      EXPECT_EQ(platform::TimeFromSeconds(when, 0), e.time) << zone << " " << when;
      EXPECT_EQ(platform::DayNumber(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday),
                platform::LocalDay(e.time))
          << zone << " " << when;
    });
  }
}

TEST(PosixClocks, TheTypeTellsWhereItCan) {
  // FUSE stands for any file system behind it (exfat-fuse, ntfs-3g, sshfs):
  // a probe has to tell.
  EXPECT_EQ(0, platform::posix::FsTypeOf(0x65735546).clock);
  EXPECT_EQ(1, RealFileSystem().TypeClock("/dev/shm/"));  // tmpfs
  EXPECT_EQ(0, RealFileSystem().TypeClock("/no/such/dir/"));
}

TEST(PosixListing, DerivesTheAttributes) {
  test::TempDir t;
  test::WriteFile(t / ".hidden", "");
  test::WriteFile(t / "locked", "");
  test::MakeDirs(t / ".git");
  ASSERT_EQ(0, ::chmod((t / "locked").c_str(), 0444));
  EXPECT_EQ((Words{"locked"}), Names(t / "*.*", 0));
  EXPECT_EQ((Words{".hidden", "locked"}), Names(t / "*.*", platform::faHidden));
  DirEntry e;
  ASSERT_TRUE(RealFileSystem().Find(t / "locked", 0, e));
  EXPECT_EQ(platform::faReadOnly | platform::faArchive, e.attr);
  ASSERT_TRUE(RealFileSystem().Find(t / ".git", platform::faAnyFile, e));
  EXPECT_EQ(platform::faDirectory | platform::faHidden, e.attr);
}

TEST(PosixListing, PatternsFoldOnlyAsciiLetters) {
  test::TempDir t;
  test::WriteFile(t / "KovrelTemp1.txt", "");
  test::WriteFile(t / "kovreltemp2.TXT", "");
  EXPECT_EQ((Words{"KovrelTemp1.txt", "kovreltemp2.TXT"}), Names(t / "kovrelTEMP*.txt", 0));
  test::WriteFile(t / "KovrelTemp12.txt", "");
  EXPECT_EQ((Words{"KovrelTemp1.txt", "kovreltemp2.TXT"}), Names(t / "K?vrelTemp?.txt", 0));
}

TEST(PosixSaveLines, RaisesEWriteErrorOnAShortWrite) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  try {
    RealFileSystem().SaveLines("/dev/full", {"x"});
    ADD_FAILURE() << "no error";
  } catch (const EWriteError& e) {
    EXPECT_EQ(platform::ProgramText("ストリームへの書き込みエラー"), e.Message());
  }
}

TEST(PosixSaveLines, ReplacesAReadOnlyFileOnlyWhenItMay) {
  test::TempDir t;
  test::WriteFile(t / "out.txt", "old");
  ASSERT_EQ(0, ::chmod((t / "out.txt").c_str(), 0444));
  if (::access((t / "out.txt").c_str(), W_OK) == 0) GTEST_SKIP() << "running with privileges";
  EXPECT_THROW(RealFileSystem().SaveLines(t / "out.txt", {"new"}), EFCreateError);
  EXPECT_EQ("old", test::ReadFile(t / "out.txt"));
}

TEST(PosixMoveFile, AcrossFileSystemsKeepsTheTimeAndNeverReplaces) {
  const std::string other = "/dev/shm";
  test::TempDir t;
  struct stat a, b;
  if (::stat(other.c_str(), &b) != 0 || ::stat(t.path().c_str(), &a) != 0 || a.st_dev == b.st_dev ||
      ::access(other.c_str(), W_OK) != 0)
    GTEST_SKIP() << "no second file system at hand";
  const std::string target = other + "/kovrel-move-" + std::to_string(::getpid());
  test::WriteFile(t / "f", "data");
  test::SetLocalMTime(t / "f", 2001, 2, 3, 4, 5, 6);
  ASSERT_TRUE(RealFileSystem().MoveFile(t / "f", target, false));
  EXPECT_FALSE(test::IsFile(t / "f"));
  EXPECT_EQ("data", test::ReadFile(target));
  EXPECT_EQ("2001-02-03 04:05:06", test::LocalMTime(target));
  test::WriteFile(t / "g", "other");
  EXPECT_FALSE(RealFileSystem().MoveFile(t / "g", target, false));
  EXPECT_EQ("data", test::ReadFile(target));
  EXPECT_EQ("other", test::ReadFile(t / "g"));
  // A replacing move across them puts a whole copy in place first.
  ASSERT_TRUE(RealFileSystem().MoveFile(t / "g", target, true));
  EXPECT_EQ("other", test::ReadFile(target));
  EXPECT_FALSE(test::IsFile(t / "g"));
  ::unlink(target.c_str());
}

// A copy is written unnamed (or under a temporary name) and only then takes
// its name: a new name, a replaced file and a directory in the way all leave
// nothing else behind.
TEST(PosixCopyFile, TakesItsNameOnlyWhenComplete) {
  test::TempDir t;
  test::WriteFile(t / "src", "data");
  test::SetLocalMTime(t / "src", 1999, 12, 31, 23, 59, 58);
  ASSERT_EQ(0, ::chmod((t / "src").c_str(), 0640));
  ASSERT_TRUE(RealFileSystem().CopyFile(t / "src", t / "new", true, nullptr));
  test::WriteFile(t / "old", "previous");
  ASSERT_TRUE(RealFileSystem().CopyFile(t / "src", t / "old", true, nullptr));
  test::MakeDirs(t / "dir");
  EXPECT_FALSE(RealFileSystem().CopyFile(t / "src", t / "dir", true, nullptr));
  for (const char* name : {"new", "old"}) {
    EXPECT_EQ("data", test::ReadFile(t / name)) << name;
    EXPECT_EQ("1999-12-31 23:59:58", test::LocalMTime(t / name)) << name;
    struct stat st;
    ASSERT_EQ(0, ::stat((t / name).c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777) << name;
  }
  EXPECT_TRUE(test::IsDir(t / "dir"));
  EXPECT_EQ((Words{"new", "old", "src"}), test::ListTree(t.path()));
}

// A fifo put in the place of a listed file is made again and never opened
// for reading: the copy neither waits for the writer that holds it open
// nor takes what it wrote.
TEST(PosixStageCopy, AFifoInPlaceOfAListedFileIsNeverRead) {
  test::TempDir t;
  const std::string from = t / "was-file";
  test::WriteFile(from, "data");
  DirEntry e;
  ASSERT_TRUE(RealFileSystem().Find(from, 0, e));
  EXPECT_EQ(platform::faArchive, e.attr);
  ASSERT_EQ(0, ::unlink(from.c_str()));
  ASSERT_EQ(0, ::mkfifo(from.c_str(), 0600));
  Fd held(::open(from.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  ASSERT_EQ(4, ::write(held.get(), "held", 4));
  auto copy =
      std::async(std::launch::async, [&] { return StageAndPlace(from, t / "copy", false); });
  if (copy.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "the copy waits on the fifo";
    held.reset(-1);  // a reader waiting for more bytes gets the end
  }
  EXPECT_TRUE(copy.get());
  struct stat st;
  ASSERT_EQ(0, ::lstat((t / "copy").c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  char bytes[8];
  EXPECT_EQ(4, ::read(held.get(), bytes, sizeof bytes));
}

// A file rewritten block by block, in random order, while it is copied.
// Every block holds the number of the write that wrote it last (0: none
// yet), so the state after any write is known. The staged copy is the file
// as it was after one write (the newest it shows) and carries the time the
// file had then; or the copy fails as changed. Never a mix.
TEST(PosixStageCopy, AFileRewrittenWhileCopiedIsStagedWholeOrNotAtAll) {
  constexpr size_t kBlock = 64 * 1024, kBlocks = 1024;
  constexpr uint32_t kWrites = 400;
  const auto blockOf = [](uint32_t stamp) {
    std::string block(kBlock, '\0');
    for (size_t i = 0; i < kBlock; i += sizeof stamp) std::memcpy(&block[i], &stamp, sizeof stamp);
    return block;
  };
  test::TempDir t;
  const std::string from = t / "big", to = t / "copy";
  test::WriteFile(from, std::string(kBlock * kBlocks, '\0'));
  const Fd file(::open(from.c_str(), O_WRONLY | O_CLOEXEC));
  std::mt19937 random(20261210);
  std::vector<size_t> order(kWrites + 1);
  for (uint32_t k = 1; k <= kWrites; ++k) order[k] = random() % kBlocks;
  // The file's last-write time after each write.
  std::vector<struct timespec> times(kWrites + 1);
  struct stat st;
  ASSERT_EQ(0, ::fstat(file.get(), &st));
  times[0] = st.st_mtim;
  std::atomic<bool> begun{false};
  std::thread writer([&] {
    struct stat now;
    for (uint32_t k = 1; k <= kWrites; ++k) {
      const std::string block = blockOf(k);
      if (::pwrite(file.get(), block.data(), kBlock, static_cast<off_t>(order[k] * kBlock)) < 0 ||
          ::fstat(file.get(), &now) != 0) {
        break;
      }
      times[k] = now.st_mtim;
      begun = true;
    }
    begun = true;
  });
  while (!begun) std::this_thread::yield();
  const bool placed = StageAndPlace(from, to, false);
  const unsigned long error = platform::LastErrorCode();
  writer.join();
  if (!placed) {
    EXPECT_EQ(platform::kChangedWhileCopied, error);
    EXPECT_EQ((Words{".", "..", "big"}), Names(t / "*.*", platform::faAnyFile));
    return;
  }
  const std::string copy = test::ReadFile(to);
  ASSERT_EQ(kBlock * kBlocks, copy.size());
  uint32_t newest = 0;
  for (size_t b = 0; b < kBlocks; ++b) {
    uint32_t stamp;
    std::memcpy(&stamp, &copy[b * kBlock], sizeof stamp);
    newest = std::max(newest, stamp);
  }
  ASSERT_LE(newest, kWrites);
  std::vector<uint32_t> expected(kBlocks, 0);
  for (uint32_t k = 1; k <= newest; ++k) expected[order[k]] = k;
  size_t mixed = 0;
  for (size_t b = 0; b < kBlocks; ++b)
    mixed += copy.compare(b * kBlock, kBlock, blockOf(expected[b])) != 0;
  EXPECT_EQ(0u, mixed) << "blocks that differ from the file after write " << newest;
  ASSERT_EQ(0, ::stat(to.c_str(), &st));
  EXPECT_EQ(times[newest].tv_sec, st.st_mtim.tv_sec);
  EXPECT_EQ(times[newest].tv_nsec, st.st_mtim.tv_nsec);
}

// A second name of a file, reached without following a link: a name that
// is there is replaced only when asked, in one step; a link is linked as
// itself. No temporary name is left.
TEST(PosixLinkFile, MakesAnotherNameReplacingOnlyWhenAsked) {
  test::TempDir t;
  test::WriteFile(t / "stage/a", "A");
  test::WriteFile(t / "stage/b", "B");
  ASSERT_EQ(0, ::symlink("a", (t / "stage/ln").c_str()));
  platform::FileSystem& fs = RealFileSystem();
  const std::string s = t / "stage/";
  fs.SetRoots({s});
  const struct {
    const char *existing, *to;
    bool replace;
    int error;  // 0: linked
  } cases[] = {{"a", "b", false, EEXIST}, {"a", "c", false, 0},  {"a", "b", true, 0},
               {"a", "c", true, 0},       {"ln", "d", false, 0}, {"gone", "e", true, ENOENT}};
  const auto inode = [](const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.existing) + " -> " + c.to + (c.replace ? " replacing" : ""));
    EXPECT_EQ(c.error == 0, fs.LinkFile(s + c.existing, s + c.to, c.replace));
    if (c.error != 0) {
      EXPECT_EQ(c.error, errno);
    } else {
      EXPECT_EQ(inode(s + c.existing), inode(s + c.to));
    }
  }
  fs.SetRoots({});
  EXPECT_EQ("A", test::ReadFile(s + "b"));
  EXPECT_EQ((Words{".", "..", "a", "b", "c", "d", "ln"}), Names(s + "*.*", platform::faAnyFile));
}

TEST(PosixCodeset, NamesMapToRules) {
  using platform::CharRule;
  using platform::CharRuleForCodeset;
  for (const char* name : {"SHIFT_JIS", "sjis", "CP932", "WINDOWS-31J"})
    EXPECT_EQ(CharRule::Cp932, CharRuleForCodeset(name)) << name;
  for (const char* name : {"UTF-8", "utf8", "ANSI_X3.4-1968", ""})
    EXPECT_EQ(CharRule::Utf8, CharRuleForCodeset(name)) << name;
  for (const char* name : {"ISO-8859-1", "EUC-JP", "KOI8-R"})
    EXPECT_EQ(CharRule::SingleByte, CharRuleForCodeset(name)) << name;
}

// A link that leads nowhere names nothing; a path that cannot be looked up
// is not said to be gone.
TEST(PosixKindOf, BrokenLinksAreGoneAndLookupErrorsAreUnknown) {
  test::TempDir t;
  ASSERT_EQ(0, ::symlink("a", (t / "b").c_str()));
  ASSERT_EQ(0, ::symlink("b", (t / "a").c_str()));
  ASSERT_EQ(0, ::symlink("nowhere", (t / "dangling").c_str()));
  EXPECT_EQ(platform::PathKind::Missing, RealFileSystem().KindOf(t / "a"));
  EXPECT_EQ(platform::PathKind::Missing, RealFileSystem().KindOf(t / "dangling"));
  EXPECT_EQ(platform::PathKind::Unknown, RealFileSystem().KindOf(t / std::string(300, 'n')));
}

// Below the directories a run names, a link of any kind is an entry of its
// own (a file with its own size and time) and no path through one reaches
// anything; the named directory itself may be a link. Outside them, and once
// the run is over, links are followed as before.
TEST(PosixRoots, BelowARootLinksAreEntriesAndNeverWaysThrough) {
  test::TempDir t;
  test::WriteFile(t / "outside/keep", "K");
  test::WriteFile(t / "real/file", "12345");
  ASSERT_EQ(0, ::symlink((t / "real").c_str(), (t / "root").c_str()));
  ASSERT_EQ(0, ::symlink((t / "outside").c_str(), (t / "real/todir").c_str()));
  ASSERT_EQ(0, ::symlink("nowhere", (t / "real/dangling").c_str()));
  const struct timespec times[2] = {{0, UTIME_OMIT}, {946684800, 123456789}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, (t / "real/todir").c_str(), times, AT_SYMLINK_NOFOLLOW));
  platform::FileSystem& fs = RealFileSystem();
  fs.SetRoots({t / "root/"});
  const std::string r = t / "root/";

  EXPECT_EQ((Words{".", "..", "dangling", "file", "todir"}), Names(r + "*.*", platform::faAnyFile));
  DirEntry e;
  ASSERT_TRUE(fs.Find(r + "todir", platform::faAnyFile, e));
  EXPECT_EQ(platform::faArchive | platform::faSymLink, e.attr);
  EXPECT_EQ((t / "outside").size(), e.size);
  EXPECT_TRUE(fs.FileExists(r + "dangling"));
  EXPECT_FALSE(fs.DirectoryExists(r + "todir"));
  EXPECT_EQ(platform::PathKind::File, fs.KindOf(r + "todir"));
  EXPECT_EQ(platform::PathKind::Missing, fs.KindOf(r + "todir/keep"));
  EXPECT_TRUE(Names(r + "todir/*.*", platform::faAnyFile).empty());
  EXPECT_FALSE(fs.CreateDir(r + "todir/made"));
  EXPECT_FALSE(fs.CopyFile(r + "file", r + "todir/copy", false, nullptr));
  EXPECT_FALSE(fs.MoveFile(r + "file", r + "todir/moved", true));
  EXPECT_FALSE(fs.DeleteFile(r + "todir/keep"));
  EXPECT_THROW(fs.SaveLines(r + "todir/keep", {"x"}), EFCreateError);

  // A link's copy is a link with the same target text and time; a move
  // keeps it a link.
  ASSERT_TRUE(fs.CopyFile(r + "todir", r + "copy", false, nullptr));
  ASSERT_TRUE(fs.MoveFile(r + "copy", r + "moved", false));
  struct stat st;
  ASSERT_EQ(0, ::lstat((t / "real/moved").c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(946684800, st.st_mtim.tv_sec);
  EXPECT_EQ(123456789, st.st_mtim.tv_nsec);
  EXPECT_EQ(t / "outside", std::filesystem::read_symlink(t / "real/moved").string());

  fs.SetRoots({});
  EXPECT_TRUE(fs.DirectoryExists(r + "todir"));
  EXPECT_EQ((Words{"keep"}), test::ListTree(t / "outside"));
  EXPECT_EQ("K", test::ReadFile(t / "outside/keep"));
}

// Sets an environment variable for a scope and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    if (had_) {
      ::setenv(name_, old_.c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

// The run's lock is a file in the stage that only the runner may open, made
// 0600 and never reached through a link; what someone else planted in its
// place is refused (a dry run, which makes nothing, runs unlocked instead)
// and nothing is made or written where it leads.
TEST(PosixLockStage, LockFileIsTheRunnersOwnAndAPlantedOneIsRefused) {
  const auto plant = [](const std::string& lock, const std::string& elsewhere, int kind) {
    switch (kind) {
      case 1:
        return ::symlink(elsewhere.c_str(), lock.c_str());
      case 2:
        return ::mkfifo(lock.c_str(), 0600);
      case 3:
        return ::mkdir(lock.c_str(), 0700);
      case 4:  // another user's
        return ::close(::open(lock.c_str(), O_WRONLY | O_CREAT, 0600)) +
               ::chmod(lock.c_str(), 0644) + ::chown(lock.c_str(), 65534, 65534);
      case 5:  // as exFAT shows every file and directory
        return ::close(::open(lock.c_str(), O_WRONLY | O_CREAT, 0600)) +
               ::chmod(lock.c_str(), 0777) + ::chown(lock.c_str(), 65534, static_cast<gid_t>(-1)) +
               ::chmod(lock.substr(0, lock.rfind('/')).c_str(), 0777);
      case 6:  // the runner's own
        return ::close(::open(lock.c_str(), O_WRONLY | O_CREAT, 0600)) +
               ::chmod(lock.c_str(), 0644);
      default:
        return 0;
    }
  };
  const struct {
    const char* what;
    int kind;
    bool make;
    bool locked;  // a lock object, holding the file or (dry run) nothing
    int error;
  } cases[] = {
      {"nothing, a run", 0, true, true, 0},
      {"nothing, a dry run", 0, false, true, 0},
      {"a dangling link", 1, true, false, ELOOP},
      {"a dangling link, a dry run", 1, false, true, 0},
      {"a fifo", 2, true, false, EINVAL},
      {"a directory", 3, true, false, EISDIR},
      {"another user's file others may read", 4, true, false, EPERM},
      {"a file others may open, where they may write the stage too", 5, true, true, 0},
      {"the runner's own file others may read, made private again", 6, true, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if ((c.kind == 4 || c.kind == 5) && !test::IsSuperUser()) continue;  // no other user's file
    test::TempDir t;
    test::MakeDirs(t / "bk1");
    const std::string lock = t / ("bk1/" + std::string(platform::RunLockName));
    ASSERT_EQ(0, plant(lock, t / "elsewhere", c.kind));
    errno = 0;
    const auto held = platform::LockStage(t / "bk1/", c.make, [] { ADD_FAILURE() << "waited"; });
    const int error = errno;
    EXPECT_EQ(c.locked, held != nullptr);
    EXPECT_EQ(c.error, c.locked ? 0 : error);
    EXPECT_FALSE(std::filesystem::exists(t / "elsewhere"));
    struct stat st;
    if (c.kind == 6) {
      ASSERT_EQ(0, ::lstat(lock.c_str(), &st));
      EXPECT_EQ(0600u, st.st_mode & 07777);
    }
    if (c.kind != 0) continue;
    EXPECT_EQ(c.make, ::lstat(lock.c_str(), &st) == 0);
    if (!c.make) continue;
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ(::geteuid(), st.st_uid);
  }
}

// A program below a system prefix is installed, also for root: by whole
// names, not by the letters a name begins with.
TEST(PosixInstalledProgram, BelowTheSystemPrefixesOnly) {
  const struct {
    const char* dir;
    bool installed;
  } cases[] = {
      {"/usr/bin/", true},
      {"/usr/local/bin/", true},
      {"/bin/", true},
      {"/sbin/", true},
      {"/lib/kovrel/", true},
      {"/opt/kovrel/bin/", true},
      {"/usr", true},
      {"/opt/", true},
      {"/usr2/bin/", false},
      {"/optional/kovrel/", false},
      {"/libexec/", false},
      {"/home/ann/bin/", false},
      {"/tmp/usr/bin/", false},
      {"/", false},
      {"", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.installed, platform::InstalledProgramDirectory(c.dir)) << c.dir;
}

// An absolute $XDG_STATE_HOME names the base; an empty or a relative one
// counts as not set. Every directory made is the user's alone.
TEST(PosixStateDirectory, XdgStateHomeWhenAbsoluteElseUnderHome) {
  test::TempDir t;
  const ScopedEnv home("HOME", t / "home");
  const struct {
    std::string xdg, dir;
  } cases[] = {
      {t / "xdg/state", t / "xdg/state/kovrel/"},
      {"", t / "home/.local/state/kovrel/"},
      {"relative/state", t / "home/.local/state/kovrel/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xdg);
    const ScopedEnv xdg("XDG_STATE_HOME", c.xdg);
    EXPECT_EQ(c.dir, platform::UserStateDirectory());
    for (const char* made : {"", "..", "../.."}) {
      struct stat st;
      ASSERT_EQ(0, ::stat((c.dir + made).c_str(), &st)) << made;
      EXPECT_EQ(0700u, st.st_mode & 07777) << made;
    }
  }
}

}  // namespace

// A stage's probe, made once per run when first asked, finds that a disk of
// POSIX kind keeps what a copy carries, and leaves neither a name nor a
// changed time behind.
TEST(PosixStageKeeps, AProbeOfAPosixDiskFindsEverythingKeptAndLeavesNothing) {
  test::TempDir t;
  test::MakeDirs(t / "bk1");
  constexpr platform::FileTime kDirTime = 1589000000 * platform::kSecond + 700;
  test::SetUtcMTime(t / "bk1", kDirTime);
  platform::FileSystem& fs = platform::RealFileSystem();
  const std::string stage = t / "bk1/";
  // Below no stage of a run nothing is probed: everything is taken as kept.
  EXPECT_EQ(platform::kKeepsAll, fs.StageKeeps(stage));
  fs.SetRoots({t / "src/", stage});
  const uint32_t keeps = fs.StageKeeps(stage);
  const uint32_t wanted = platform::kKeepsBits | platform::kKeepsLinks | platform::kKeepsFifos;
  EXPECT_EQ(wanted, keeps & wanted);
  EXPECT_EQ(fs.MakesDevices(), (keeps & platform::kKeepsDevices) != 0);
  EXPECT_EQ(0u, fs.Unkept(stage));
  fs.SetRoots({});
  EXPECT_EQ(std::vector<std::string>{}, test::ListTree(t / "bk1"));
  struct stat st;
  ASSERT_EQ(0, ::stat((t / "bk1").c_str(), &st));
  EXPECT_EQ(kDirTime, platform::TimeFromSeconds(st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
}

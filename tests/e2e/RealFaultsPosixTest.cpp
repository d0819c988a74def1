// Runs of the built program against what real POSIX file systems do to it:
// stages on two file systems, sources it may not read, entries that are no
// files and paths longer than the system takes.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "Backup.h"
#include "platform/PosixFiles.h"
#include "support/RecordingFileSystem.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

// A run that takes longer than this is taken for a walk that never ends.
constexpr int kRunLimitMs = 30000;
// The run's own lock file, which stage 1 holds beside the backup.
const std::string kLock = platform::RunLockName;

using platform::posix::Fd;

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// Every name in a directory but "." and "..", of any kind, sorted.
std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  DirPtr d(::opendir(dir.c_str()));
  if (!d) return names;
  while (const dirent* e = ::readdir(d.get())) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

unsigned Mode(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFFu;
}

void Chmod(const std::string& path, unsigned mode) {
  ASSERT_EQ(0, ::chmod(path.c_str(), mode)) << path << ": " << std::strerror(errno);
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string Octal(unsigned mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", mode);
  return buf;
}

// The last-write time that Put gives for a day.
std::string When(int day) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "2021-03-%02d %02d:00:00", day, 9 + day);
  return buf;
}

// Contents, local last-write time and permission bits: what a generation
// has to keep.
std::string Generation(const std::string& path) {
  if (!test::IsFile(path)) return "(none)";
  return test::ReadFile(path) + " | " + test::LocalMTime(path) + " | " + Octal(Mode(path));
}

// A link's target text and its own local last-write time; "(none)" when
// `path` is no link.
std::string LinkGeneration(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return "(none)";
  char target[4096];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
  char when[32];
  struct tm tm;
  ::localtime_r(&st.st_mtime, &tm);
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
  return std::string(target, n < 0 ? 0 : static_cast<size_t>(n)) + " | " + when;
}

// The lines a run told on standard error.
std::vector<std::string> StderrLines(const test::ProgramRun& run) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = run.stderrText.find('\n', at)) != std::string::npos;
       at = end + 1) {
    lines.push_back(run.stderrText.substr(at, end - at));
  }
  return lines;
}

// Base of the runs on real trees: a temporary folder with the program
// installed in bin/, and runs that may not take forever.
class RealFaults : public ::testing::Test {
 protected:
  void SetUp() override { exe_ = test::InstallProgram(tmp_ / "bin"); }

  std::string P(const std::string& rel) const { return tmp_ / rel; }

  void Put(const std::string& rel, const std::string& content, int day, unsigned mode = 0644) {
    // A new file: the old one may be read-only.
    std::error_code ec;
    fs::remove(P(rel), ec);
    test::WriteFile(P(rel), content);
    Chmod(P(rel), mode);
    test::SetLocalMTime(P(rel), 2021, 3, day, 9 + day);
  }

  // A symbolic link `rel` to `target`, with its own last-write time as Put gives.
  void PutLink(const std::string& rel, const std::string& target, int day) {
    ASSERT_EQ(0, ::symlink(target.c_str(), P("src/" + rel).c_str())) << rel;
    struct tm tm = {};
    tm.tm_year = 121;
    tm.tm_mon = 2;
    tm.tm_mday = day;
    tm.tm_hour = 9 + day;
    tm.tm_isdst = -1;
    const struct timespec times[2] = {{0, UTIME_OMIT}, {::mktime(&tm), 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, P("src/" + rel).c_str(), times, AT_SYMLINK_NOFOLLOW));
  }

  // Runs `exe` (the installed program unless given) over full paths; a run
  // that does not end within the limit is killed and fails the test.
  test::ProgramRun Run(const std::vector<std::string>& args, std::string exe = "") {
    if (exe.empty()) exe = exe_;
    test::StartedProgram program(exe, args);
    test::ProgramRun run;
    if (!program.Wait(kRunLimitMs, run)) {
      program.Kill();
      ADD_FAILURE() << "the run did not end within " << kRunLimitMs / 1000 << " s";
    }
    return run;
  }

  test::TempDir tmp_;
  std::string exe_;
};

// Only a process that may write stage 1 can hold the run's lock. One that
// may only read it (nobody, when the tests run as root) locks the directory
// itself, and the run goes on all the same: the lock is a file of the
// runner's that nobody else may open.
TEST_F(RealFaults, ReaderLockingStageOneStopsNoRun) {
  const bool asRoot = ::geteuid() == 0 && ::access("/usr/bin/setpriv", X_OK) == 0;
  const std::string as =
      asRoot ? "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  Chmod(tmp_.path(), 0755);
  Put("src/a.txt", "A1", 1);
  const std::vector<std::string> stages = {P("src"), P("bk1"), P("bk2")};
  ASSERT_EQ(0, Run(stages).exitCode);
  const std::string lock = P("bk1/" + kLock);
  struct stat st;
  ASSERT_EQ(0, ::lstat(lock.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_EQ(::geteuid(), st.st_uid);

  test::WriteFile(P("reader/flock"), "#!/bin/sh\nexec " + as + "flock \"$1\" sleep 600\n");
  Chmod(P("reader/flock"), 0755);
  test::StartedProgram reader(P("reader/flock"), {P("bk1")});
  // Until the reader holds the directory.
  const Fd dir(::open(P("bk1").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  test::ProgramRun ended;
  while (::flock(dir.get(), LOCK_EX | LOCK_NB) == 0) {
    ::flock(dir.get(), LOCK_UN);
    ASSERT_FALSE(reader.Wait(10, ended)) << "the reader could not lock stage 1";
  }
  if (asRoot) {
    const std::string theirs = as + "flock -n '" + lock + "' true 2>/dev/null";
    EXPECT_NE(0, std::system(theirs.c_str())) << "a reader holds the run's lock";
  }
  Put("src/a.txt", "A2", 2);
  const test::ProgramRun run = Run(stages);
  EXPECT_EQ(0, run.exitCode);
  EXPECT_EQ("", run.stderrText);
  EXPECT_EQ("A2 | " + When(2) + " | 0644", Generation(P("bk1/a.txt")));
  EXPECT_EQ("A1 | " + When(1) + " | 0644", Generation(P("bk2/a.txt")));
  reader.Kill();
}

// ---------------------------------------------------------------------------
// Stages on two file systems

// A fresh directory on the memory file system, removed at the end.
class ShmDir {
 public:
  ShmDir() {
    std::string templ = "/dev/shm/kovrel-faults-XXXXXX";
    if (::mkdtemp(templ.data())) path_ = templ;
  }
  ShmDir(const ShmDir&) = delete;
  ShmDir& operator=(const ShmDir&) = delete;
  ~ShmDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A MiB and a bit, so that a copy takes more than one read and write.
std::string LargeText(int version) {
  std::string s((1u << 20) + 7, '\0');
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>('a' + (i * 7 + version) % 26);
  return s;
}

TEST_F(RealFaults, GenerationsMovingBetweenFileSystemsKeepContentsTimesModesOwnersAndAttributes) {
  struct stat disk, shm;
  if (::stat("/dev/shm", &shm) != 0 || !S_ISDIR(shm.st_mode)) GTEST_SKIP() << "no /dev/shm";
  ASSERT_EQ(0, ::stat(tmp_.path().c_str(), &disk));
  if (disk.st_dev == shm.st_dev) GTEST_SKIP() << "/dev/shm is on the temporary folder's device";
  const ShmDir mem;
  ASSERT_FALSE(mem.path().empty()) << std::strerror(errno);
  // Disk, memory, memory, disk: moves across and within file systems.
  const std::string bk2 = mem.path() + "/bk2";
  const std::string bk3 = mem.path() + "/bk3";
  const std::vector<std::string> stage = {P("src"), P("bk1"), bk2, bk3, P("bk4")};
  const unsigned modes[] = {0644, 0600, 0755, 0444, 0640};

  Put("src/same.txt", "unchanged", 1);
  Put("src/gone/a.txt", "a", 1, 0600);
  // Each version has an owner of its own (as root) and an attribute.
  const bool root = ::geteuid() == 0;
  const auto owner = [&](int v) { return root ? 12345u + v : ::geteuid(); };
  for (int v = 1; v <= 5; ++v) {
    Put("src/doc/f.txt", "version " + std::to_string(v), v, modes[v - 1]);
    Put("src/large.bin", LargeText(v), v, modes[5 - v]);
    ::unlink(P("src/doc/l").c_str());
    PutLink("doc/l", "v" + std::to_string(v), v);
    const std::string f = P("src/doc/f.txt");
    ASSERT_EQ(0, ::setxattr(f.c_str(), "user.v", &"012345"[v], 1, 0)) << std::strerror(errno);
    ASSERT_EQ(0, ::chown(f.c_str(), owner(v), static_cast<gid_t>(-1)));
    Chmod(f, modes[v - 1]);
    const test::ProgramRun run = Run(stage);
    ASSERT_EQ(0, run.exitCode) << run.stderrText;
  }
  // Stage k holds version 6 - k of both files.
  for (int k = 1; k <= 4; ++k) {
    SCOPED_TRACE("stage " + std::to_string(k));
    const int v = 6 - k;
    EXPECT_EQ("version " + std::to_string(v) + " | " + When(v) + " | " + Octal(modes[v - 1]),
              Generation(stage[k] + "/doc/f.txt"));
    EXPECT_TRUE(LargeText(v) == test::ReadFile(stage[k] + "/large.bin"));
    EXPECT_EQ(When(v), test::LocalMTime(stage[k] + "/large.bin"));
    EXPECT_EQ(Octal(modes[5 - v]), Octal(Mode(stage[k] + "/large.bin")));
    EXPECT_EQ("v" + std::to_string(v) + " | " + When(v), LinkGeneration(stage[k] + "/doc/l"));
    const std::string f = stage[k] + "/doc/f.txt";
    char attr = 0;
    EXPECT_EQ(1, ::getxattr(f.c_str(), "user.v", &attr, 1));
    EXPECT_EQ('0' + v, attr);
    struct stat st;
    ASSERT_EQ(0, ::stat(f.c_str(), &st));
    EXPECT_EQ(owner(v), st.st_uid);
  }
  EXPECT_EQ((std::vector<std::string>{kLock, "doc", "gone", "large.bin", "same.txt"}),
            Entries(P("bk1")));
  EXPECT_EQ((std::vector<std::string>{"doc", "large.bin"}), Entries(bk2));

  // Deleted from the source: stage 1's copies go down across the devices.
  const std::string f5 = Generation(P("bk1/doc/f.txt"));
  const std::string f4 = Generation(bk2 + "/doc/f.txt");
  const std::string f3 = Generation(bk3 + "/doc/f.txt");
  const std::string a1 = Generation(P("bk1/gone/a.txt"));
  EXPECT_EQ("a | " + When(1) + " | 0600", a1);
  fs::remove_all(P("src/doc"));
  fs::remove_all(P("src/gone"));
  const test::ProgramRun run = Run(stage);
  ASSERT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_EQ((std::vector<std::string>{kLock, "large.bin", "same.txt"}), Entries(P("bk1")));
  EXPECT_EQ(f5, Generation(bk2 + "/doc/f.txt"));
  EXPECT_EQ(f4, Generation(bk3 + "/doc/f.txt"));
  EXPECT_EQ(f3, Generation(P("bk4/doc/f.txt")));
  EXPECT_EQ(a1, Generation(bk2 + "/gone/a.txt"));
  EXPECT_EQ("v5 | " + When(5), LinkGeneration(bk2 + "/doc/l"));
  // No copy was left behind under a name of its own.
  EXPECT_EQ((std::vector<std::string>{"doc", "gone", "large.bin"}), Entries(bk2));
  EXPECT_EQ((std::vector<std::string>{"f.txt", "l"}), Entries(bk2 + "/doc"));
  EXPECT_EQ((std::vector<std::string>{"doc", "large.bin"}), Entries(bk3));
  EXPECT_EQ((std::vector<std::string>{"f.txt", "l"}), Entries(bk3 + "/doc"));
  EXPECT_EQ((std::vector<std::string>{"doc", "large.bin"}), Entries(P("bk4")));
}

// ---------------------------------------------------------------------------
// Sources the program may not read

// Runs as a user without the right to read what is made unreadable: root
// reads everything, so as root the program is started through setpriv as
// nobody, over a tree that nobody may reach.
class UnreadableSource : public RealFaults {
 protected:
  void SetUp() override {
    RealFaults::SetUp();
    runner_ = exe_;
    if (::geteuid() != 0) return;
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "running as root, no setpriv";
    Chmod(tmp_.path(), 0777);
    runner_ = P("bin/kovrel-as-nobody");
    Chmod(P("bin"), 0777);  // for the report beside the program
    test::WriteFile(runner_, "#!/bin/sh\nexec /usr/bin/setpriv " + std::string(kNobody) + " '" +
                                 exe_ + "' \"$@\"\n");
    Chmod(runner_, 0755);
    const std::string probe = "/usr/bin/setpriv " + std::string(kNobody) +
                              " /bin/sh -c 'test -w \"" + tmp_.path() + "\" && test -x \"" + exe_ +
                              "\"'";
    if (std::system(probe.c_str()) != 0) GTEST_SKIP() << "nobody cannot reach " << tmp_.path();
  }

  // Three stages, with more options.
  test::ProgramRun Backup(const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = {P("src"), P("bk1"), P("bk2"), P("bk3")};
    args.insert(args.end(), options.begin(), options.end());
    return Run(args, runner_);
  }

  // Every line told on standard error is a failure below `dir`, for want of
  // permission; at least one is.
  static void ExpectDenied(const test::ProgramRun& run, const std::string& dir) {
    EXPECT_EQ(2, run.exitCode);
    const std::vector<std::string> told = StderrLines(run);
    EXPECT_FALSE(told.empty());
    for (const std::string& line : told) {
      EXPECT_EQ(0u, line.rfind("kovrel: failed  " + dir, 0)) << line;
      EXPECT_NE(std::string::npos, line.find(std::string("\t") + std::strerror(EACCES))) << line;
    }
  }

  static constexpr const char* kNobody = "--reuid=65534 --regid=65534 --clear-groups";
  std::string runner_;  // the program, or the script that starts it as nobody
};

TEST_F(UnreadableSource, ChangedFileThatCannotBeReadMovesNoGeneration) {
  for (int v = 1; v <= 3; ++v) {
    Put("src/locked.txt", "L" + std::to_string(v), v);
    Put("src/open.txt", "O" + std::to_string(v), v);
    Put("src/sub/deep.txt", "D" + std::to_string(v), v);
    const test::ProgramRun run = Backup();
    ASSERT_EQ(0, run.exitCode) << run.stderrText;
  }
  const std::string l3 = Generation(P("bk1/locked.txt"));
  const std::string l2 = Generation(P("bk2/locked.txt"));
  const std::string l1 = Generation(P("bk3/locked.txt"));
  ASSERT_EQ("L3 | " + When(3) + " | 0644", l3);

  Put("src/locked.txt", "L4", 4, 0);
  Put("src/open.txt", "O4", 4);
  Put("src/sub/deep.txt", "D4", 4);
  const test::ProgramRun run = Backup({test::Opt("M")});
  // Told on standard error and in the report, right after the decision.
  const std::string failed = "failed  " + P("src/locked.txt") + "\t" + std::strerror(EACCES);
  EXPECT_EQ(2, run.exitCode);
  EXPECT_EQ("kovrel: " + failed + "\n", run.stderrText);
  const std::vector<std::string> report =
      test::CrLfLines(test::ReadFile(test::ReportPath(exe_, 1)));
  const auto copied = std::find(report.begin(), report.end(), "copied  " + P("src/locked.txt"));
  ASSERT_NE(report.end(), copied);
  ASSERT_NE(report.end(), copied + 1);
  EXPECT_EQ(failed, *(copied + 1));
  EXPECT_EQ(4u, report.size());
  EXPECT_EQ(l3, Generation(P("bk1/locked.txt")));
  EXPECT_EQ(l2, Generation(P("bk2/locked.txt")));
  EXPECT_EQ(l1, Generation(P("bk3/locked.txt")));
  // The files that could be read went their way.
  EXPECT_EQ("O4 | " + When(4) + " | 0644", Generation(P("bk1/open.txt")));
  EXPECT_EQ("O3", test::ReadFile(P("bk2/open.txt")));
  EXPECT_EQ("O2", test::ReadFile(P("bk3/open.txt")));
  EXPECT_EQ("D4", test::ReadFile(P("bk1/sub/deep.txt")));
  EXPECT_EQ("D2", test::ReadFile(P("bk3/sub/deep.txt")));
  // The failed copy left nothing beside stage 1's file.
  EXPECT_EQ((std::vector<std::string>{kLock, "locked.txt", "open.txt", "sub"}), Entries(P("bk1")));
  EXPECT_EQ((std::vector<std::string>{"deep.txt"}), Entries(P("bk1/sub")));

  // Readable again, it is backed up as any changed file.
  Chmod(P("src/locked.txt"), 0644);
  const test::ProgramRun again = Backup();
  EXPECT_EQ(0, again.exitCode) << again.stderrText;
  EXPECT_EQ("", again.stderrText);
  EXPECT_EQ("L4 | " + When(4) + " | 0644", Generation(P("bk1/locked.txt")));
  EXPECT_EQ(l3, Generation(P("bk2/locked.txt")));
  EXPECT_EQ(l2, Generation(P("bk3/locked.txt")));
}

TEST_F(UnreadableSource, DirectoryThatCannotBeReadKeepsItsBackup) {
  // No permission at all, and names without the right to look them up.
  for (const unsigned mode : {0000u, 0644u}) {
    SCOPED_TRACE("directory mode " + Octal(mode));
    fs::remove_all(P("src"));
    for (const char* stage : {"bk1", "bk2", "bk3"}) fs::remove_all(P(stage));
    Put("src/top.txt", "T1", 1);
    Put("src/locked/f.txt", "F1", 1);
    Put("src/locked/inner/g.txt", "G1", 1);
    ASSERT_EQ(0, Backup().exitCode);
    Put("src/top.txt", "T2", 2);
    Put("src/locked/f.txt", "F2", 2);
    ASSERT_EQ(0, Backup().exitCode);
    const std::vector<std::string> before = test::ListTree(P("bk1"));
    ASSERT_EQ((std::vector<std::string>{"locked/f.txt", "locked/inner/g.txt", "top.txt"}), before);

    Put("src/top.txt", "T3", 3);
    Put("src/locked/new.txt", "N1", 3);
    Chmod(P("src/locked"), mode);
    const test::ProgramRun run = Backup();
    Chmod(P("src/locked"), 0755);
    ExpectDenied(run, P("src/locked/"));
    // Named by the listing but not to be looked up: not backed up, and told.
    if (mode == 0644) {
      EXPECT_NE(std::string::npos, run.stderrText.find(P("src/locked/new.txt") + "\t"));
    }
    EXPECT_EQ(before, test::ListTree(P("bk1")));
    EXPECT_EQ("F2 | " + When(2) + " | 0644", Generation(P("bk1/locked/f.txt")));
    EXPECT_EQ("G1 | " + When(1) + " | 0644", Generation(P("bk1/locked/inner/g.txt")));
    EXPECT_EQ((std::vector<std::string>{"locked/f.txt", "top.txt"}), test::ListTree(P("bk2")));
    EXPECT_EQ("F1", test::ReadFile(P("bk2/locked/f.txt")));
    EXPECT_EQ(std::vector<std::string>{"top.txt"}, test::ListTree(P("bk3")));
    EXPECT_EQ("T3", test::ReadFile(P("bk1/top.txt")));
  }
}

TEST_F(UnreadableSource, OneStageKeepsWhatAnUnreadableDirectoryHolds) {
  // With one stage a directory taken for deleted would lose its only copy.
  for (const unsigned mode : {0000u, 0644u}) {
    SCOPED_TRACE("directory mode " + Octal(mode));
    fs::remove_all(P("src"));
    fs::remove_all(P("bk1"));
    Put("src/locked/f.txt", "F1", 1);
    Put("src/locked/inner/g.txt", "G1", 1);
    ASSERT_EQ(0, Run({P("src"), P("bk1")}, runner_).exitCode);
    Chmod(P("src/locked"), mode);
    const test::ProgramRun run = Run({P("src"), P("bk1")}, runner_);
    Chmod(P("src/locked"), 0755);
    ExpectDenied(run, P("src/locked/"));
    EXPECT_EQ((std::vector<std::string>{"locked/f.txt", "locked/inner/g.txt"}),
              test::ListTree(P("bk1")));
  }
}

// ---------------------------------------------------------------------------
// Entries that are not regular files

// Binds a socket to `path`; the socket closes, its name stays.
void MakeSocket(const std::string& path) {
  Fd sock(::socket(AF_UNIX, SOCK_STREAM, 0));
  ASSERT_GE(sock.get(), 0);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(0, ::bind(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr))
      << std::strerror(errno);
}

TEST_F(RealFaults, FifosAreMadeAgainSocketsAreNotCopiedAndLinksOfEveryKindAreCopiedAsLinks) {
  Put("src/plain.txt", "P1", 1);
  Put("src/sub/inner.txt", "I1", 1);
  ASSERT_EQ(0, ::mkfifo(P("src/fifo").c_str(), 0644));
  ASSERT_EQ(0, ::mkfifo(P("src/sub/fifo").c_str(), 0644));
  MakeSocket(P("src/sock"));
  // Loops, links up and to the directory itself, to a directory (relative
  // and absolute), dangling, and to a file: each is copied as a link, with
  // its own time, and none is walked.
  const std::vector<std::pair<std::string, std::string>> links = {
      {"loop-a", "loop-b"},      {"loop-b", "loop-a"},    {"up", ".."},
      {"sub/up", "../.."},       {"sub/here", "."},       {"dirlink", "sub"},
      {"abslink", P("src/sub")}, {"dangling", "nowhere"}, {"filelink", "plain.txt"}};
  for (const auto& [name, target] : links) PutLink(name, target, 1);

  const std::vector<std::string> stages = {P("src"), P("bk1"), P("bk2"), P("bk3")};
  test::ProgramRun run = Run(stages);
  ASSERT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_EQ((std::vector<std::string>{kLock, "abslink", "dangling", "dirlink", "fifo", "filelink",
                                      "loop-a", "loop-b", "plain.txt", "sub", "up"}),
            Entries(P("bk1")));
  EXPECT_EQ((std::vector<std::string>{"fifo", "here", "inner.txt", "up"}), Entries(P("bk1/sub")));
  for (const char* fifo : {"bk1/fifo", "bk1/sub/fifo"}) {
    struct stat st;
    ASSERT_EQ(0, ::lstat(P(fifo).c_str(), &st)) << fifo;
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << fifo;
    EXPECT_EQ(0644u, st.st_mode & 07777) << fifo;
  }
  for (const auto& [name, target] : links) {
    EXPECT_EQ(target + " | " + When(1), LinkGeneration(P("bk1/") + name)) << name;
  }

  // A run with nothing changed is silent.
  run = Run(stages);
  ASSERT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_FALSE(Exists(P("bk2")));

  // A changed link rotates, one the source dropped moves down, and the
  // files are rotated as before.
  Put("src/plain.txt", "P2", 2);
  ASSERT_EQ(0, ::unlink(P("src/filelink").c_str()));
  PutLink("filelink", "sub/inner.txt", 2);
  ASSERT_EQ(0, ::unlink(P("src/dangling").c_str()));
  run = Run(stages);
  ASSERT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_EQ("sub/inner.txt | " + When(2), LinkGeneration(P("bk1/filelink")));
  EXPECT_EQ("plain.txt | " + When(1), LinkGeneration(P("bk2/filelink")));
  EXPECT_EQ("nowhere | " + When(1), LinkGeneration(P("bk2/dangling")));
  EXPECT_FALSE(Exists(P("bk1/dangling")));
  EXPECT_EQ("P2", test::ReadFile(P("bk1/plain.txt")));
  EXPECT_EQ((std::vector<std::string>{"dangling", "filelink", "plain.txt"}), Entries(P("bk2")));
  EXPECT_FALSE(Exists(P("bk3")));
  // The source is as it was.
  EXPECT_EQ((std::vector<std::string>{"abslink", "dirlink", "fifo", "filelink", "loop-a", "loop-b",
                                      "plain.txt", "sock", "sub", "up"}),
            Entries(P("src")));
}

// A file whose source became an entry of another kind is a change whatever
// the times and sizes: it rotates and the new entry takes its place in the
// same run, with nothing read from a fifo (that would hang the run). One
// that became a socket, which is never backed up, leaves as a deleted file.
TEST_F(RealFaults, StageFileWhoseSourceChangedKindRotatesInOneRun) {
  Put("src/was-file", "W1", 1);
  Put("src/was-loop", "L1", 1);
  Put("src/was-same", "abcd", 2);
  Put("src/was-sock", "S1", 1);
  const std::vector<std::string> stages = {P("src"), P("bk1"), P("bk2")};
  ASSERT_EQ(0, Run(stages).exitCode);
  for (const char* name : {"was-file", "was-loop", "was-same", "was-sock"}) {
    fs::remove(P("src/") + name);
  }
  ASSERT_EQ(0, ::mkfifo(P("src/was-file").c_str(), 0644));
  ASSERT_EQ(0, ::symlink("was-loop", P("src/was-loop").c_str()));
  PutLink("was-same", "wxyz", 1);  // as long as the file, and older
  MakeSocket(P("src/was-sock"));
  const test::ProgramRun run = Run(stages);
  ASSERT_EQ(0, run.exitCode) << run.stderrText;
  struct stat st;
  ASSERT_EQ(0, ::lstat(P("bk1/was-file").c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ("W1 | " + When(1) + " | 0644", Generation(P("bk2/was-file")));
  EXPECT_EQ("was-loop", LinkGeneration(P("bk1/was-loop")).substr(0, 8));
  EXPECT_EQ("L1 | " + When(1) + " | 0644", Generation(P("bk2/was-loop")));
  EXPECT_EQ("wxyz | " + When(1), LinkGeneration(P("bk1/was-same")));
  EXPECT_EQ("abcd | " + When(2) + " | 0644", Generation(P("bk2/was-same")));
  EXPECT_FALSE(Exists(P("bk1/was-sock")));
  EXPECT_EQ("S1 | " + When(1) + " | 0644", Generation(P("bk2/was-sock")));

  // A device that the run may not make leaves stage 1 the same way.
  if (::geteuid() != 0) return;
  Put("src/was-dev", "D1", 1);
  ASSERT_EQ(0, Run(stages).exitCode);
  fs::remove(P("src/was-dev"));
  ASSERT_EQ(0, ::mknod(P("src/was-dev").c_str(), S_IFCHR | 0644, makedev(1, 3)));
  test::RecordingFileSystem rec;
  rec.refusesDevices = true;
  OptionSet options;
  for (const std::string& stage : stages) options.dirList.push_back(stage + "/");
  EXPECT_TRUE(RunBackupOn(rec, options));
  EXPECT_FALSE(Exists(P("bk1/was-dev")));
  EXPECT_EQ("D1 | " + When(1) + " | 0644", Generation(P("bk2/was-dev")));
}

// ---------------------------------------------------------------------------
// Hard links whose transfer fails

// Every file below `dir` with its contents, time and bits.
std::string Snapshot(const std::string& dir) {
  std::string all;
  for (const std::string& rel : test::ListTree(dir))
    all += rel + ": " + Generation(dir + "/" + rel) + "\n";
  return all;
}

// A name of a linked file never points at a version older than its own:
// when the copy of the file fails, none of its names moves or is relinked
// (each keeps its generations, as an unlinked file's are kept), and no link
// replaces a stage-1 name whose old copy could not move down.
TEST_F(RealFaults, LinkedNamesKeepTheirGenerationsWhenATransferFails) {
  struct Case {
    const char* name;
    const char* failOp;    // the call that fails
    const char* failPath;  // its path, below the temporary folder
  };
  // The walk meets d/g before f (subdirectories first), and c/a before both.
  for (const Case& c : {Case{"copy of a changed file", "StageCopy", "src/d/g"},
                        Case{"copy of a new name", "StageCopy", "src/c/a"},
                        Case{"move of a name that became a link", "MoveFile", "bk1/d/g"}}) {
    SCOPED_TRACE(c.name);
    for (const char* dir : {"src", "bk1", "bk2", "bk3"}) fs::remove_all(P(dir));
    const std::vector<std::string> stages = {P("src"), P("bk1"), P("bk2"), P("bk3")};
    const std::string failOp = c.failOp;
    // Three generations of two names of one file, or of a file and another.
    Put("src/f", "v1", 1);
    test::MakeDirs(P("src/d"));
    if (failOp == "MoveFile") {
      Put("src/d/g", "g1", 1);
    } else {
      ASSERT_EQ(0, ::link(P("src/f").c_str(), P("src/d/g").c_str()));
    }
    for (int v = 1; v <= 3; ++v) {
      if (v > 1) {
        test::WriteFile(P("src/f"), "v" + std::to_string(v) + "-");
        test::SetLocalMTime(P("src/f"), 2021, 3, v, 9 + v);
      }
      ASSERT_EQ(0, Run(stages).exitCode);
    }
    const std::string before = Snapshot(P("bk1")) + Snapshot(P("bk2")) + Snapshot(P("bk3"));
    std::string now = "v3-";
    if (failOp == "MoveFile") {
      fs::remove(P("src/d/g"));
      ASSERT_EQ(0, ::link(P("src/f").c_str(), P("src/d/g").c_str()));
    } else {
      now = "v4--";
      test::WriteFile(P("src/f"), now);
      test::SetLocalMTime(P("src/f"), 2021, 3, 4, 13);
      test::MakeDirs(P("src/c"));
      if (std::string(c.failPath) == "src/c/a") {
        ASSERT_EQ(0, ::link(P("src/f").c_str(), P("src/c/a").c_str()));
      }
    }
    test::RecordingFileSystem rec;
    rec.sortListings = true;
    const std::string failPath = P(c.failPath);
    rec.failIf = [&](const test::RecordingFileSystem::Call& call) {
      if (call.op != failOp || call.path != failPath) return false;
      test::SetPlatformError(test::PlatformError::PermissionDenied);
      return true;
    };
    OptionSet options;
    for (const std::string& stage : stages) options.dirList.push_back(stage + "/");
    EXPECT_FALSE(RunBackupOn(rec, options));
    EXPECT_EQ(before, Snapshot(P("bk1")) + Snapshot(P("bk2")) + Snapshot(P("bk3")));
    // The next run without the fault makes them one file again.
    ASSERT_EQ(0, Run(stages).exitCode);
    struct stat f, g;
    ASSERT_EQ(0, ::lstat(P("bk1/f").c_str(), &f));
    ASSERT_EQ(0, ::lstat(P("bk1/d/g").c_str(), &g));
    EXPECT_EQ(f.st_ino, g.st_ino);
    EXPECT_EQ(now, test::ReadFile(P("bk1/d/g")));
  }
}

// ---------------------------------------------------------------------------
// Links planted in a stage

// A link where stage 1 and stage 2 had directories: an entry of another
// kind, never a way through. Stage 1's leaves as a file that the source now
// has as a directory does, stage 2's moves on as an older version, and the
// directories are made in their place; nothing outside the stages is
// written, moved or deleted.
TEST_F(RealFaults, LinkPlantedInAStageLeadsNothingOutOfIt) {
  Put("outside/keep.txt", "K", 1);
  Put("outside/notes.txt", "O", 1);
  Put("src/docs/passwd", "secret", 1);
  Put("src/old/notes.txt", "N2", 2);
  Put("bk1/old/notes.txt", "N1", 1);
  Put("bk1/old/gone.txt", "G1", 1);
  test::MakeDirs(P("bk2"));
  ASSERT_EQ(0, ::symlink(P("outside").c_str(), P("bk1/docs").c_str()));
  ASSERT_EQ(0, ::symlink(P("outside").c_str(), P("bk2/old").c_str()));
  const std::string outside = Snapshot(P("outside"));
  ASSERT_NE("", outside);

  const std::vector<std::string> stages = {P("src"), P("bk1"), P("bk2"), P("bk3")};
  test::ProgramRun run = Run(stages);
  EXPECT_EQ(0, run.exitCode);
  EXPECT_EQ(outside, Snapshot(P("outside")));
  EXPECT_EQ("secret", test::ReadFile(P("bk1/docs/passwd")));
  EXPECT_EQ("N2 | " + When(2) + " | 0644", Generation(P("bk1/old/notes.txt")));
  EXPECT_EQ("N1 | " + When(1) + " | 0644", Generation(P("bk2/old/notes.txt")));
  EXPECT_EQ("G1 | " + When(1) + " | 0644", Generation(P("bk2/old/gone.txt")));
  EXPECT_EQ(0u, LinkGeneration(P("bk2/docs")).rfind(P("outside") + " | ", 0));
  EXPECT_EQ(0u, LinkGeneration(P("bk3/old")).rfind(P("outside") + " | ", 0));
}

// The same links swapped in for the directories while the run goes on,
// just before its first copy.
TEST_F(RealFaults, LinkSwappedIntoAStageDuringTheRunLeadsNothingOutOfIt) {
  Put("outside/keep.txt", "K", 1);
  Put("src/docs/a.txt", "A", 1);
  Put("src/old/notes.txt", "N1", 1);
  const std::vector<std::string> stages = {P("src") + "/", P("bk1") + "/", P("bk2") + "/",
                                           P("bk3") + "/"};
  ASSERT_EQ(0, Run(stages).exitCode);
  test::MakeDirs(P("bk2/old"));
  Put("src/docs/passwd", "secret", 2);
  Put("src/old/notes.txt", "N2", 2);
  const std::string outside = Snapshot(P("outside"));

  test::RecordingFileSystem fs;
  fs.sortListings = true;  // docs first, then old
  bool swapped = false;
  fs.before = [&](const test::RecordingFileSystem::Call& call) {
    if (swapped || call.op != "StageCopy") return;
    swapped = true;
    for (const char* dir : {"bk1/docs", "bk2/old"}) {
      ASSERT_EQ(0, ::rename(P(dir).c_str(), (P(dir) + "-was").c_str()));
      ASSERT_EQ(0, ::symlink(P("outside").c_str(), P(dir).c_str()));
    }
  };
  OptionSet options;
  options.dirList = stages;
  EXPECT_FALSE(RunBackupOn(fs, options));  // the copy into bk1/docs
  EXPECT_TRUE(swapped);
  EXPECT_EQ(outside, Snapshot(P("outside")));
  // Stage 2's link moved on as an entry of its own.
  EXPECT_EQ("N2 | " + When(2) + " | 0644", Generation(P("bk1/old/notes.txt")));
  EXPECT_EQ("N1 | " + When(1) + " | 0644", Generation(P("bk2/old/notes.txt")));
  EXPECT_EQ(0u, LinkGeneration(P("bk3/old")).rfind(P("outside") + " | ", 0));
}

// ---------------------------------------------------------------------------
// Paths longer than the system takes

// The longest path that the system takes whole (PATH_MAX less the ending zero).
constexpr size_t kLongestPath = 4095;

// A chain of directories with 200-byte names below `top`, made one level at
// a time through descriptors, since a path of that length cannot be named.
class DeepChain {
 public:
  DeepChain(std::string top, size_t depth) : top_(std::move(top)) {
    for (size_t i = 0; i < depth; ++i)
      names_.push_back(std::string(200, static_cast<char>('a' + i % 26)));
  }

  // top + "/" + the first `depth` names.
  std::string Path(size_t depth) const {
    std::string path = top_;
    for (size_t i = 0; i < depth; ++i) path += "/" + names_[i];
    return path;
  }

  // Opens the directory `depth` levels down, making the missing ones when
  // asked; -1 when it is not there.
  int Open(const std::string& top, size_t depth, bool make) const {
    Fd fd(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (size_t i = 0; i < depth && fd.get() >= 0; ++i) {
      if (make && ::mkdirat(fd.get(), names_[i].c_str(), 0777) != 0 && errno != EEXIST) return -1;
      fd.reset(::openat(fd.get(), names_[i].c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    return fd.release();
  }

  // Writes a file `depth` levels down below the chain's top.
  void Write(size_t depth, const std::string& name, const std::string& content) const {
    Fd dir(Open(top_, depth, true));
    ASSERT_GE(dir.get(), 0) << std::strerror(errno);
    Fd file(::openat(dir.get(), name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_GE(file.get(), 0) << std::strerror(errno);
    ASSERT_EQ(static_cast<ssize_t>(content.size()),
              ::write(file.get(), content.data(), content.size()));
  }

  // The contents of that file in the same chain below `top`, "(none)"
  // when it is not there.
  std::string Read(const std::string& top, size_t depth, const std::string& name) const {
    Fd dir(Open(top, depth, false));
    if (dir.get() < 0) return "(none)";
    Fd file(::openat(dir.get(), name.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return "(none)";
    std::string content;
    char buf[256];
    for (ssize_t n; (n = ::read(file.get(), buf, sizeof buf)) > 0;) content.append(buf, n);
    return content;
  }

 private:
  std::string top_;
  std::vector<std::string> names_;
};

// Removes a tree that std::filesystem cannot walk (paths beyond the limit).
class DeepTreeRemover {
 public:
  explicit DeepTreeRemover(std::string path) : path_(std::move(path)) {}
  DeepTreeRemover(const DeepTreeRemover&) = delete;
  DeepTreeRemover& operator=(const DeepTreeRemover&) = delete;
  ~DeepTreeRemover() {
    const std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0)
      std::fprintf(stderr, "could not remove %s\n", path_.c_str());
  }

 private:
  std::string path_;
};

TEST_F(RealFaults, TreesDeeperThanTheLongestPathAreBackedUpWhole) {
  const DeepTreeRemover removeSource(P("src"));
  const DeepTreeRemover removeStage1(P("bk1"));
  const DeepTreeRemover removeStage2(P("bk2"));
  // Deeper than the handles a walk keeps, and with more than PATH_MAX
  // bytes beyond them.
  const DeepChain chain(P("src"), 90);
  test::MakeDirs(P("src"));
  // The deepest level whose files still fit with a name of 30 bytes or more.
  size_t edge = 0;
  while (chain.Path(edge + 1).size() + 1 + 30 <= kLongestPath) ++edge;
  const std::string edgeDir = chain.Path(edge);
  const size_t room = kLongestPath - edgeDir.size() - 1;
  ASSERT_GE(room, 30u);
  ASSERT_LE(room + 1, 255u);
  // Exactly the longest path, and one byte more.
  const std::string fits = "fits-" + std::string(room - 5, 'x');
  const std::string over = "over-" + std::string(room - 4, 'x');
  ASSERT_EQ(kLongestPath, (edgeDir + "/" + fits).size());

  struct Planted {
    size_t depth;
    std::string name;
  };
  const std::vector<Planted> planted = {
      {0, "top.txt"},         {3, "three.txt"},      {edge, fits},        {edge, over},
      {edge + 1, "past.txt"}, {edge + 4, "far.txt"}, {90, "deepest.txt"},
  };
  for (const Planted& p : planted) chain.Write(p.depth, p.name, "at " + std::to_string(p.depth));
  ASSERT_FALSE(HasFatalFailure());

  const std::vector<std::string> stages = {P("src"), P("bk1"), P("bk2")};
  test::ProgramRun run = Run(stages);
  EXPECT_EQ(0, run.exitCode) << run.stderrText.substr(0, 200);
  for (const Planted& p : planted) {
    SCOPED_TRACE(std::to_string(p.depth) + " levels down, " + p.name.substr(0, 12));
    EXPECT_EQ("at " + std::to_string(p.depth), chain.Read(P("bk1"), p.depth, p.name));
  }
  EXPECT_FALSE(Exists(P("bk2")));

  // The deepest file changes and rotates; one dropped moves down.
  ::sleep(1);
  chain.Write(90, "deepest.txt", "changed");
  {
    Fd dir(chain.Open(P("src"), edge + 4, false));
    ASSERT_EQ(0, ::unlinkat(dir.get(), "far.txt", 0));
  }
  run = Run(stages);
  EXPECT_EQ(0, run.exitCode) << run.stderrText.substr(0, 200);
  EXPECT_EQ("changed", chain.Read(P("bk1"), 90, "deepest.txt"));
  EXPECT_EQ("at 90", chain.Read(P("bk2"), 90, "deepest.txt"));
  EXPECT_EQ("(none)", chain.Read(P("bk1"), edge + 4, "far.txt"));
  EXPECT_EQ("at " + std::to_string(edge + 4), chain.Read(P("bk2"), edge + 4, "far.txt"));
}

// ---------------------------------------------------------------------------
// A stage on a full file system

// A small memory file system mounted on `dir`, in a mount namespace of this
// process's own: nothing outside sees it, and it goes with the process at
// the latest. The program, started from here, sees it.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& dir, const std::string& size) : dir_(dir) {
    if (::geteuid() != 0) {
      whyNot_ = "mounting needs root";
    } else if (::unshare(CLONE_NEWNS) != 0 ||
               ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
               ::mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) {
      whyNot_ = std::string("cannot mount a file system here: ") + std::strerror(errno);
    }
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;
  ~SmallFileSystem() {
    if (whyNot_.empty()) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  const std::string& whyNot() const { return whyNot_; }

  bool Resize(const std::string& size) {
    return ::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT, ("size=" + size).c_str()) == 0;
  }

 private:
  std::string dir_;
  std::string whyNot_;
};

TEST_F(RealFaults, CopyThatDoesNotFitInStageOneMovesNothing) {
  test::MakeDirs(P("bk1"));
  SmallFileSystem small(P("bk1"), "1m");
  if (!small.whyNot().empty()) GTEST_SKIP() << small.whyNot();
  const std::vector<std::string> stages = {P("src"), P("bk1"), P("bk2"), P("bk3")};
  Put("src/big.bin", std::string(300000, '1'), 1);
  Put("src/small.txt", "s1", 1);
  ASSERT_EQ(0, Run(stages).exitCode);

  // Version 2 does not fit beside version 1.
  Put("src/big.bin", std::string(900000, '2'), 2);
  Put("src/small.txt", "s2", 2);
  test::ProgramRun run = Run(stages);
  EXPECT_EQ(2, run.exitCode);
  EXPECT_EQ("kovrel: failed  " + P("src/big.bin") + "\t" + std::strerror(ENOSPC) + "\n",
            run.stderrText);
  EXPECT_TRUE(std::string(300000, '1') == test::ReadFile(P("bk1/big.bin")));
  EXPECT_EQ(When(1), test::LocalMTime(P("bk1/big.bin")));
  EXPECT_FALSE(Exists(P("bk2/big.bin")));
  EXPECT_EQ((std::vector<std::string>{kLock, "big.bin", "small.txt"}), Entries(P("bk1")));
  // What fitted went its way.
  EXPECT_EQ("s2", test::ReadFile(P("bk1/small.txt")));
  EXPECT_EQ("s1", test::ReadFile(P("bk2/small.txt")));

  // With room again, the next run completes the backup.
  ASSERT_TRUE(small.Resize("4m")) << std::strerror(errno);
  run = Run(stages);
  EXPECT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_TRUE(std::string(900000, '2') == test::ReadFile(P("bk1/big.bin")));
  EXPECT_TRUE(std::string(300000, '1') == test::ReadFile(P("bk2/big.bin")));
  EXPECT_EQ(When(1), test::LocalMTime(P("bk2/big.bin")));
  EXPECT_EQ((std::vector<std::string>{kLock, "big.bin", "small.txt"}), Entries(P("bk1")));
}

}  // namespace

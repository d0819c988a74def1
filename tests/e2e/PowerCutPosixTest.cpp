// A power cut modelled on a loop device: the stages are on an ext4 image
// whose data reaches the image only when asked (periodic writeback off) and
// whose journal commits every second. The image file holds what the device
// was given; a copy of it taken while the run stands still, one commit
// interval after it was stopped, is what a power cut then leaves. Each copy
// must show only whole versions under their own times.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "platform/PosixFiles.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFiles = 3000;
constexpr size_t kFileSize = 16 * 1024;
const auto kCommitInterval = std::chrono::milliseconds(1200);  // commit=1, and some

// The first line a shell command prints; empty when it fails.
std::string Output(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r")) {
    char line[512];
    if (std::fgets(line, sizeof line, p)) out = line;
    if (::pclose(p) != 0) out.clear();
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

bool Succeeds(const std::string& command) {
  return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

// A kernel setting changed for the test and put back however it ends: by
// the destructor, or, should the test process be killed, by a child that
// waits for the end of a pipe that only the test holds open.
class Sysctl {
 public:
  Sysctl(std::string path, const std::string& value) : path_(std::move(path)) {
    std::string saved;
    std::getline(std::ifstream(path_), saved);
    int fds[2];
    if (saved.empty() || ::pipe2(fds, O_CLOEXEC) != 0) return;
    // The child allocates nothing: it is a child of a threaded process.
    const std::string restore = saved + "\n";
    guard_ = ::fork();
    if (guard_ == 0) {
      ::close(fds[1]);
      char c;
      while (::read(fds[0], &c, 1) > 0) {
      }
      const int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC);
      if (fd >= 0 && ::write(fd, restore.data(), restore.size()) < 0) ::_exit(1);
      ::_exit(0);
    }
    ::close(fds[0]);
    pipe_ = fds[1];
    std::ofstream(path_) << value << "\n";
  }
  ~Sysctl() {
    if (guard_ <= 0) return;
    ::close(pipe_);
    ::waitpid(guard_, nullptr, 0);
  }
  Sysctl(const Sysctl&) = delete;
  Sysctl& operator=(const Sysctl&) = delete;
  bool ok() const { return guard_ > 0; }

 private:
  std::string path_;
  pid_t guard_ = -1;
  int pipe_ = -1;
};

// A loop device over an image file, detached at the end of its scope.
class Loop {
 public:
  explicit Loop(const std::string& image) : dev_(Output("losetup -f --show " + image)) {}
  ~Loop() {
    if (!dev_.empty()) Succeeds("losetup -d " + dev_);
  }
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;
  const std::string& dev() const { return dev_; }

 private:
  std::string dev_;
};

// A mount, undone at the end of its scope.
class Mount {
 public:
  Mount(const std::string& dev, const std::string& dir, unsigned long flags, const char* options)
      : dir_(dir) {
    fs::create_directories(dir);
    ok_ = ::mount(dev.c_str(), dir.c_str(), "ext4", flags, options) == 0;
  }
  ~Mount() {
    // One still in use (a process that has not let go yet) goes once it is
    // not, so that the loop device under it is freed then.
    if (ok_ && ::umount(dir_.c_str()) != 0) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string dir_;
  bool ok_ = false;
};

// One version of a file: its bytes and its last-write time.
struct Version {
  std::string bytes;
  int64_t mtime = 0;
};

class PowerCut : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, for loop devices and mounts";
    if (!Succeeds("command -v losetup && command -v mkfs.ext4 && command -v e2fsck")) {
      GTEST_SKIP() << "needs losetup, mkfs.ext4 and e2fsck (packages mount, e2fsprogs)";
    }
    image_ = tmp_ / "stages.img";
    ASSERT_TRUE(Succeeds("truncate -s 256M " + image_ + " && mkfs.ext4 -q -F " + image_));
    loop_ = std::make_unique<Loop>(image_);
    if (loop_->dev().empty()) GTEST_SKIP() << "no loop device could be attached here";
    // One power-cut test at a time on the machine (ctest -j): each saves the
    // writeback setting it finds and puts it back, which must be the real one.
    lock_.reset(::open("/tmp/kovrel-power-cut.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600));
    ASSERT_GE(lock_.get(), 0);
    ASSERT_EQ(0, ::flock(lock_.get(), LOCK_EX));
    writeback_ = std::make_unique<Sysctl>("/proc/sys/vm/dirty_writeback_centisecs", "0");
    ASSERT_TRUE(writeback_->ok());
    mount_ = std::make_unique<Mount>(loop_->dev(), tmp_ / "mnt", 0, "commit=1");
    ASSERT_TRUE(mount_->ok());
    exe_ = test::InstallProgram(tmp_ / "bin");
  }

  void TearDown() override {
    mount_.reset();
    loop_.reset();
    writeback_.reset();
  }

  // The program's words for the source and three stages on the image.
  std::vector<std::string> Dirs() const {
    return {tmp_ / "src", tmp_ / "mnt/bk1", tmp_ / "mnt/bk2", tmp_ / "mnt/bk3"};
  }

  // Backs version 1 up, then rotates version 2 in, stopping the run every
  // `step` for a commit interval and a cut (each stop a power cut), and cuts
  // again the moment it ends and once its names could have been committed
  // without their bytes. Then checks every cut.
  void RunAndCut(const std::string& exe, const std::vector<std::string>& args, const test::Env& env,
                 std::chrono::milliseconds step) {
    WriteVersion(1);
    test::ProgramRun run = test::RunProgram(exe, args, env);
    ASSERT_EQ(0, run.exitCode) << run.stderrText;
    WriteVersion(2);
    int midRun = 0;
    {
      test::StartedProgram program(exe, args, env);
      for (int stop = 0; stop < 4; ++stop) {
        std::this_thread::sleep_for(stop == 0 ? step / 2 : step);
        if (!program.Stop()) break;
        std::this_thread::sleep_for(kCommitInterval);
        Cut();
        ++midRun;
        ::kill(static_cast<pid_t>(program.Id()), SIGCONT);
      }
      ASSERT_TRUE(program.Wait(120000, run));
      ASSERT_EQ(0, run.exitCode) << run.stderrText;
    }
    Cut();
    std::this_thread::sleep_for(kCommitInterval);
    Cut();
    EXPECT_GE(midRun, 1) << "the run ended before it could be stopped";
    for (size_t i = 0; i < cuts_.size(); ++i) Check(cuts_[i], i >= cuts_.size() - 2);
  }

  // Writes version `v` of every source file, each with bytes and a time of
  // its own.
  void WriteVersion(int v) {
    for (int i = 0; i < kFiles; ++i) {
      const std::string rel = "d" + std::to_string(i % 30) + "/f" + std::to_string(i);
      std::string bytes(kFileSize, static_cast<char>('a' + v));
      bytes.replace(0, rel.size() + 3, rel + "#" + std::to_string(v) + "\n");
      const std::string path = tmp_ / ("src/" + rel);
      test::WriteFile(path, bytes);
      test::SetLocalMTime(path, 2022, 5, 1 + v, 10, i / 60 % 60, i % 60);
      struct stat st;
      ASSERT_EQ(0, ::stat(path.c_str(), &st));
      versions_[rel].push_back({bytes, st.st_mtime});
    }
  }

  // What a power cut now leaves: the image as the device has it.
  void Cut() {
    const std::string copy = tmp_ / ("cut" + std::to_string(cuts_.size()) + ".img");
    ASSERT_TRUE(Succeeds("cp --sparse=always " + image_ + " " + copy));
    cuts_.push_back(copy);
  }

  // Mounts a cut (which replays its journal, as the next boot would), checks
  // every file of every stage, and has e2fsck look at what the mount left.
  void Check(const std::string& cut, bool afterRun) {
    SCOPED_TRACE(cut);
    {
      const Loop loop(cut);
      ASSERT_FALSE(loop.dev().empty());
      const std::string dir = tmp_ / "check";
      const Mount mount(loop.dev(), dir, MS_RDONLY, "");
      ASSERT_TRUE(mount.ok());
      std::map<std::string, int> held;  // versions of each file found in the stages
      for (const char* stage : {"bk1", "bk2", "bk3"}) {
        const std::string root = dir + "/" + stage;
        if (!test::IsDir(root)) continue;
        for (const std::string& rel : test::ListTree(root)) {
          // A copy not yet named has a staging name of its own (Windows).
          if (platform::IsStagingName(rel.substr(rel.rfind('/') + 1))) continue;
          const std::string path = root + "/" + rel;
          const auto it = versions_.find(rel);
          ASSERT_NE(versions_.end(), it) << "not a source file: " << stage << "/" << rel;
          const std::string bytes = test::ReadFile(path);
          struct stat st;
          ASSERT_EQ(0, ::stat(path.c_str(), &st));
          bool whole = false;
          for (size_t v = 0; v < it->second.size(); ++v) {
            if (it->second[v].bytes != bytes) continue;
            whole = true;
            EXPECT_EQ(it->second[v].mtime, st.st_mtime) << stage << "/" << rel;
            if (afterRun && std::string(stage) == "bk1") {
              EXPECT_EQ(it->second.size() - 1, v) << "stage 1 is behind: " << rel;
            }
          }
          EXPECT_TRUE(whole) << stage << "/" << rel << ": " << bytes.size()
                             << " bytes that are no version of the file";
          if (whole) ++held[rel];
        }
      }
      // Every file was backed up before this run: some stage holds it whole.
      for (const auto& [rel, v] : versions_) EXPECT_EQ(1, held.count(rel)) << rel;
      if (HasFailure()) return;
    }
    EXPECT_TRUE(Succeeds("e2fsck -fn " + cut)) << "e2fsck finds faults";
  }

  test::TempDir tmp_;
  std::string image_;
  std::string exe_;
  platform::posix::Fd lock_;  // held until the fixture goes, after writeback_
  std::unique_ptr<Loop> loop_;
  std::unique_ptr<Sysctl> writeback_;
  std::unique_ptr<Mount> mount_;
  std::map<std::string, std::vector<Version>> versions_;
  std::vector<std::string> cuts_;
};

TEST_F(PowerCut, LeavesOnlyWholeVersionsDuringARunAndEverythingAfterIt) {
  RunAndCut(exe_, Dirs(), {}, std::chrono::milliseconds(120));
}

// The Windows build under Wine, whose FlushFileBuffers is fsync, with its
// stages on the same image. It needs the windows preset built and its tests
// run once (which makes the Wine prefix).
TEST_F(PowerCut, LeavesOnlyWholeVersionsUnderWine) {
  const std::string windows = std::string(KOVREL_BUILD_DIR) + "/../windows";
  const std::string kovrelExe = windows + "/Kovrel.exe";
  if (!test::IsFile(kovrelExe) || !test::IsDir(windows + "/wineprefix") ||
      !Succeeds("command -v wine")) {
    GTEST_SKIP() << "needs wine and the windows preset built and tested (its Wine prefix)";
  }
  std::vector<std::string> args = {kovrelExe};
  for (std::string dir : Dirs()) {
    std::replace(dir.begin(), dir.end(), '/', '\\');
    args.push_back("Z:" + dir);
  }
  const test::Env env = {{"WINEPREFIX", windows + "/wineprefix"},
                         {"WINEDEBUG", "-all"},
                         {"WINEDLLOVERRIDES", "mscoree,mshtml,winemenubuilder.exe=d"}};
  RunAndCut(Output("command -v wine"), args, env, std::chrono::milliseconds(1500));
  // The Wine server outlives the program for a while; the stages' mount is
  // let go only once it has ended.
  Succeeds("WINEPREFIX='" + windows + "/wineprefix' timeout 60 wineserver -w");
}

}  // namespace

// The program as users get it on POSIX: installed with cmake --install into
// a prefix they cannot write, asked for --help and --version, and run on a
// terminal.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

class Installed : public ::testing::Test {
 protected:
  // Installs into prefix/ as the test's user, and runs the program as a user
  // who cannot write there: as root, nobody through setpriv; otherwise the
  // test's own user, with prefix/bin made read-only.
  void SetUp() override {
    asRoot_ = ::geteuid() == 0;
    if (asRoot_ && ::access("/usr/bin/setpriv", X_OK) != 0) {
      GTEST_SKIP() << "running as root, no setpriv";
    }
    ::chmod(tmp_.path().c_str(), 0755);
    const std::string install =
        "cmake --install '" KOVREL_BUILD_DIR "' --prefix '" + P("prefix") + "'";
    ASSERT_EQ(0, Shell(install)) << output_;
    exe_ = P("prefix/bin/kovrel");
    if (!asRoot_) ::chmod(P("prefix/bin").c_str(), 0555);
    // What the user may write: the trees, the home directory, and the
    // starter's directory, where the viewer's log and the output land.
    for (const char* dir : {"run", "home"}) {
      test::MakeDirs(P(dir));
      ::chmod(P(dir).c_str(), 0777);
    }
    runner_ = P("run/kovrel");
    const std::string as =
        asRoot_ ? "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    test::WriteFile(runner_, "#!/bin/sh\nexec " + as + "'" + exe_ + "' \"$@\"\n");
    ::chmod(runner_.c_str(), 0755);
    test::WriteFile(P("run/src/a.txt"), "a");
  }

  void TearDown() override { ::chmod(P("prefix/bin").c_str(), 0755); }

  std::string P(const std::string& rel) const { return tmp_ / rel; }

  // Runs a shell command line; its exit status, its output in output_.
  int Shell(const std::string& command) {
    const std::string out = tmp_ / "shell.out";
    const int status = std::system((command + " >'" + out + "' 2>&1 </dev/null").c_str());
    output_ = test::ReadFile(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  test::ProgramRun Run(const std::vector<std::string>& args, const test::Env& env) {
    return test::RunProgram(runner_, args, env);
  }

  test::TempDir tmp_;
  bool asRoot_ = false;
  std::string exe_, runner_, output_;
  const test::Env home_ = {{"HOME", P("home")}, {"XDG_STATE_HOME", ""}};
};

TEST_F(Installed, ReportsAndHelpGoToTheStateDirectoryWhenTheProgramsOwnTakesNone) {
  const std::vector<std::string> backup = {P("run/src"), P("run/bk1"), "-M"};
  const std::string state = P("home/.local/state/kovrel/");
  test::ProgramRun run = Run(backup, home_);
  ASSERT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_EQ("copied  " + P("run/src/a.txt") + "\r\n", test::ReadFile(state + "kovrelTemp1.txt"));
  struct stat st;
  ASSERT_EQ(0, ::stat(state.c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);
  test::WriteFile(P("run/src/b.txt"), "b");
  run = Run(backup, home_);
  ASSERT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_EQ("copied  " + P("run/src/b.txt") + "\r\n", test::ReadFile(state + "kovrelTemp2.txt"));
  run = Run({"-?"}, home_);
  ASSERT_EQ(0, run.exitCode) << run.stderrText;
  // Each viewer is detached: they may log out of order.
  std::vector<std::string> opened = test::OpenedFiles(runner_, 3);
  std::sort(opened.begin(), opened.end());
  EXPECT_EQ((std::vector<std::string>{state + "kovrel.txt", state + "kovrelTemp1.txt",
                                      state + "kovrelTemp2.txt"}),
            opened);
  EXPECT_EQ(291u, test::CrLfLines(test::ReadFile(state + "kovrel.txt")).size());
  EXPECT_EQ(test::ListTree(P("prefix/bin")), std::vector<std::string>{"kovrel"});

  // $XDG_STATE_HOME takes the place of ~/.local/state.
  run = Run({"-?"}, {{"HOME", P("home")}, {"XDG_STATE_HOME", P("run/state")}});
  EXPECT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_TRUE(test::IsFile(P("run/state/kovrel/kovrel.txt")));

  // A directory that takes files keeps them beside the program.
  ::chmod(P("prefix/bin").c_str(), 0777);
  test::WriteFile(P("run/src/c.txt"), "c");
  run = Run(backup, home_);
  EXPECT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_EQ("copied  " + P("run/src/c.txt") + "\r\n",
            test::ReadFile(P("prefix/bin/kovrelTemp1.txt")));
  EXPECT_FALSE(test::IsFile(state + "kovrelTemp3.txt"));
}

TEST_F(Installed, HelpAndVersionPrintAndTouchNothing) {
  const struct {
    const char* word;
    std::string firstLine;
  } cases[] = {
      {"--help", "Usage: kovrel SRC BK1 [BK2 BK3 ...] [options]"},
      {"--version",
       "kovrel (" KOVREL_PRODUCT_NAME ") " KOVREL_PRODUCT_VERSION " (" KOVREL_FILE_VERSION ")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    // The word overrides every other, wherever it stands.
    const test::ProgramRun run = Run({P("run/src"), "-?", P("run/bk1"), c.word, "-M"}, home_);
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ(c.firstLine, run.stdoutText.substr(0, run.stdoutText.find('\n')));
    EXPECT_EQ("", run.stderrText);
    EXPECT_FALSE(fs::exists(P("run/bk1")));
    EXPECT_FALSE(fs::exists(P("home/.local")));
  }
  EXPECT_TRUE(test::OpenedFiles(runner_, 0).empty());
}

TEST_F(Installed, StatusLineOnATerminalAndNotInAPipe) {
  for (int i = 0; i < 20; ++i) test::WriteFile(P("run/src/d/f" + std::to_string(i)), "x");
  const std::string backup = "'" + runner_ + "' '" + P("run/src") + "' '" + P("run/bk");
  ASSERT_EQ(0, Shell("TERM=xterm script -qec \"" + backup + "1'\" /dev/null")) << output_;
  EXPECT_NE(std::string::npos, output_.find("\r1 dirs, 0 files checked, 0 copied (0 B), 0:00"))
      << output_;
  // Erased at the end: the last thing on the terminal.
  ASSERT_GE(output_.size(), 4u);
  EXPECT_EQ("\r\x1b[K", output_.substr(output_.size() - 4));
  EXPECT_TRUE(test::IsFile(P("run/bk1/d/f19")));
  ASSERT_EQ(0, Shell(backup + "2' 2>&1 | cat"));
  EXPECT_EQ("", output_);
  EXPECT_TRUE(test::IsFile(P("run/bk2/d/f19")));
}

// Root may write /opt, yet a program installed there writes nothing beside
// itself: its reports and help document go to the state directory.
TEST(InstalledUnderASystemPrefix, RootWritesNothingBesideTheProgram) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root may install into /opt";
  std::string place = "/opt/kovrel-test-XXXXXX";
  if (!test::IsDir("/opt") || !::mkdtemp(place.data())) GTEST_SKIP() << "no /opt to install into";
  struct Removed {
    std::string dir;
    ~Removed() {
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  } removed{place};
  const std::string exe = test::InstallProgram(place);
  test::TempDir tmp;
  // Started from a script of its own, whose directory takes the starter's
  // files (the viewer's log, the output).
  const std::string runner = tmp / "run/kovrel";
  test::WriteFile(runner, "#!/bin/sh\nexec '" + exe + "' \"$@\"\n");
  ::chmod(runner.c_str(), 0755);
  test::WriteFile(tmp / "src/a.txt", "a");
  const test::Env home = {{"HOME", tmp / "home"}, {"XDG_STATE_HOME", ""}};
  test::ProgramRun run = test::RunProgram(runner, {tmp / "src", tmp / "bk1", "-M"}, home);
  EXPECT_EQ(0, run.exitCode) << run.stderrText;
  run = test::RunProgram(runner, {"-?"}, home);
  EXPECT_EQ(0, run.exitCode) << run.stderrText;
  const std::string state = tmp / "home/.local/state/kovrel/";
  EXPECT_EQ("copied  " + (tmp / "src/a.txt") + "\r\n", test::ReadFile(state + "kovrelTemp1.txt"));
  EXPECT_TRUE(test::IsFile(state + "kovrel.txt"));
  EXPECT_EQ(std::vector<std::string>{"kovrel"}, test::ListTree(place));
}

}  // namespace

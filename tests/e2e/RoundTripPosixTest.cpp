// A home-like tree backed up and compared entry by entry with stage 1: what
// a restore gives back is the tree that was saved.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

// One entry of the tree. Directories end with "/" and come before what they
// hold.
struct Row {
  const char* path;
  unsigned mode;
  const char* content = "";      // of a file
  bool foreign = false;          // owned by another user when run as root
  const char* attr = nullptr;    // a user.* attribute's value
  bool sparse = false;           // 2 GiB holding `content` at 1 GiB
  const char* link = nullptr;    // a symbolic link with this target text
  const char* sameAs = nullptr;  // another name (a hard link) of this entry
  char special = 0;              // 'p' a fifo, 'c' a character device (as root)
};

const Row kHome[] = {
    {"private/", 0700},
    {"private/diary.txt", 0644, "dear diary"},
    {".ssh/", 0700},
    {".ssh/id_key", 0600, "secret key"},
    {"bin/", 0755},
    {"bin/run.sh", 0755, "#!/bin/sh\necho hi\n"},
    {"shared/", 02775},
    {"shared/notes.txt", 0664, "notes", true},
    {"other/", 0750, "", true},
    {"other/data", 0640, "theirs", true, "theirs"},
    {".config/app/", 0755},
    {".config/app/settings", 0644, "key=value", false, "config"},
    {"images/", 0755, "", false, "images"},
    {"images/disk.img", 0644, "data", false, nullptr, true},
    {"bin/run", 0, "", false, nullptr, false, "run.sh"},
    {"to-private", 0, "", false, nullptr, false, "private"},
    {"dangling", 0, "", false, nullptr, false, "../nowhere"},
    {"other/theirs", 0, "", true, nullptr, false, "/etc/passwd"},
    // Empty directories are part of the tree: a Maildir's, a system's /tmp.
    {"mail/", 0700},
    {"mail/cur/", 0700},
    {"mail/new/", 0700},
    {"mail/tmp/", 01777},
    {"bin/run-too", 0, "", false, nullptr, false, nullptr, "bin/run.sh"},
    {"queue", 0620, "", false, nullptr, false, nullptr, nullptr, 'p'},
    {"null", 0666, "", true, nullptr, false, nullptr, nullptr, 'c'},
};

constexpr uid_t kOtherUser = 12345;
constexpr gid_t kOtherGroup = 23456;

std::string Octal(unsigned mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", mode);
  return buf;
}

// The user.* attributes, "name=value" in name order.
std::string Attributes(const std::string& path) {
  char names[4096];
  const ssize_t n = ::llistxattr(path.c_str(), names, sizeof names);
  std::vector<std::string> kept;
  for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    const std::string name = names + at;
    char value[256];
    const ssize_t len = ::lgetxattr(path.c_str(), name.c_str(), value, sizeof value);
    if (name.starts_with("user.") && len >= 0) kept.push_back(name + "=" + std::string(value, len));
  }
  std::sort(kept.begin(), kept.end());
  std::string text;
  for (const std::string& k : kept) text += k + ";";
  return text;
}

// The data regions of a file, each as offset, length and a hash of its
// bytes: equal for two files only when their holes are too.
std::string DataMap(const std::string& path, off_t size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "(unreadable)";
  std::string map;
  for (off_t at = 0; at < size;) {
    const off_t data = ::lseek(fd, at, SEEK_DATA);
    if (data < 0) break;
    const off_t hole = std::min(::lseek(fd, data, SEEK_HOLE), size);
    uint64_t hash = 14695981039346656037ull;
    char buf[1 << 16];
    ssize_t n;
    for (off_t pos = data; pos < hole && (n = ::pread(fd, buf, sizeof buf, pos)) > 0; pos += n) {
      for (ssize_t i = 0; i < n; ++i)
        hash = (hash ^ static_cast<unsigned char>(buf[i])) * 1099511628211ull;
    }
    map +=
        std::to_string(data) + "+" + std::to_string(hole - data) + ":" + std::to_string(hash) + " ";
    at = hole;
  }
  ::close(fd);
  return map;
}

// Everything a restore has to give back of one entry.
std::string Describe(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return "(missing)";
  std::string text = S_ISDIR(st.st_mode)    ? "dir "
                     : S_ISREG(st.st_mode)  ? "file "
                     : S_ISLNK(st.st_mode)  ? "link -> " + fs::read_symlink(path).string() + " "
                     : S_ISFIFO(st.st_mode) ? "fifo "
                     : S_ISCHR(st.st_mode)  ? "chr " + std::to_string(st.st_rdev) + " "
                                            : "other ";
  if (S_ISLNK(st.st_mode)) st.st_mode &= ~07777;  // a link's own bits mean nothing
  text += Octal(st.st_mode & 07777) + " " + std::to_string(st.st_uid) + ":" +
          std::to_string(st.st_gid) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
          std::to_string(st.st_mtim.tv_nsec) + " " + Attributes(path);
  if (S_ISREG(st.st_mode))
    text += " " + std::to_string(st.st_size) + " " + DataMap(path, st.st_size);
  return text;
}

// Every entry below `dir`, described, by relative path; not the run's lock
// file, which stage 1 holds beside what it restores.
std::map<std::string, std::string> Described(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string rel = fs::relative(e.path(), dir).string();
    if (!platform::IsRunLockName(rel)) out[rel] = Describe(e.path().string());
  }
  return out;
}

class RoundTrip : public ::testing::Test {
 protected:
  void SetUp() override { exe_ = test::InstallProgram(tmp_ / "bin"); }

  std::string P(const std::string& rel) const { return tmp_ / rel; }

  test::ProgramRun Run(std::initializer_list<const char*> dirs, const char* option = "-M") {
    std::vector<std::string> args;
    for (const char* dir : dirs) args.push_back(P(dir));
    args.push_back(option);
    return test::RunProgram(exe_, args);
  }

  test::TempDir tmp_;
  std::string exe_;
};

void SetTime(const std::string& path, time_t sec, long nsec) {
  const struct timespec times[2] = {{sec, nsec}, {sec, nsec}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW)) << path;
}

TEST_F(RoundTrip, StageOneRestoresTheTreeAsItWasAndStaysPrivate) {
  const bool root = ::geteuid() == 0;
  const std::string src = P("src");
  test::MakeDirs(src);
  time_t when = 1600000000;
  for (const Row& row : kHome) {
    const std::string path = src + "/" + row.path;
    if (row.special == 'c' && !root) continue;  // only root makes devices
    if (row.sameAs) {
      ASSERT_EQ(0, ::link((src + "/" + row.sameAs).c_str(), path.c_str())) << path;
      continue;
    }
    if (row.special) {
      const dev_t dev = row.special == 'c' ? makedev(1, 3) : 0;
      ASSERT_EQ(0, ::mknod(path.c_str(), (row.special == 'c' ? S_IFCHR : S_IFIFO) | 0600, dev));
    } else if (row.link) {
      ASSERT_EQ(0, ::symlink(row.link, path.c_str())) << path;
      if (row.foreign && root) {
        ASSERT_EQ(0, ::lchown(path.c_str(), kOtherUser, kOtherGroup));
      }
      continue;
    }
    if (row.special) {
      // made above, with no content
    } else if (std::string(row.path).back() == '/') {
      test::MakeDirs(path);
    } else if (row.sparse) {
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(0, ::ftruncate(fd, off_t{2} << 30));
      ASSERT_EQ(4, ::pwrite(fd, row.content, 4, off_t{1} << 30));
      ::close(fd);
    } else {
      test::WriteFile(path, row.content);
    }
    if (row.foreign && root) {
      ASSERT_EQ(0, ::chown(path.c_str(), kOtherUser, kOtherGroup));
    }
    ASSERT_EQ(0, ::chmod(path.c_str(), row.mode)) << path;
    if (row.attr &&
        ::setxattr(path.c_str(), "user.kind", row.attr, std::strlen(row.attr), 0) != 0) {
      ASSERT_EQ(ENOTSUP, errno) << path;  // a file system without them: left out
    }
  }
  // Directory times last, once their content is there; each its own.
  for (const Row& row : kHome) {
    if (row.special == 'c' && !root) continue;
    SetTime(src + "/" + row.path, when += 3607, 123456789);
  }
  ASSERT_EQ(0, ::chmod(src.c_str(), 0750));
  SetTime(src, when + 1, 5);

  test::ProgramRun run = Run({"src", "bk1", "bk2", "bk3"});
  ASSERT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_EQ(Described(src), Described(P("bk1")));
  EXPECT_EQ(Describe(src), Describe(P("bk1")));  // the stage's own top
  // Holes stay holes: a few blocks, not 2 GiB.
  struct stat copy;
  ASSERT_EQ(0, ::stat(P("bk1/images/disk.img").c_str(), &copy));
  EXPECT_LT(copy.st_blocks, 256);
  // Names of one file stay one file, also for a name a later run adds.
  const auto inode = [&](const char* rel) {
    struct stat st;
    return ::lstat(P(rel).c_str(), &st) == 0
               ? std::to_string(st.st_ino) + "/" + std::to_string(st.st_nlink)
               : "(missing)";
  };
  EXPECT_EQ(inode("bk1/bin/run.sh"), inode("bk1/bin/run-too"));
  ASSERT_EQ(0, ::link((src + "/bin/run.sh").c_str(), (src + "/other/run-three").c_str()));
  ASSERT_EQ(0, Run({"src", "bk1", "bk2", "bk3"}).exitCode);
  EXPECT_EQ(inode("bk1/bin/run.sh"), inode("bk1/other/run-three"));
  EXPECT_EQ("3", inode("bk1/bin/run-too").substr(inode("bk1/bin/run-too").find('/') + 1));

  // A tree left open by an older version is closed, and the run tells
  // nothing: no report, nothing on standard error.
  ASSERT_EQ(0, ::chmod(P("bk1/private").c_str(), 0755));
  run = Run({"src", "bk1", "bk2", "bk3"});
  EXPECT_EQ(0, run.exitCode);
  EXPECT_EQ("", run.stderrText);
  EXPECT_FALSE(test::IsFile(test::ReportPath(exe_, 3)));
  EXPECT_EQ(Described(src), Described(P("bk1")));

  // Generations rotate down; every stage keeps the private directory private.
  for (int v = 2; v <= 3; ++v) {
    test::WriteFile(src + "/private/diary.txt", "entry " + std::to_string(v));
    SetTime(src + "/private/diary.txt", when + 100 * v, 0);
    SetTime(src + "/private", when + 100 * v, 7);
    run = Run({"src", "bk1", "bk2", "bk3"});
    ASSERT_EQ(0, run.exitCode) << run.stderrText;
  }
  EXPECT_EQ(Described(src), Described(P("bk1")));
  // With -A no removal walk follows; the directories still end as the source's.
  test::WriteFile(src + "/.ssh/known_hosts", "host");
  SetTime(src + "/.ssh/known_hosts", when, 0);
  SetTime(src + "/.ssh", when, 3);
  run = Run({"src", "bk1", "bk2", "bk3"}, "-A");
  ASSERT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_EQ(Described(src), Described(P("bk1")));
  EXPECT_EQ("entry 2", test::ReadFile(P("bk2/private/diary.txt")));
  EXPECT_EQ("dear diary", test::ReadFile(P("bk3/private/diary.txt")));
  for (const char* stage : {"bk2", "bk3"}) {
    struct stat st;
    ASSERT_EQ(0, ::stat(P(std::string(stage) + "/private").c_str(), &st)) << stage;
    EXPECT_EQ("0700", Octal(st.st_mode & 07777)) << stage;
    ASSERT_EQ(0, ::stat(P(stage).c_str(), &st)) << stage;
    EXPECT_EQ("0750", Octal(st.st_mode & 07777)) << stage;
    EXPECT_EQ(::geteuid(), st.st_uid) << stage;
  }
}

TEST_F(RoundTrip, NameWithALineEndCannotForgeAReportLine) {
  const std::string name = "evil\ncopied  \\x0A";
  test::WriteFile(P("src/" + name), "x");
  const test::ProgramRun run = Run({"src", "bk1"});
  ASSERT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_EQ("x", test::ReadFile(P("bk1/" + name)));
  // One line; the backslash that would read as an escape is doubled.
  EXPECT_EQ(std::vector<std::string>{"copied  " + P("src") + "/evil\\x0Acopied  \\\\x0A"},
            test::CrLfLines(test::ReadFile(test::ReportPath(exe_, 1))));
}

TEST_F(RoundTrip, TaggedCacheDirectoriesArePassedOver) {
  const std::string tag = "Signature: 8a477f597d28d172789f06886806bc55\n# a cache\n";
  test::WriteFile(P("src/.cache/CACHEDIR.TAG"), tag);
  test::WriteFile(P("src/.cache/blob"), "b");
  test::WriteFile(P("src/notes/CACHEDIR.TAG"), "Signature: not the one\n");
  test::WriteFile(P("src/notes/a.txt"), "a");
  test::WriteFile(P("bk1/.cache/old"), "o");  // left as it is
  const test::ProgramRun run = Run({"src", "bk1"});
  ASSERT_EQ(0, run.exitCode) << run.stderrText;
  EXPECT_EQ((std::vector<std::string>{".cache/old", "notes/CACHEDIR.TAG", "notes/a.txt"}),
            test::ListTree(P("bk1")));
}

// Runs a shell command with git's configuration kept out; its exit status.
int Shell(const std::string& command) {
  const std::string quiet = "HOME=/nonexistent GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null ";
  return std::system((quiet + command + " >/dev/null 2>&1").c_str());
}

TEST_F(RoundTrip, GitRepositoryWithPackedRefsWorksFromStageOne) {
  if (Shell("git --version") != 0) GTEST_SKIP() << "git is not installed";
  const std::string repo = P("src/repo");
  test::MakeDirs(repo);
  const std::string git = "git -c user.name=k -c user.email=k@example.org -C '" + repo + "' ";
  ASSERT_EQ(0,
            Shell(git + "init -q && echo hello > '" + repo + "/a.txt' && " + git + "add a.txt && " +
                  git + "commit -qm one && " + git + "tag v1 && " + git + "pack-refs --all"));
  // What packing leaves: refs/heads and refs/tags, empty.
  ASSERT_TRUE(fs::is_empty(repo + "/.git/refs/heads"));
  const test::ProgramRun run = Run({"src", "bk1", "bk2"});
  ASSERT_EQ(0, run.exitCode) << run.stderrText;
  const std::string copy = "git -c safe.directory='*' -C '" + P("bk1/repo") + "' ";
  EXPECT_EQ(0, Shell(copy + "status"));
  EXPECT_EQ(0, Shell(copy + "fsck --strict"));
  EXPECT_EQ(0, Shell(copy + "rev-parse --verify -q v1"));
}

TEST_F(RoundTrip, FifosSwappedInForFilesWhileTheRunCopiesCannotStopIt) {
  // Files large enough for the run to be copying while they are swapped.
  const std::string block(1 << 20, 'x');
  constexpr int kFiles = 64;
  for (int i = 0; i < kFiles; ++i) test::WriteFile(P("src/f" + std::to_string(i)), block);
  test::StartedProgram program(exe_, {P("src"), P("bk1"), P("bk2")});
  for (int i = kFiles - 1; i >= 0; --i) {
    const std::string file = P("src/f" + std::to_string(i));
    const std::string fifo = file + ".fifo";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0644));
    ASSERT_EQ(0, ::rename(fifo.c_str(), file.c_str()));
  }
  // Nobody ever writes into the fifos: a run that read one would wait for
  // good. A generous wait tells a run that ended from one that hangs.
  test::ProgramRun run;
  ASSERT_TRUE(program.Wait(120000, run)) << "the run hangs on a fifo";
  EXPECT_NE(1, run.exitCode) << run.stderrText;
  // A second run finds the fifos and makes them again in stage 1.
  ASSERT_EQ(0, Run({"src", "bk1", "bk2"}).exitCode);
  for (int i = 0; i < kFiles; ++i) {
    struct stat st;
    ASSERT_EQ(0, ::lstat(P("bk1/f" + std::to_string(i)).c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << i;
  }
}

}  // namespace

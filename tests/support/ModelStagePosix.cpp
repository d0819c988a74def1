// The model stage's mount for a test: ModelStageFs started over a backing
// directory, waited for until the mount point is FUSE, and unmounted,
// stopped and removed at the end of the scope, whatever the test did.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "support/ModelStage.h"
#include "support/TestSupport.h"

#ifndef KOVREL_MODEL_STAGE_FS
#define KOVREL_MODEL_STAGE_FS ""
#endif

namespace test {

namespace {

constexpr long kFuseMagic = 0x65735546;

bool IsFuse(const std::string& path) {
  struct statfs st;
  return ::statfs(path.c_str(), &st) == 0 && st.f_type == kFuseMagic;
}

pid_t Start(const std::vector<std::string>& argv, const std::string& errPath) {
  // Nothing is allocated after the fork, in a child of a threaded process.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(err >= 0 ? err : null, 2);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

// Waits up to `ms` for the process to end; true once it has.
bool Ended(pid_t pid, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Detached, so that a file still open in a killed run does not keep it.
void Unmount(const std::string& path) {
  if (::umount2(path.c_str(), MNT_DETACH) == 0 || errno != EPERM) return;
  const pid_t pid = Start({"/usr/bin/fusermount3", "-u", "-z", path}, "/dev/null");
  if (pid > 0) Ended(pid, 5000);
}

}  // namespace

struct ModelStage::Data {
  TempDir tmp;
  std::string backing, path, why;
  pid_t pid = -1;
  bool mounted = false;
};

ModelStage::ModelStage(const StageCaps& caps) : data_(new Data) {
  Data& d = *data_;
  d.backing = d.tmp / "backing";
  d.path = d.tmp / "stage";
  const std::string helper = KOVREL_MODEL_STAGE_FS;
  if (helper.empty() || ::access(helper.c_str(), X_OK) != 0) {
    d.why = "the model stage helper ModelStageFs is not built (no FUSE 3)";
    return;
  }
  const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fuse < 0) {
    d.why = "/dev/fuse cannot be opened here";
    return;
  }
  ::close(fuse);
  MakeDirs(d.backing);
  MakeDirs(d.path);
  std::vector<std::string> argv = {helper};
  for (const std::string& a : CapsArguments(caps)) argv.push_back(a);
  argv.push_back(d.backing);
  argv.push_back(d.path);
  const std::string errPath = d.tmp / "stage.err";
  d.pid = Start(argv, errPath);
  for (int i = 0; i < 1000 && d.pid > 0; ++i) {
    if (IsFuse(d.path)) {
      d.mounted = true;
      return;
    }
    int status = 0;
    if (::waitpid(d.pid, &status, WNOHANG) == d.pid) {
      d.pid = -1;
      d.why = "ModelStageFs did not mount: " + ReadFile(errPath);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  d.why = "ModelStageFs did not mount within 10 s: " + ReadFile(errPath);
}

ModelStage::~ModelStage() {
  Data& d = *data_;
  if (d.pid <= 0) return;
  // Never a look at the mount here: one whose server hangs would hang it.
  Unmount(d.path);
  // Unmounted, it ends by itself; one that hangs is ended.
  if (!Ended(d.pid, 5000)) {
    ::kill(d.pid, SIGKILL);
    Ended(d.pid, 5000);
    Unmount(d.path);
  }
}

bool ModelStage::mounted() const { return data_->mounted; }
const std::string& ModelStage::why() const { return data_->why; }
const std::string& ModelStage::path() const { return data_->path; }
const std::string& ModelStage::backing() const { return data_->backing; }

}  // namespace test

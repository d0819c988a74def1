// POSIX part of the test helpers: times through utimensat, the program run
// through fork/exec with a recording xdg-open on PATH.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <thread>

#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace test {

void RemoveTree(const std::string& path) {
  std::error_code ec;
  // Read-only files and directories are made writable so they can go.
  for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path, ec);
}

namespace {

void SetMTime(const std::string& path, time_t t, int flags = 0) {
  const struct timespec times[2] = {{t, 0}, {t, 0}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, flags) != 0)
    throw std::runtime_error("utimensat " + path);
}

time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  struct tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return ::mktime(&tm);
}

std::string FormatLocal(time_t t) {
  struct tm tm;
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string OpenLogPath(const std::string& exe) {
  return fs::path(exe).parent_path().string() + "/opened.log";
}

// A directory holding a fake xdg-open that appends its argument to
// $KOVREL_OPEN_LOG; made once per test process.
std::string FakeBinDir() {
  static const std::string dir = [] {
    const std::string d =
        fs::temp_directory_path().string() + "/kovrel-fakebin-" + std::to_string(::getpid());
    fs::create_directories(d);
    WriteFile(d + "/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$KOVREL_OPEN_LOG\"\n");
    // Any user may run it: some tests start the program as another one.
    fs::permissions(d + "/xdg-open", fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec);
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(
          fs::temp_directory_path().string() + "/kovrel-fakebin-" + std::to_string(::getpid()), ec);
    });
    return d;
  }();
  return dir;
}

}  // namespace

void SetLocalMTime(const std::string& path, int year, int month, int day, int hour, int minute,
                   int second) {
  SetMTime(path, LocalTime(year, month, day, hour, minute, second));
}

void SetLocalMTimeOfEntry(const std::string& path, int year, int month, int day, int hour,
                          int minute, int second) {
  SetMTime(path, LocalTime(year, month, day, hour, minute, second), AT_SYMLINK_NOFOLLOW);
}

void SetUtcMTime(const std::string& path, long long nanoseconds) {
  constexpr long long kSecond = 1000000000;
  const long long nanos = (nanoseconds % kSecond + kSecond) % kSecond;
  const time_t seconds = static_cast<time_t>((nanoseconds - nanos) / kSecond);
  const struct timespec times[2] = {{seconds, nanos}, {seconds, nanos}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
    throw std::runtime_error("utimensat " + path);
}

void SetMTimeFromNow(const std::string& path, long long offsetSeconds) {
  SetMTime(path, ::time(nullptr) + static_cast<time_t>(offsetSeconds));
}

ZoneScope::ZoneScope(const std::string& zone) {
  const char* old = std::getenv("TZ");
  had_ = old != nullptr;
  if (had_) saved_ = old;
  ::setenv("TZ", zone.c_str(), 1);
  ::tzset();
}

ZoneScope::~ZoneScope() {
  if (had_) {
    ::setenv("TZ", saved_.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

std::string LocalMTime(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return "";
  return FormatLocal(st.st_mtime);
}

bool LookAt(const std::string& path, EntryLook& look) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  look = EntryLook();
  look.kind = S_ISREG(st.st_mode)    ? 'f'
              : S_ISDIR(st.st_mode)  ? 'd'
              : S_ISLNK(st.st_mode)  ? 'l'
              : S_ISFIFO(st.st_mode) ? 'p'
              : S_ISSOCK(st.st_mode) ? 's'
                                     : '?';
  look.time = FormatLocal(st.st_mtime);
  if (look.kind == 'f') {
    look.device = static_cast<uint64_t>(st.st_dev);
    look.inode = static_cast<uint64_t>(st.st_ino);
    look.links = static_cast<uint64_t>(st.st_nlink);
  }
  return true;
}

bool MakeFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0644) == 0; }

bool MakeSocket(const std::string& path) {
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool bound = ::bind(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return bound;
}

bool IsSuperUser() { return ::geteuid() == 0; }

void GiveTree(const std::string& path, unsigned id) {
  const auto give = [&](const fs::path& p) {
    if (::lchown(p.c_str(), id, id) != 0) throw std::runtime_error("lchown " + p.string());
  };
  give(path);
  for (auto it = fs::recursive_directory_iterator(path); it != fs::end(it); ++it) give(it->path());
}

std::string InstallProgram(const std::string& dir, const std::string& name) {
  const fs::path from(KOVREL_EXE);
  const fs::path to = fs::path(dir) / (name.empty() ? from.filename().string() : name);
  fs::create_directories(dir);
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  return to.string();
}

namespace {

std::string ErrPath(const std::string& exe) {
  return fs::path(exe).parent_path().string() + "/stderr.out";
}

std::string OutPath(const std::string& exe) {
  return fs::path(exe).parent_path().string() + "/stdout.out";
}

// Starts the program with the recording viewer on PATH, its standard error
// into ErrPath, its standard output into OutPath, and standard input on
// /dev/null.
pid_t Spawn(const std::string& exe, const std::vector<std::string>& args, const Env& env) {
  // Everything is made before the fork: the tests have threads of their
  // own (a held read, a mount), and a child of a threaded process may take
  // no lock that one of them held, an allocator's neither.
  const std::string errPath = ErrPath(exe);
  const std::string outPath = OutPath(exe);
  const char* path = std::getenv("PATH");
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  vars["PATH"] = FakeBinDir() + ":" + (path ? path : "/usr/bin:/bin");
  vars["DISPLAY"] = ":kovrel-test";
  vars["KOVREL_OPEN_LOG"] = OpenLogPath(exe);
  for (const auto& [key, value] : env) vars[key] = value;
  std::vector<std::string> entries;
  for (const auto& [key, value] : vars) entries.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(exe.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err >= 0) ::dup2(err, 2);
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) ::dup2(out, 1);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) ::dup2(null, 0);
    ::execve(exe.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  if (pid < 0) throw std::runtime_error("fork " + exe);
  return pid;
}

ProgramRun Ended(const std::string& exe, int status) {
  ProgramRun run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.stderrText = ReadFile(ErrPath(exe));
  run.stdoutText = ReadFile(OutPath(exe));
  fs::remove(ErrPath(exe));
  fs::remove(OutPath(exe));
  return run;
}

}  // namespace

ProgramRun RunProgram(const std::string& exe, const std::vector<std::string>& args,
                      const Env& env) {
  const pid_t pid = Spawn(exe, args, env);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return Ended(exe, status);
}

struct StartedProgram::Process {
  std::string exe;
  pid_t pid = -1;
  bool ended = false;
};

StartedProgram::StartedProgram(const std::string& exe, const std::vector<std::string>& args,
                               const Env& env)
    : process_(new Process{exe, Spawn(exe, args, env)}) {}

StartedProgram::~StartedProgram() { Kill(); }

long StartedProgram::Id() const { return static_cast<long>(process_->pid); }

bool StartedProgram::Wait(int milliseconds, ProgramRun& run) {
  if (process_->ended) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(process_->pid, &status, WNOHANG);
    if (done == process_->pid) {
      process_->ended = true;
      run = Ended(process_->exe, status);
      return true;
    }
    if (done < 0 && errno != EINTR) throw std::runtime_error("waitpid " + process_->exe);
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void StartedProgram::Kill() {
  if (process_->ended) return;
  ::kill(process_->pid, SIGKILL);
  int status = 0;
  while (::waitpid(process_->pid, &status, 0) < 0 && errno == EINTR) {
  }
  process_->ended = true;
  std::error_code ec;
  fs::remove(ErrPath(process_->exe), ec);
  fs::remove(OutPath(process_->exe), ec);
}

namespace {

// The state letter of /proc/<pid>/stat, 0 when the process is gone.
char ProcessState(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(") ");
  return paren == std::string::npos || paren + 2 >= stat.size() ? 0 : stat[paren + 2];
}

}  // namespace

bool StartedProgram::Stop() {
  if (process_->ended) return false;
  ::kill(process_->pid, SIGSTOP);
  for (int i = 0; i < 10000; ++i) {
    const char state = ProcessState(process_->pid);
    if (state == 'T' || state == 't') return true;
    if (state == 'Z' || state == 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

struct CopyWatch::Data {
  std::string source;
  std::string dir;
};

// /proc shows resolved paths: the watch holds them resolved too.
CopyWatch::CopyWatch(const std::string& source, const std::string& dir)
    : data_(new Data{fs::canonical(source).string(), fs::canonical(dir).string()}) {}

CopyWatch::~CopyWatch() = default;

// The copy is under way while the program has the source open; what it
// writes is the regular file it has open in the directory, nameless until
// it is linked in (O_TMPFILE, which /proc shows as "#inode (deleted)").
CopyProgress CopyWatch::Look(const StartedProgram& program) const {
  CopyProgress progress;
  const std::string fdDir = "/proc/" + std::to_string(program.Id()) + "/fd";
  std::error_code ec;
  for (auto it = fs::directory_iterator(fdDir, ec); !ec && it != fs::end(it); it.increment(ec)) {
    const std::string link = it->path().string();
    char target[4096];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    const std::string to(target, static_cast<size_t>(n));
    struct stat st;
    if (to == data_->source) {
      progress.copying = true;
    } else if (to.rfind(data_->dir + "/", 0) == 0 && ::stat(link.c_str(), &st) == 0 &&
               S_ISREG(st.st_mode)) {
      progress.written = static_cast<uint64_t>(st.st_size);
      progress.name = st.st_nlink > 0 ? to.substr(data_->dir.size() + 1) : std::string();
    }
  }
  return progress;
}

std::vector<std::string> OpenedFiles(const std::string& exe, size_t expected) {
  std::vector<std::string> lines;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    lines.clear();
    const std::string log = ReadFile(OpenLogPath(exe));
    size_t start = 0;
    for (size_t nl; (nl = log.find('\n', start)) != std::string::npos; start = nl + 1) {
      lines.push_back(log.substr(start, nl - start));
    }
    if (lines.size() >= expected || std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (expected == 0) {
    // Nothing is expected: give a detached viewer a moment to show up anyway.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string log = ReadFile(OpenLogPath(exe));
    if (!log.empty()) lines.push_back(log);
  }
  return lines;
}

void SetPlatformError(PlatformError error) {
  switch (error) {
    case PlatformError::NoSpace:
      errno = ENOSPC;
      break;
    case PlatformError::PermissionDenied:
      errno = EACCES;
      break;
    case PlatformError::CrossDevice:
      errno = EXDEV;
      break;
    case PlatformError::NotFound:
      errno = ENOENT;
      break;
    case PlatformError::IoError:
      errno = EIO;
      break;
  }
}

// The fanotify group holds every read of the file until the writer has
// changed the file: a look after the read always sees another change time.
struct TornReads::Data {
  int group = -1;
  int file = -1;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> reads{0};
  std::thread writer;

  void Serve() {
    char buf[4096] __attribute__((aligned(__alignof__(struct fanotify_event_metadata))));
    unsigned char next = 'A';
    while (!stop) {
      struct pollfd p = {group, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = ::read(group, buf, sizeof buf);
      if (n <= 0) continue;
      auto* event = reinterpret_cast<const struct fanotify_event_metadata*>(buf);
      for (ssize_t left = n; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
        // One more byte at the end each time: another size and change time.
        next = next == 'Z' ? 'A' : static_cast<unsigned char>(next + 1);
        if (::write(file, &next, 1) != 1) std::perror("torn write");
        ++reads;
        const struct fanotify_response allow = {event->fd, FAN_ALLOW};
        if (::write(group, &allow, sizeof allow) != sizeof allow) std::perror("fanotify answer");
        if (event->fd >= 0) ::close(event->fd);
      }
    }
  }
};

TornReads::TornReads(const std::string& path) : data_(new Data) {
  if (::geteuid() != 0) return;
  data_->group = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE);
  data_->file = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (data_->group < 0 || data_->file < 0 ||
      ::fanotify_mark(data_->group, FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD, path.c_str()) != 0) {
    if (data_->group >= 0) ::close(data_->group);
    if (data_->file >= 0) ::close(data_->file);
    data_->group = data_->file = -1;
    return;
  }
  data_->writer = std::thread([d = data_.get()] { d->Serve(); });
}

TornReads::~TornReads() {
  if (data_->group < 0) return;
  data_->stop = true;
  data_->writer.join();
  ::close(data_->group);
  ::close(data_->file);
}

bool TornReads::active() const { return data_->group >= 0; }

uint64_t TornReads::reads() const { return data_->reads; }

}  // namespace test

// Helpers for tests that work on real temporary trees and run the built
// program. Paths use the platform's separator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace test {

using Env = std::vector<std::pair<std::string, std::string>>;

// A fresh directory, removed with everything in it at the end of the scope;
// in the system's temporary directory, or in `base`.
class TempDir {
 public:
  TempDir();
  explicit TempDir(const std::string& base);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // The directory's path, without a trailing separator.
  const std::string& path() const { return path_; }
  // path() + separator + rel, where rel may use '/' (converted).
  std::string operator/(const std::string& rel) const;

 private:
  std::string path_;
};

// Removes `path` and everything below it, read-only entries too; on Windows
// also names that Win32 path rules alter, which a Win32 path would miss
// (or, for CON, open the console).
void RemoveTree(const std::string& path);

// Joins with the platform separator; '/' in `rel` becomes the separator.
std::string Join(const std::string& dir, const std::string& rel);

void MakeDirs(const std::string& path);
// Writes `content`, making missing parent directories.
void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool IsFile(const std::string& path);
bool IsDir(const std::string& path);
// The lines of saved text, split at CR LF; a last line without CR LF is
// kept as it is.
std::vector<std::string> CrLfLines(const std::string& text);

// Every file below `dir`, as relative paths with '/' separators, sorted;
// not the run's lock file at its top, which no backup holds (the tests of
// the lock look for it by name).
std::vector<std::string> ListTree(const std::string& dir);

// Sets the last-write time to a local time.
void SetLocalMTime(const std::string& path, int year, int month, int day, int hour = 12,
                   int minute = 0, int second = 0);
// Sets the last-write time to `nanoseconds` since 1970-01-01 00:00 UTC (on
// Windows cut to its 100 ns ticks).
void SetUtcMTime(const std::string& path, long long nanoseconds);
// Sets the last-write time to now + `offsetSeconds`.
void SetMTimeFromNow(const std::string& path, long long offsetSeconds);
// The local last-write time as "YYYY-MM-DD hh:mm:ss".
std::string LocalMTime(const std::string& path);

// What a look at an entry tells without following a link: its kind ('f'
// file, 'd' directory, 'l' symbolic link, 'p' fifo, 's' socket, '?'
// anything else), its own local last-write time, and for a file the
// identity of its data and its number of names (0 where none is told).
struct EntryLook {
  char kind = '?';
  std::string time;
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t links = 0;
};
// False when there is no entry at `path`.
bool LookAt(const std::string& path, EntryLook& look);
// Sets the last-write time of the entry itself, of a link too.
void SetLocalMTimeOfEntry(const std::string& path, int year, int month, int day, int hour,
                          int minute, int second);
// Make a fifo, and a socket that no process listens on any more; false
// where the platform has none or the making failed.
bool MakeFifo(const std::string& path);
bool MakeSocket(const std::string& path);
// Whether the tests run as the super-user (root); never on Windows.
bool IsSuperUser();
// Gives `path` and everything below it to the user and group `id` (POSIX).
void GiveTree(const std::string& path, unsigned id);

// While it lives, every read of the file at `path` (by any name of it, by
// any process) is held until the file has been written to: a copy made of
// it never sees the same file after its data as before. POSIX as root
// (fanotify); elsewhere it is not active and changes nothing.
class TornReads {
 public:
  explicit TornReads(const std::string& path);
  ~TornReads();
  TornReads(const TornReads&) = delete;
  TornReads& operator=(const TornReads&) = delete;
  bool active() const;
  // The reads held so far.
  uint64_t reads() const;

 private:
  struct Data;
  std::unique_ptr<Data> data_;
};

// Sets this process's time zone (TZ) for the scope, on POSIX. Windows takes
// its zone from the system: there it changes nothing.
class ZoneScope {
 public:
  explicit ZoneScope(const std::string& zone);
  ~ZoneScope();
  ZoneScope(const ZoneScope&) = delete;
  ZoneScope& operator=(const ZoneScope&) = delete;

 private:
  std::string saved_;
  bool had_ = false;
};

struct ProgramRun {
  int exitCode = -1;
  std::string stderrText;  // POSIX only; empty under Windows
  std::string stdoutText;  // POSIX only; empty under Windows
};

// Copies the built program into `dir` as `name` (default: its own file name)
// so that its report files and help document land there; returns its path.
std::string InstallProgram(const std::string& dir, const std::string& name = "");
// Report file `n` of a program installed under its own name: beside it,
// its name without the extension + "Temp" + n + ".txt".
std::string ReportPath(const std::string& exe, int n);
// Runs a program with arguments (each passed as one word) and extra
// environment variables, with a recording viewer in place of the real one,
// and waits for it to end.
ProgramRun RunProgram(const std::string& exe, const std::vector<std::string>& args,
                      const Env& env = {});

// A program started as RunProgram starts it, without waiting for it. One
// still running at the end of the scope is killed.
class StartedProgram {
 public:
  StartedProgram(const std::string& exe, const std::vector<std::string>& args, const Env& env = {});
  ~StartedProgram();
  StartedProgram(const StartedProgram&) = delete;
  StartedProgram& operator=(const StartedProgram&) = delete;
  // The process id.
  long Id() const;
  // Waits up to `milliseconds` for the program to end; true, with `run`
  // filled, once it has ended.
  bool Wait(int milliseconds, ProgramRun& run);
  // Ends the program at once (SIGKILL, TerminateProcess) and waits for it.
  void Kill();
  // Holds the program where it is, for a look at what it has done so far:
  // POSIX stops it (SIGSTOP) and waits until it stands still; Windows ends
  // it at once, as Kill does. False when it ended by itself first: Wait then
  // gives how it ended.
  bool Stop();

 private:
  struct Process;
  std::unique_ptr<Process> process_;
};

// How far a started program has come with its copy of one file.
struct CopyProgress {
  bool copying = false;  // the copy is under way: begun and not complete
  uint64_t written = 0;  // bytes of it written so far
  std::string name;      // the name it is written under; empty while it has none
};

// Watches a started program copy `source` into the directory `dir`. POSIX
// looks at the files the program has open; Windows at a file in `dir`
// that is new or has changed since the watch began and is still short of
// the source's size.
class CopyWatch {
 public:
  // Made before the program starts: it notes what `dir` holds.
  CopyWatch(const std::string& source, const std::string& dir);
  ~CopyWatch();
  CopyWatch(const CopyWatch&) = delete;
  CopyWatch& operator=(const CopyWatch&) = delete;
  CopyProgress Look(const StartedProgram& program) const;

 private:
  struct Data;
  std::unique_ptr<Data> data_;
};

// The files that the program asked the shell to open, in order, waiting up to
// a few seconds for `expected` of them to arrive (the viewer is detached).
std::vector<std::string> OpenedFiles(const std::string& exe, size_t expected);

// The error that a failed file operation leaves for its caller, as the
// platform reports it (errno or the thread's last error).
enum class PlatformError { NoSpace, PermissionDenied, CrossDevice, NotFound, IoError };
void SetPlatformError(PlatformError error);

// The program's option prefix and separator, for building arguments.
std::string Opt(const std::string& rest);  // SwitchChar + rest

// The workers of the engine's runs in this process: none, unless
// KOVREL_TEST_WORKERS says how many (as for KOVREL_WORKERS), so that the
// ThreadSanitizer build sees the same cases on real threads.
size_t TestWorkers();

}  // namespace test

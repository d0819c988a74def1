// The file-system and shell services that the rest of Kovrel uses. Nothing
// outside src/platform asks which operating system it runs on: it reads
// PathDelim and SwitchChar and calls what is declared here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Characters.h"

namespace platform {

// Path separator ('\' on Windows, '/' on POSIX) and option prefix ('/' or '-').
extern const char PathDelim;
extern const char SwitchChar;
// The extension of the program's own file: ".exe" on Windows, none on POSIX.
extern const char ExeSuffix[];

// Attribute bits of a directory entry, as the Windows file system stores them.
enum : uint32_t {
  faReadOnly = 0x01,
  faHidden = 0x02,
  faSysFile = 0x04,
  faVolumeID = 0x08,
  faDirectory = 0x10,
  faArchive = 0x20,
  faAnyFile = 0x3F,
  // Not a stored attribute: an entry that a listing names but whose kind
  // and data could not be read (no permission to look it up, an I/O error).
  // Listed only when admitted.
  faUnreadable = 0x100,
  // A symbolic link (on Windows a name-surrogate reparse point: a junction,
  // a directory link, a mount point). On POSIX a link of any kind is listed
  // as a file carrying this bit, with its own size and time; a directory
  // carrying it is never walked.
  faSymLink = 0x400,
  // POSIX only: a fifo, a character device or a block device, listed as a
  // file carrying one of these bits and made again in stage 1 (size: the
  // device number, 0 for a fifo). A socket is never listed.
  faFifo = 0x800,
  faCharDevice = 0x1000,
  faBlockDevice = 0x2000,
  faSpecial = faFifo | faCharDevice | faBlockDevice,
};

// A last-write time: nanoseconds since 1970-01-01 00:00 UTC, as the file
// system keeps it (Windows' 100 ns ticks since 1601 converted), held at the
// ends of its range (the years 1677 and 2262). Compared as it is: the local
// calendar day is asked for only by the date option.
using FileTime = int64_t;

constexpr FileTime kSecond = 1000000000;

// Seconds and nanoseconds since 1970 (POSIX), and Windows' FILETIME ticks,
// as a FileTime, held at the ends of its range; and back into ticks.
FileTime TimeFromSeconds(int64_t seconds, int64_t nanoseconds);
FileTime TimeFromTicks(uint64_t ticks);
uint64_t TicksFromTime(FileTime t);

// The time now.
FileTime CurrentTime();

// Whether `later` is later than `earlier` by more than `clock`, the step of
// the coarser clock of the two file systems that keep them: a copy on a
// coarser file system keeps its source's time cut to that step.
bool LaterBy(FileTime later, FileTime earlier, FileTime clock);

// A file system's clock is how finely it keeps last-write times: the step
// between two times it can hold, as a FileTime. 1 ns on ext4, xfs, btrfs and
// tmpfs, 100 ns on NTFS, 10 ms on exFAT (1 s through exfat-fuse), 2 s on
// FAT; 0 where it cannot be told.
//
// The time that a probe gives a new file: odd seconds and nanoseconds, which
// every step of a coarser clock cuts.
constexpr FileTime kProbeTime = 1000000001 * kSecond + 123456789;
// The clock that a probe shows, given kProbeTime and keeping `kept`: the
// coarsest step of 1 ns, 100 ns, 1 us, 1 ms, 10 ms, 1 s and 2 s that `kept`
// is a whole number of, where it lies within that step of kProbeTime (a
// file system that rounds up to the second may show 2 s, which errs on the
// safe side); 0 where the file system did not keep what it was given.
FileTime ClockOfProbe(FileTime kept);

// A point in local time as a day number: day 0 is 1899-12-30, the fraction is
// the time of day.
using DateValue = double;

// Day number of a Gregorian date (no range check); 1900-01-01 gives 2.
int64_t DayNumber(int year, int month, int day);
// The local calendar day of a last-write time, as a day number, counted with
// the offset from UTC in force at that time, not today's: a file written in
// summer at 00:30 is of that day also when asked in winter.
int64_t LocalDay(FileTime t);

// Identity of a file or directory: device and inode, or volume serial number
// and file id (128 bits where the volume gives them: `index` holds the low
// half, `indexHigh` the high one, 0 elsewhere). Two spellings of one
// directory give equal identities.
struct FileId {
  uint64_t volume = 0;
  uint64_t index = 0;
  uint64_t indexHigh = 0;
  bool operator==(const FileId&) const = default;
};

struct DirEntry {
  std::string name;  // as stored on disk
  uint32_t attr = 0;
  uint64_t size = 0;
  FileTime time = 0;
  // A regular file with more than one name (POSIX hard links): how many, and
  // the file's identity. 0 and no identity for every other entry, and where
  // the listing does not tell (Windows).
  uint32_t links = 0;
  FileId id;
};

// What a path names, as far as the file system can say.
enum class PathKind {
  Missing,  // nothing of that name: the file system says it does not exist
  File,     // an entry that is not a directory
  Directory,
  Unknown,  // it could not be looked up (no permission, I/O error, a dropped share)
};

// A copy written beside its target and not yet named: what StageCopy gives.
// It holds an open file (or a temporary name) until PlaceStaged names it;
// one that goes unnamed is discarded with the object.
class StagedFile {
 public:
  StagedFile(std::string from, std::string to, uint64_t size)
      : from_(std::move(from)), to_(std::move(to)), size_(size) {}
  virtual ~StagedFile() = default;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  const std::string& From() const { return from_; }
  const std::string& To() const { return to_; }
  uint64_t Size() const { return size_; }

  // Set by FlushStaged: whether the copy's bytes are on disk, and when its
  // flush failed, why (as LastErrorText tells it). A flush is never retried:
  // a failed one may have dropped the data, and a second answer would be
  // clean without the data being there.
  bool flushed = false;
  std::string flushFailure;

 private:
  std::string from_;
  std::string to_;
  uint64_t size_;
};

// Kinds of what a copy carries besides its bytes and time, which a stage's
// file system may not keep (exFAT keeps no owners, bits, links or fifos).
enum : uint32_t {
  kKeepsOwners = 0x01,
  kKeepsBits = 0x02,
  kKeepsXattrs = 0x04,
  kKeepsAcls = 0x08,
  kKeepsLinks = 0x10,
  kKeepsFifos = 0x20,
  kKeepsDevices = 0x40,
  kKeepsAll = 0x7F,
};

// Everything the engine, the report hand-off and the path speller do to the
// disk goes through this interface, so that tests can record or fail any call.
// Failures are returned, never raised, except by SaveLines.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The directories the user named for a run (the source and the stages);
  // empty once it ends. Below them, the POSIX file system follows no
  // symbolic link in any component: a link is an entry, never a way through.
  virtual void SetRoots(const std::vector<std::string>& /*dirs*/) {}

  // Calls `fn` for every entry matching `pattern` ("dir\*.*" for a whole
  // directory, "dir\NameTemp*.txt", or an exact path for a lookup), "." and
  // ".." included, skipping entries that carry hidden, system, volume-label or
  // directory attributes not in `admit`. A pattern that cannot be opened
  // yields nothing. The entry passed to `fn` is only valid during the call.
  // Sizes and times are those of files; a listed directory's may be 0.
  virtual void List(const std::string& pattern, uint32_t admit,
                    const std::function<void(const DirEntry&)>& fn) = 0;
  // The same entries with their names and the directory and hidden
  // attributes only (size, time and read-only left 0), for callers that need
  // no more: where the listing itself tells an entry's kind, nothing is stat'ed.
  virtual void ListKinds(const std::string& pattern, uint32_t admit,
                         const std::function<void(const DirEntry&)>& fn) {
    List(pattern, admit, fn);
  }
  // Exact-path lookup: true and the entry's data when `path` names an entry
  // that passes the attribute filter.
  virtual bool Find(const std::string& path, uint32_t admit, DirEntry& out) = 0;

  // True only for an existing entry that is not a directory.
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool DirectoryExists(const std::string& path) = 0;
  // Tells a path that is gone from one that cannot be looked up.
  virtual PathKind KindOf(const std::string& path) = 0;
  // Last-write time of a path that is not a directory.
  virtual bool LastWriteTime(const std::string& path, FileTime& out) = 0;
  // The clock of the file system that holds the directory `dir` (see
  // ClockOfProbe), as its type tells: statfs on POSIX, the file system's
  // name on Windows. 0 where the type does not tell (FUSE, a share, a type
  // not known here) or `dir` cannot be reached.
  virtual FileTime TypeClock(const std::string& /*dir*/) { return 0; }
  // The clock that a probe in the existing directory `dir` shows: a new
  // file under a staging name (so that a stopped run's probe is cleared as a
  // leftover) is given kProbeTime, read back and removed. 0 where it cannot
  // be made, or what it kept tells nothing. Only a run that holds the lock
  // of `dir` probes there.
  virtual FileTime ProbeClock(const std::string& /*dir*/) { return 0; }
  // Whether the file system that holds the existing directory `dir` takes
  // names that differ only in case for one, as its type tells, or an entry
  // looked up with the case of its letters swapped, or (with `mayWrite`) a
  // probe under a staging name. False where nothing tells; nothing where
  // `dir` cannot be opened.
  virtual std::optional<bool> FoldsCase(const std::string& /*dir*/, bool /*mayWrite*/) {
    return false;
  }
  virtual bool Identity(const std::string& path, FileId& out) = 0;
  // The kKeeps* kinds that the file system of the stage `dir` (one of the
  // directories named for the run) keeps, found once per run by a probe
  // there, which also decides how copies are named there. kKeepsAll where
  // it cannot be told. Only a run that holds the lock of stage 1 asks.
  virtual uint32_t StageKeeps(const std::string& /*dir*/) { return kKeepsAll; }
  // The kKeeps* kinds that copies into the stage `dir` have carried and it
  // did not keep, so far in this run: the copies are whole and named.
  virtual uint32_t Unkept(const std::string& /*dir*/) { return 0; }

  virtual bool CreateDir(const std::string& path) = 0;
  virtual bool RemoveDir(const std::string& path) = 0;
  // Copies `from` into a file of its own beside `to`, keeping contents,
  // last-write time and attributes, and then gives it the name `to`,
  // replacing a file of that name when `replace` is set and failing on one
  // otherwise. `beforePlace`, when given, runs once the copy is complete and
  // on disk, and decides whether it is placed. A copy that fails or is not
  // placed is discarded, so `to` is never a partial file and is left as it
  // was. One copy, one flush: many copies go through StageCopy instead.
  virtual bool CopyFile(const std::string& from, const std::string& to, bool replace,
                        const std::function<bool()>& beforePlace) = 0;
  // A copy in two phases, so that many copies share one flush. StageCopy
  // writes `from` (contents, last-write time, attributes) into a file of its
  // own in the directory of `to`, without the name `to`; null, with the
  // platform error set, when it cannot. FlushStaged puts the bytes of every
  // staged copy on disk, at once where the system can, and marks each
  // (flushed or flushFailure). PlaceStaged gives a flushed copy the name
  // `to`, replacing a file of that name when `replace` is set and failing on
  // one otherwise; an unflushed copy is never named. A file system that
  // stages nothing (a test's that only lists) keeps the defaults.
  virtual std::unique_ptr<StagedFile> StageCopy(const std::string& /*from*/,
                                                const std::string& /*to*/) {
    return nullptr;
  }
  virtual void FlushStaged(const std::vector<StagedFile*>& /*files*/) {}
  virtual bool PlaceStaged(StagedFile& /*file*/, bool /*replace*/) { return false; }
  // Puts on disk everything done so far on the file systems of these
  // directories (once for directories that share one): names given, moves,
  // deletes, directories made and removed. For each directory, why its file
  // system could not be flushed (as LastErrorText tells it); empty where it was.
  virtual std::vector<std::string> FlushAll(const std::vector<std::string>& dirs) {
    return std::vector<std::string>(dirs.size());
  }
  // Keeps the last-write time. Without `replace` an existing target makes it
  // fail; with it, a file `to` is replaced in one step once the move
  // succeeds, and stays as it was when it fails.
  virtual bool MoveFile(const std::string& from, const std::string& to, bool replace) = 0;
  virtual bool DeleteFile(const std::string& path) = 0;
  // Makes `to` one more name of the existing file `existing` (a hard link),
  // replacing a file `to` in one step when `replace` is set and failing on
  // one otherwise. No bytes are written: `existing` is already on disk.
  // False, with the platform error set, where the file system cannot.
  virtual bool LinkFile(const std::string& /*existing*/, const std::string& /*to*/,
                        bool /*replace*/) {
    return false;
  }
  // Whether this process may make device nodes (root on POSIX; never on
  // Windows). A device it may not make is passed over without a word.
  virtual bool MakesDevices() { return false; }
  // Sets or clears the read-only attribute of a file (on POSIX: clears or
  // sets the owner's write permission). A file system that keeps no such
  // attribute changes nothing and returns false.
  virtual bool SetReadOnly(const std::string& /*path*/, bool /*readOnly*/) { return false; }

  // Gives the directory `to`, which a run has just made, what the directory
  // `from` keeps beyond its entries: its permission bits with the owner's
  // rwx added (so that later runs can always rotate), its extended
  // attributes and, with `withOwner` and where the process may, its owner
  // and group. What the file system cannot hold is no failure.
  virtual bool KeepDirAttributes(const std::string& /*from*/, const std::string& /*to*/,
                                 bool /*withOwner*/) {
    return true;
  }
  // Makes the existing directory `to` match the directory `from` as a
  // backup must once its content is done: the same last-write time, and
  // the same permission bits (owner's rwx added) where they differ, so that
  // a tree left open is closed. Compares before it sets; a time within
  // `clock` of the source's is the same (what a stage that keeps whole
  // seconds made of it), so that it is not set again on every run. True
  // when either is gone.
  virtual bool MatchDirectory(const std::string& /*from*/, const std::string& /*to*/,
                              FileTime /*clock*/) {
    return true;
  }

  // Up to `size` bytes from the start of the file `path`; false when it
  // cannot be read, or where the platform does not look into files.
  virtual bool ReadStart(const std::string& /*path*/, size_t /*size*/, std::string& /*out*/) {
    return false;
  }

  // Writes every line followed by CR LF, replacing any file of that name.
  // Raises EFCreateError when the file cannot be created and EWriteError when
  // a write falls short.
  virtual void SaveLines(const std::string& path, const std::vector<std::string>& lines) = 0;
  // The same into a file that this call makes under a name that is free,
  // never through a link: false, with nothing written, where the name is
  // taken by anything but a directory (a file, a link, dangling or not).
  // Raises EFCreateError when the file cannot be made otherwise (a
  // directory of that name included).
  virtual bool SaveNewLines(const std::string& path, const std::vector<std::string>& lines) {
    if (FileExists(path)) return false;
    SaveLines(path, lines);
    return true;
  }
};

// The operating system's own file system.
FileSystem& RealFileSystem();

// Windows refuses to replace, move over or delete a file that has the
// read-only attribute. This file system clears the attribute of the file
// that is about to be replaced or deleted, and only of that one, before
// `inner` is asked to do it, and sets it again when that fails; everything
// else goes to `inner` as it is. A move to another volume deletes its
// source once copied: a read-only source is cleared too, and the moved
// copy gets the attribute again. The Windows file system is one of these.
class ReadOnlyClearing : public FileSystem {
 public:
  explicit ReadOnlyClearing(FileSystem& inner) : inner_(inner) {}

  void SetRoots(const std::vector<std::string>& dirs) override { inner_.SetRoots(dirs); }
  void List(const std::string& pattern, uint32_t admit,
            const std::function<void(const DirEntry&)>& fn) override {
    inner_.List(pattern, admit, fn);
  }
  void ListKinds(const std::string& pattern, uint32_t admit,
                 const std::function<void(const DirEntry&)>& fn) override {
    inner_.ListKinds(pattern, admit, fn);
  }
  bool Find(const std::string& path, uint32_t admit, DirEntry& out) override {
    return inner_.Find(path, admit, out);
  }
  std::optional<bool> FoldsCase(const std::string& dir, bool mayWrite) override {
    return inner_.FoldsCase(dir, mayWrite);
  }
  bool FileExists(const std::string& path) override { return inner_.FileExists(path); }
  bool DirectoryExists(const std::string& path) override { return inner_.DirectoryExists(path); }
  PathKind KindOf(const std::string& path) override { return inner_.KindOf(path); }
  bool LastWriteTime(const std::string& path, FileTime& out) override {
    return inner_.LastWriteTime(path, out);
  }
  FileTime TypeClock(const std::string& dir) override { return inner_.TypeClock(dir); }
  FileTime ProbeClock(const std::string& dir) override { return inner_.ProbeClock(dir); }
  bool Identity(const std::string& path, FileId& out) override {
    return inner_.Identity(path, out);
  }
  uint32_t StageKeeps(const std::string& dir) override { return inner_.StageKeeps(dir); }
  uint32_t Unkept(const std::string& dir) override { return inner_.Unkept(dir); }
  bool CreateDir(const std::string& path) override { return inner_.CreateDir(path); }
  bool RemoveDir(const std::string& path) override { return inner_.RemoveDir(path); }
  bool CopyFile(const std::string& from, const std::string& to, bool replace,
                const std::function<bool()>& beforePlace) override;
  std::unique_ptr<StagedFile> StageCopy(const std::string& from, const std::string& to) override {
    return inner_.StageCopy(from, to);
  }
  void FlushStaged(const std::vector<StagedFile*>& files) override { inner_.FlushStaged(files); }
  bool PlaceStaged(StagedFile& file, bool replace) override;
  std::vector<std::string> FlushAll(const std::vector<std::string>& dirs) override {
    return inner_.FlushAll(dirs);
  }
  bool MoveFile(const std::string& from, const std::string& to, bool replace) override;
  bool DeleteFile(const std::string& path) override;
  bool LinkFile(const std::string& existing, const std::string& to, bool replace) override {
    return inner_.LinkFile(existing, to, replace);
  }
  bool MakesDevices() override { return inner_.MakesDevices(); }
  bool SetReadOnly(const std::string& path, bool readOnly) override {
    return inner_.SetReadOnly(path, readOnly);
  }
  bool KeepDirAttributes(const std::string& from, const std::string& to, bool withOwner) override {
    return inner_.KeepDirAttributes(from, to, withOwner);
  }
  bool MatchDirectory(const std::string& from, const std::string& to, FileTime clock) override {
    return inner_.MatchDirectory(from, to, clock);
  }
  bool ReadStart(const std::string& path, size_t size, std::string& out) override {
    return inner_.ReadStart(path, size, out);
  }
  void SaveLines(const std::string& path, const std::vector<std::string>& lines) override {
    inner_.SaveLines(path, lines);
  }
  bool SaveNewLines(const std::string& path, const std::vector<std::string>& lines) override {
    return inner_.SaveNewLines(path, lines);
  }

 private:
  // Clears the attribute of `path` when it is a read-only file; true when
  // it did, so that a failed operation can set it again.
  bool MakeWritable(const std::string& path);
  // Runs `op` on `path` and, only when that fails on a read-only file,
  // once more with the attribute cleared (set again should it fail too).
  bool ClearingIfRefused(const std::string& path, const std::function<bool()>& op);

  FileSystem& inner_;
};

// The name that a copy, link, fifo or device takes in a stage until it is
// complete and given its own: ".kovrel-staged-" and 16 lower-case hex
// digits of `unique`. Only a run that holds the stage's lock writes there,
// so a later run takes every such name that the source lacks for what a
// stopped run left behind.
std::string StagingName(uint64_t unique);
bool IsStagingName(std::string_view name);

// The key under which a file system that folds case finds `name`: names of
// equal keys are one name there. Letters in upper case (on Windows as the
// volume compares them, elsewhere as the C library's UTF-8 locale has them).
std::string FoldedName(std::string_view name);

// Every line followed by CR LF.
std::string LinesWithCrLf(const std::vector<std::string>& lines);
// The bytes that SaveLines writes for the lines: every line followed by CR
// LF; on Windows in the ANSI code page when every line converts into it
// exactly, otherwise as UTF-8 after a byte-order mark.
std::string SavedText(const std::vector<std::string>& lines);
// The two errors of SaveLines, with their messages.
[[noreturn]] void RaiseCreateError(const std::string& path);
[[noreturn]] void RaiseWriteError();

// Position of the last separator in `p`, npos when there is none. Walked by
// characters under PathCharRule(): in code page 932 the trail byte of a
// double-byte character can be 0x5C, which is no separator.
size_t LastDelim(std::string_view p);

// Length of the root that `path` begins with: "/" on POSIX; on Windows a
// drive ("C:", "C:\"), a share ("\\server\share\"), a "\\?\" form of
// either, or a lone "\". 0 for a relative path.
size_t RootLength(std::string_view path);

// `path` without repeated or trailing separators and without "."
// components, its root kept as it is. ".." stays: it may lead back through
// a link.
std::string CollapsedPath(std::string_view path);
// The spelling of a directory path that two paths share whenever their
// spelling alone shows them one directory: CollapsedPath, and on Windows
// "/" taken for "\" and letters in upper case (names are found without
// regard to case there).
std::string DirSpelling(std::string_view path);

// Makes `path` and every missing directory above it, stopping only at the
// path's root (trailing and repeated separators count as one). True when the
// directory was there or could be made; otherwise `failedAt`, when given, is
// the directory that could not be made, and the platform error tells why.
// `made`, when given, gets every directory made, parents first.
bool CreateDirChain(FileSystem& fs, const std::string& path, std::string* failedAt = nullptr,
                    std::vector<std::string>* made = nullptr);

// True for the name of a listed directory that the walk goes into. On POSIX
// every name but "." and ".." (a leading dot only hides a directory); on
// Windows no name that begins with ".".
bool IsWalkedDirName(std::string_view name);

// The attribute bits that tell an entry's kind beyond its data: a
// directory, a link, a fifo or a device.
inline constexpr uint32_t kKindBits = faDirectory | faSymLink | faSpecial;
// A file: neither a directory nor a volume label.
inline bool IsFile(uint32_t attr) { return (attr & (faDirectory | faVolumeID)) == 0; }
// A subdirectory to walk: a directory that is not "." or "..", nor on a
// platform that hides directories by a leading dot, one that begins with
// ".". A directory that is a link (a junction) is never walked: it can lead
// anywhere, back into itself too.
inline bool IsSubdir(uint32_t attr, std::string_view name) {
  return (attr & faDirectory) && !(attr & faSymLink) && IsWalkedDirName(name);
}

// The system's own text for the error that the last failed operation of this
// thread left (errno; the thread's last error on Windows), in the bytes the
// report is kept in, without a line end.
std::string LastErrorText();

// The error that a copy fails with when its source changed under every
// try: its size or times differed after the copy from what they were
// before it. LastErrorText tells it as "changed while it was copied".
extern const unsigned long kChangedWhileCopied;
// The error that a copy fails with on POSIX when the stage takes no file
// of its name (for a name with a character FAT refuses, such as ':' or
// '?', exfat-fuse answers ENOENT and vfat EINVAL): LastErrorText tells it
// as "the stage refuses this name".
// Windows tells its own ERROR_INVALID_NAME.
extern const unsigned long kNameRefused;

// The same error as a code, and a way to leave it on another thread: a
// listing that a worker reads ahead tells its failure on the thread that
// takes it.
unsigned long LastErrorCode();
void SetLastErrorCode(unsigned long code);

// Keeps the platform error of a failed operation across the calls that
// follow it (a clean-up, a second look), and puts it back when it goes.
class ErrorKeeper {
 public:
  ErrorKeeper();
  ~ErrorKeeper();
  ErrorKeeper(const ErrorKeeper&) = delete;
  ErrorKeeper& operator=(const ErrorKeeper&) = delete;

 private:
  unsigned long code_;
};

// Tells one failed operation where the user sees it at once: "kovrel: " +
// `text` on standard error on POSIX. Windows has no console: there the exit
// status and the report tell.
void TellFailure(const std::string& text);

// Tells the user something that is no failure, once, where a failure is
// told: "kovrel: " + `text` on standard error on POSIX; nothing on Windows.
void TellNotice(const std::string& text);

// The exclusive lock of one run over a stage-1 directory, held until it is
// destroyed; one that holds nothing leaves the run unlocked. Only runs on
// this machine are kept apart.
class StageLock {
 public:
  virtual ~StageLock() = default;
};

// The file in stage 1's top directory whose lock a run holds. It is no file
// of the backup: the walk never sees it. IsRunLockName compares as the file
// system does (ignoring case on Windows).
extern const char RunLockName[];
bool IsRunLockName(std::string_view name);

// Takes the lock of a run over the existing directory `dir`: the lock of
// its file RunLockName, made with `make` when missing. The directory itself
// is never locked, since anyone who may read it can open it: only the
// runner may open the file (POSIX: mode 0600, refused when anyone else may
// open it; Windows: an access list of the runner alone), and it is never
// reached through a link. Tries first; only when another run holds the
// lock, calls `waiting` and then waits. A lock dies with its process, so a
// run that crashed never leaves it behind. Null, with the platform error
// set, when the directory or the file cannot be opened or is not such a
// file, or the directory was removed or replaced while this run waited
// (the caller makes it again and asks anew). Without `make` (a dry run,
// which makes nothing), a lock file that is missing or cannot be opened
// leaves the run unlocked, as a file system without locks does.
std::unique_ptr<StageLock> LockStage(const std::string& dir, bool make,
                                     const std::function<void()>& waiting);

// How many files the process may hold open at once (the soft limit of
// descriptors on POSIX); 0 where open files have no such limit (Windows).
size_t OpenFileLimit();

using ::CharRule;

// The rule of the running process: its ANSI code page on Windows, its locale's
// codeset on POSIX. Fixed at the first call; call InitProcess() first.
CharRule ActiveCharRule();
// The rule for a POSIX codeset name as nl_langinfo(CODESET) reports it.
CharRule CharRuleForCodeset(std::string_view codeset);

// The rule of the strings that the program keeps: paths, names, report lines
// and its own texts. On Windows they are UTF-8 (of the file system's own
// UTF-16 names); on POSIX they are the locale's bytes, as ActiveCharRule().
CharRule PathCharRule();

// A path as the report and standard error show it. A name may hold any
// byte but NUL on POSIX, so that one holding a line end could forge a line:
// there, EscapeControlBytes. Windows names hold no control bytes, and "\"
// is the separator: the path as it is.
std::string ShownPath(std::string_view path);
// Writes every byte 0x01-0x1F and 0x7F as "\x" and two upper-case hex
// digits, and a "\" as "\\" where the next byte written would be "x" or
// "\". A "\" then only begins "\\" (one "\") or "\xHH" (one byte) when
// what follows it is one of those, so no other path reads the same. Walks by
// characters under `rule`: a trail byte is never taken for a "\".
std::string EscapeControlBytes(std::string_view path, CharRule rule);

// A name or an option value as the ANSI code page spells it, for the masks
// and dates, which keep the meaning they have there: on Windows converted
// without best fit (so "é" never becomes "e"; a character that the code page
// lacks becomes its default character); on POSIX the bytes as they are.
std::string AnsiSpelling(std::string_view text);
// Back from the ANSI code page into the strings the program keeps (for a
// mask shown in an error text); on POSIX the bytes as they are.
std::string FromAnsiSpelling(std::string_view ansi);

// Converts one of the program's own texts (UTF-8 in the source) into the
// strings the program keeps: UTF-8 on Windows (SaveLines and the message box
// convert it for showing), CP932 in a Shift_JIS locale on POSIX, UTF-8
// otherwise.
std::string ProgramText(std::string_view utf8);

// Process start-up: the locale on POSIX; nothing on Windows.
void InitProcess();

// The words of the command line, without the program's own path, none empty.
std::vector<std::string> CommandLineWords(int argc, char** argv);
// Splits a raw Windows command line (as UTF-8) by the program's own rules:
// bytes 0x01 to 0x20 separate words, double quotes toggle a quoted stretch
// and are removed, backslash is an ordinary byte, empty words are dropped.
std::vector<std::string> SplitCommandLine(std::string_view line);

// Full path of the running executable as the system reports it.
std::string ExecutablePath();
// The file name of the running executable ("Kovrel.exe", "kovrel").
std::string ExecutableFileName();

// False when the directory refuses a new file: no permission to make one
// there, or a read-only file system. Any other trouble is left to the save.
bool DirectoryTakesNewFiles(const std::string& dir);
// Whether a program in the directory `dir` (a full path) is an installed
// one, beside which nothing of it is written, also where the process could
// (root): below /usr, /bin, /sbin, /lib or /opt on POSIX; below
// %ProgramFiles% (either of them) or %SystemRoot% on Windows.
bool InstalledProgramDirectory(const std::string& dir);
// Whether `path` is the directory `dir` or lies below it, compared as the
// file system compares names (without case on Windows).
bool IsAtOrBelow(std::string_view path, std::string_view dir);
// The user's own directory for what the program leaves behind when the
// executable's directory takes nothing (an installed program), ending with
// the separator and made when missing: $XDG_STATE_HOME/kovrel/ (default
// ~/.local/state/kovrel/) on POSIX, %LOCALAPPDATA%\Kovrel\ on Windows.
// Empty when the system names no such place.
std::string UserStateDirectory();

// A status line on standard error, for a terminal only: StatusLineWanted()
// is false where standard error is no terminal, and always on Windows.
bool StatusLineWanted();
// Draws `text` over the status line shown so far.
void ShowStatusLine(const std::string& text);
// Erases the status line. Whoever draws one erases it before anything else
// is written to standard error, so that no line is mixed into it.
void EraseStatusLine();

// Asks the shell to open a text file; the result is ignored and nothing waits
// for the viewer.
void ShellOpen(const std::string& path);

// Dispatches every message waiting in the thread's queue (Windows); nothing
// on POSIX.
void PumpMessages();

// Shows the text of an error that stops the program: a task-modal message box
// titled "Application Error" on Windows, standard error on POSIX.
void ShowFatalError(const std::string& text);

// The version resource of a file, as the platform's version library gives it.
// Returns the size of the block, 0 when there is none.
uint32_t VersionInfoSize(const std::string& path);
// Reads the block into `block` (VersionInfoSize bytes).
bool VersionInfo(const std::string& path, std::vector<unsigned char>& block);
// Looks up a value path ("\VarFileInfo\Translation", "\StringFileInfo\...")
// in a block; `len` is the value's length as the platform reports it.
bool VersionQuery(const std::vector<unsigned char>& block, const std::string& subBlock,
                  const void*& value, uint32_t& len);

}  // namespace platform

// A file system for logic tests: forwards to the real one, records every call
// in order, and makes the calls that a test picks fail without touching disk.
// It can also refuse, as Windows does, to replace or delete a read-only file.
#pragma once

#include <algorithm>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "support/TestSupport.h"

namespace test {

class RecordingFileSystem : public platform::FileSystem {
 public:
  struct Call {
    std::string op;  // "List", "ListKinds", "Find", ..., "SaveLines"
    std::string path;
    // The target of CopyFile, StageCopy, Flush, PlaceStaged, MoveFile and the
    // directory operations; "on"/"off" for SetReadOnly.
    std::string to;
  };

  // Asked before every call; true makes it fail (nothing listed, nothing
  // found, false returned) without reaching the disk.
  std::function<bool(const Call&)> failIf;

  // Replacing, moving over or deleting a file with the read-only attribute
  // fails, as it does on Windows (where Wine lets it pass).
  bool refuseReadOnly = false;
  // Paths that begin with this are on a volume of their own. A move into or
  // out of it is a copy and a delete, so that with refuseReadOnly a
  // read-only source is refused, before anything is copied, as the Windows
  // file system refuses it.
  std::string otherVolume;

  // Listings in name order instead of the file system's, for tests whose
  // outcome depends on the order of the walk.
  bool sortListings = false;
  // Answers that no device may be made, as for a run that is not root.
  bool refusesDevices = false;

  // A stage on a file system whose clock is coarser than the disk's: below
  // `dir`, every time listed or looked up is cut to `clock`, as such a file
  // system keeps it. Its type tells that clock, or with `probed` nothing, and
  // a probe there finds it.
  struct Coarse {
    std::string dir;
    platform::FileTime clock = 0;
    bool probed = false;
  } coarse;

  // What every stage keeps, as its probe would tell (the real one's when
  // unset), and the kinds that copies into it met refused.
  std::optional<uint32_t> keeps;
  uint32_t unkept = 0;

  std::vector<Call> calls;

  // The calls of one operation, in order.
  std::vector<Call> Of(const std::string& op) const {
    std::vector<Call> out;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
                 [&](const Call& c) { return c.op == op; });
    return out;
  }
  size_t Count(const std::string& op) const { return Of(op).size(); }
  // Calls that change the disk, or flush it.
  size_t Changes() const {
    return Count("CreateDir") + Count("RemoveDir") + Count("CopyFile") + Count("StageCopy") +
           Count("Flush") + Count("PlaceStaged") + Count("FlushAll") + Count("MoveFile") +
           Count("DeleteFile") + Count("SaveLines");
  }

  // Runs before every call is recorded, for a test that changes the disk
  // while a run goes on.
  std::function<void(const Call&)> before;

  void SetRoots(const std::vector<std::string>& dirs) override { real_.SetRoots(dirs); }
  void List(const std::string& pattern, uint32_t admit,
            const std::function<void(const platform::DirEntry&)>& fn) override {
    ListAs("List", pattern, admit, fn);
  }
  void ListKinds(const std::string& pattern, uint32_t admit,
                 const std::function<void(const platform::DirEntry&)>& fn) override {
    ListAs("ListKinds", pattern, admit, fn);
  }
  // List or ListKinds, as `op` says.
  void ListAs(const char* op, const std::string& pattern, uint32_t admit,
              const std::function<void(const platform::DirEntry&)>& fn) {
    if (Record(op, pattern)) return;
    const bool kinds = op == std::string("ListKinds");
    const auto list = [&](const std::function<void(const platform::DirEntry&)>& to) {
      const auto cut = [&](const platform::DirEntry& e) {
        platform::DirEntry kept = e;
        Cut(pattern, kept);
        to(kept);
      };
      if (kinds) {
        real_.ListKinds(pattern, admit, cut);
      } else {
        real_.List(pattern, admit, cut);
      }
    };
    if (!sortListings) {
      list(fn);
      return;
    }
    std::vector<platform::DirEntry> entries;
    list([&](const platform::DirEntry& e) { entries.push_back(e); });
    std::sort(
        entries.begin(), entries.end(),
        [](const platform::DirEntry& a, const platform::DirEntry& b) { return a.name < b.name; });
    for (const platform::DirEntry& e : entries) fn(e);
  }
  bool Find(const std::string& path, uint32_t admit, platform::DirEntry& out) override {
    if (Record("Find", path) || !real_.Find(path, admit, out)) return false;
    Cut(path, out);
    return true;
  }
  bool FileExists(const std::string& path) override {
    return !Record("FileExists", path) && real_.FileExists(path);
  }
  bool DirectoryExists(const std::string& path) override {
    return !Record("DirectoryExists", path) && real_.DirectoryExists(path);
  }
  bool LastWriteTime(const std::string& path, platform::FileTime& out) override {
    if (Record("LastWriteTime", path) || !real_.LastWriteTime(path, out)) return false;
    platform::DirEntry e;
    e.time = out;
    Cut(path, e);
    out = e.time;
    return true;
  }
  platform::FileTime TypeClock(const std::string& dir) override {
    if (Record("TypeClock", dir)) return 0;
    if (InCoarse(dir)) return coarse.probed ? 0 : coarse.clock;
    return real_.TypeClock(dir);
  }
  uint32_t StageKeeps(const std::string& dir) override {
    if (Record("StageKeeps", dir)) return platform::kKeepsAll;
    return keeps ? *keeps : real_.StageKeeps(dir);
  }
  uint32_t Unkept(const std::string& dir) override { return unkept | real_.Unkept(dir); }
  platform::FileTime ProbeClock(const std::string& dir) override {
    if (Record("ProbeClock", dir)) return 0;
    return InCoarse(dir) ? coarse.clock : real_.ProbeClock(dir);
  }
  bool Identity(const std::string& path, platform::FileId& out) override {
    return !Record("Identity", path) && real_.Identity(path, out);
  }
  bool CreateDir(const std::string& path) override {
    return !Record("CreateDir", path) && real_.CreateDir(path);
  }
  bool RemoveDir(const std::string& path) override {
    return !Record("RemoveDir", path) && real_.RemoveDir(path);
  }
  platform::PathKind KindOf(const std::string& path) override {
    return Record("KindOf", path) ? platform::PathKind::Unknown : real_.KindOf(path);
  }
  bool CopyFile(const std::string& from, const std::string& to, bool replace,
                const std::function<bool()>& beforePlace) override {
    return !Record("CopyFile", from, to) && real_.CopyFile(from, to, replace, [&] {
      return (!beforePlace || beforePlace()) && !(replace && Refused(to));
    });
  }
  std::unique_ptr<platform::StagedFile> StageCopy(const std::string& from,
                                                  const std::string& to) override {
    if (Record("StageCopy", from, to)) return nullptr;
    return real_.StageCopy(from, to);
  }
  // One "Flush" call per staged copy; a failed one fails that copy's flush
  // alone, with the error set, as a failed fdatasync does.
  void FlushStaged(const std::vector<platform::StagedFile*>& files) override {
    std::vector<platform::StagedFile*> passed;
    for (platform::StagedFile* file : files) {
      if (Record("Flush", file->From(), file->To())) {
        file->flushed = false;
        file->flushFailure = platform::LastErrorText();
      } else {
        passed.push_back(file);
      }
    }
    real_.FlushStaged(passed);
  }
  bool PlaceStaged(platform::StagedFile& file, bool replace) override {
    return !Record("PlaceStaged", file.From(), file.To()) && !(replace && Refused(file.To())) &&
           real_.PlaceStaged(file, replace);
  }
  // One "FlushAll" call per directory; a failed one fails that directory.
  std::vector<std::string> FlushAll(const std::vector<std::string>& dirs) override {
    std::vector<std::string> failures(dirs.size());
    std::vector<std::string> passed;
    std::vector<bool> failed(dirs.size());
    for (size_t i = 0; i < dirs.size(); ++i) {
      failed[i] = Record("FlushAll", dirs[i]);
      if (failed[i]) {
        failures[i] = platform::LastErrorText();
      } else {
        passed.push_back(dirs[i]);
      }
    }
    const std::vector<std::string> real = real_.FlushAll(passed);
    for (size_t i = 0, j = 0; i < dirs.size(); ++i) {
      if (!failed[i]) failures[i] = real[j++];
    }
    return failures;
  }
  bool MoveFile(const std::string& from, const std::string& to, bool replace) override {
    const auto far = [&](const std::string& path) {
      return !otherVolume.empty() && path.starts_with(otherVolume);
    };
    return !Record("MoveFile", from, to) && !(replace && Refused(to)) &&
           !(far(from) != far(to) && Refused(from)) && real_.MoveFile(from, to, replace);
  }
  bool DeleteFile(const std::string& path) override {
    return !Record("DeleteFile", path) && !Refused(path) && real_.DeleteFile(path);
  }
  bool LinkFile(const std::string& existing, const std::string& to, bool replace) override {
    return !Record("LinkFile", existing, to) && !(replace && Refused(to)) &&
           real_.LinkFile(existing, to, replace);
  }
  bool MakesDevices() override { return !refusesDevices && real_.MakesDevices(); }
  bool SetReadOnly(const std::string& path, bool readOnly) override {
    return !Record("SetReadOnly", path, readOnly ? "on" : "off") &&
           real_.SetReadOnly(path, readOnly);
  }
  bool KeepDirAttributes(const std::string& from, const std::string& to, bool withOwner) override {
    return !Record("KeepDirAttributes", from, to) && real_.KeepDirAttributes(from, to, withOwner);
  }
  bool MatchDirectory(const std::string& from, const std::string& to,
                      platform::FileTime clock) override {
    return !Record("MatchDirectory", from, to) && real_.MatchDirectory(from, to, clock);
  }
  bool ReadStart(const std::string& path, size_t size, std::string& out) override {
    return !Record("ReadStart", path) && real_.ReadStart(path, size, out);
  }
  void SaveLines(const std::string& path, const std::vector<std::string>& lines) override {
    if (!Record("SaveLines", path)) real_.SaveLines(path, lines);
  }
  bool SaveNewLines(const std::string& path, const std::vector<std::string>& lines) override {
    return Record("SaveLines", path) || real_.SaveNewLines(path, lines);
  }

 private:
  bool InCoarse(const std::string& path) const {
    return !coarse.dir.empty() && path.starts_with(coarse.dir);
  }
  // The time of an entry at `path` as the coarse stage keeps it.
  void Cut(const std::string& path, platform::DirEntry& e) const {
    if (!InCoarse(path) || coarse.clock <= 1) return;
    e.time -= (e.time % coarse.clock + coarse.clock) % coarse.clock;
  }

  // True, with the error Windows gives, when `path` is a read-only file
  // that is refused.
  bool Refused(const std::string& path) {
    platform::DirEntry e;
    if (!refuseReadOnly || !real_.Find(path, platform::faAnyFile, e) ||
        !(e.attr & platform::faReadOnly))
      return false;
    SetPlatformError(PlatformError::PermissionDenied);
    return true;
  }

  // Records the call; true when it is to fail.
  // Workers of a run call side by side: one call is recorded and asked
  // about at a time.
  bool Record(const char* op, const std::string& path, const std::string& to = std::string()) {
    const std::lock_guard<std::mutex> lock(mutex_);
    calls.push_back({op, path, to});
    if (before) before(calls.back());
    return failIf && failIf(calls.back());
  }

  std::mutex mutex_;

  platform::FileSystem& real_ = platform::RealFileSystem();
};

}  // namespace test

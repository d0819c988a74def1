// What the Windows files of the platform layer share: the path form the wide
// calls take, owned handles, and the copy and folder rules that keep a
// staged copy and a stage-1 folder true to their source.
#pragma once

// Before windows.h, whose macros would rename CopyFile, MoveFile and
// DeleteFile in the interface.
#include "Platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

namespace platform::win32 {

// The path as the wide calls take it: UTF-16, and "\\?\" + the full path
// from the length where the old MAX_PATH limit would stop a call.
std::wstring SystemPath(const std::string& path);

// A FILETIME (UTC) as the FileTime that the program compares.
FileTime ToFileTime(const FILETIME& utc);
// FileSystem::TypeClock (from the volume's file system name) and
// FileSystem::ProbeClock.
FileTime TypeClock(const std::string& dir);
FileTime ProbeClock(const std::string& dir);

// Owns a kernel handle from CreateFileW.
class FileHandle {
 public:
  explicit FileHandle(HANDLE h) : h_(h) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() {
    if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
  }
  bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }
  HANDLE release() {
    const HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }

 private:
  HANDLE h_;
};

// Removes a copy that is not to be placed, read-only or not, keeping the
// error that made it go.
void Discard(const std::wstring& path);

// Runs `copyOnce` (the name of the copy it made, empty when it failed)
// until the file open as `watched` has the same size, last-write time and
// change time after a copy as before it, four times at most: a copy whose
// source changed meanwhile is discarded. The copy's name and in `size` the
// size it was made at; empty, with kChangedWhileCopied set, when the source
// changed under every try.
std::wstring CopyWhileUnchanged(HANDLE watched, const std::function<std::wstring()>& copyOnce,
                                uint64_t& size);

// Opens `path` for looks at its size and times only: no data access, every
// sharing allowed, so that no other program is kept from the file.
HANDLE OpenToWatch(const std::string& path);

// The folder rules of FileSystem: `to` takes the read-only, hidden and
// system attributes of `from`, and with MatchFolder its last-write time as
// well. Either compares before it sets, and sets nothing that is equal.
bool KeepFolderAttributes(const std::string& from, const std::string& to);
bool MatchFolder(const std::string& from, const std::string& to);

// Removes the empty folder `path`. A read-only folder refuses to go on
// Windows: its attribute is cleared first, and set again should it stay.
bool RemoveFolder(const std::string& path);

}  // namespace platform::win32

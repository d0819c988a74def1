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
#include <string_view>

namespace platform::win32 {

// UTF-8 (or another code page) into UTF-16, and UTF-16 into UTF-8. Text that
// is not well-formed comes through with U+FFFD in place of the broken parts
// (a name holding a lone surrogate cannot be reached under its UTF-8 form).
std::wstring Widen(std::string_view text, UINT codePage = CP_UTF8);
std::string Narrow(std::wstring_view w);

// The path as the wide calls take it: UTF-16, "\\?\" + the full path, and
// every name in it as it is stored. Win32 rules would drop a trailing dot
// or space and take CON, NUL or aux.txt for a device: a folder "dirdot."
// would be listed and then never reached. A path in that form already, or
// a device path, is taken as it is.
std::wstring SystemPath(const std::string& path);

// The last name of a path, without trailing separators.
std::wstring_view LastName(std::wstring_view path);
// Whether the file system could take `name` for the 8.3 short name of
// another entry: one of up to eight characters, a dot and up to three.
// Windows finds an entry by either name; a name that is no such name can
// only be a long one.
bool MayBeShortName(std::wstring_view name);
// Names compared as the file system compares them, without regard to case.
bool SameName(std::wstring_view a, std::wstring_view b);
// The error of a move or a new folder whose name another entry of the
// directory holds as its short name.
constexpr DWORD kShortNameTaken = 0x20004B57;

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
// well (a time within `clock` of it is equal). Either compares before it
// sets, and sets nothing that is equal.
bool KeepFolderAttributes(const std::string& from, const std::string& to);
bool MatchFolder(const std::string& from, const std::string& to, FileTime clock);

// Removes the empty folder `path`. A read-only folder refuses to go on
// Windows: its attribute is cleared first, and set again should it stay.
bool RemoveFolder(const std::string& path);

}  // namespace platform::win32

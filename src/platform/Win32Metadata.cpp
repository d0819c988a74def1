// What a Windows copy and a stage-1 folder keep of their source besides the
// bytes: a copy is made again while its source changes under it; a folder
// takes its source's read-only, hidden and system attributes and its
// last-write time, each set only where it differs.
#include "Platform.h"
#include "Win32Files.h"

namespace platform::win32 {

namespace {

// One copy and three more: a file written without pause is told, not
// waited for.
constexpr int kCopyTries = 4;

// What tells that a file's content changed.
struct ContentState {
  uint64_t size = 0;
  int64_t lastWrite = 0;
  int64_t change = 0;
  bool operator==(const ContentState&) const = default;
};

bool ReadState(HANDLE h, ContentState& out) {
  FILE_BASIC_INFO basic;
  FILE_STANDARD_INFO standard;
  if (!::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ||
      !::GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard)) {
    return false;
  }
  out.size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
  out.lastWrite = basic.LastWriteTime.QuadPart;
  out.change = basic.ChangeTime.QuadPart;
  return true;
}

constexpr DWORD kFolderKept =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
// The attributes that a folder's basic information sets; no bit of them
// stands for none.
constexpr DWORD kSettable = kFolderKept | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                            FILE_ATTRIBUTE_TEMPORARY;

DWORD Settable(DWORD attr) {
  attr &= kSettable;
  return attr ? attr : FILE_ATTRIBUTE_NORMAL;
}

bool Gone(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

bool LookAt(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA& data) {
  return ::GetFileAttributesExW(SystemPath(path).c_str(), GetFileExInfoStandard, &data) != 0;
}

bool IsFolder(const WIN32_FILE_ATTRIBUTE_DATA& data) {
  return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A volume's root is hidden and system for the volume's sake; a stage
// folder made from it that took them would drop out of sight.
bool IsVolumeRoot(const std::string& path) {
  size_t end = path.size();
  while (end > 0 && path[end - 1] == PathDelim) --end;
  return RootLength(path) >= end;
}

// Sets what is given of the attributes and the last-write time of the
// folder `to` in one call; a folder gone meanwhile needs nothing.
bool SetFolder(const std::string& to, const DWORD* attr, const FILETIME* time) {
  const FileHandle h(::CreateFileW(SystemPath(to).c_str(), FILE_WRITE_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.ok()) return Gone(::GetLastError());
  FILE_BASIC_INFO info = {};  // a zero time or attribute word is left as it is
  if (attr) info.FileAttributes = Settable(*attr);
  if (time) {
    info.LastWriteTime.LowPart = time->dwLowDateTime;
    info.LastWriteTime.HighPart = static_cast<LONG>(time->dwHighDateTime);
  }
  return ::SetFileInformationByHandle(h.get(), FileBasicInfo, &info, sizeof info) != 0;
}

// Gives the folder `to` the kept attributes of the folder `from` and, with
// `withTime`, its last-write time, where they differ by more than `clock`. A
// look at both comes first: mostly nothing differs, and on a share a look
// is answered from what the listing brought.
bool GiveFolder(const std::string& from, const std::string& to, bool withTime, FileTime clock) {
  WIN32_FILE_ATTRIBUTE_DATA source, stage;
  if (!LookAt(from, source) || !IsFolder(source)) return true;  // nothing to give
  if (!LookAt(to, stage)) return Gone(::GetLastError());
  if (!IsFolder(stage)) {
    ::SetLastError(ERROR_DIRECTORY);
    return false;
  }
  const DWORD have = stage.dwFileAttributes;
  const DWORD want =
      IsVolumeRoot(from) ? have : (have & ~kFolderKept) | (source.dwFileAttributes & kFolderKept);
  const bool attrDiffers = (want & kFolderKept) != (have & kFolderKept);
  const FileTime a = ToFileTime(source.ftLastWriteTime), b = ToFileTime(stage.ftLastWriteTime);
  const bool timeDiffers = withTime && (LaterBy(a, b, clock) || LaterBy(b, a, clock));
  if (!attrDiffers && !timeDiffers) return true;
  return SetFolder(to, attrDiffers ? &want : nullptr,
                   timeDiffers ? &source.ftLastWriteTime : nullptr);
}

}  // namespace

HANDLE OpenToWatch(const std::string& path) {
  return ::CreateFileW(SystemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

std::wstring CopyWhileUnchanged(HANDLE watched, const std::function<std::wstring()>& copyOnce,
                                uint64_t& size) {
  for (int attempt = 0; attempt < kCopyTries; ++attempt) {
    ContentState before, after;
    if (!ReadState(watched, before)) return {};
    std::wstring copy = copyOnce();
    if (copy.empty()) return {};
    const bool looked = ReadState(watched, after);
    if (looked && after == before) {
      size = before.size;
      return copy;
    }
    Discard(copy);
    if (!looked) return {};
  }
  ::SetLastError(kChangedWhileCopied);
  return {};
}

bool KeepFolderAttributes(const std::string& from, const std::string& to) {
  return GiveFolder(from, to, false, 0);
}

bool MatchFolder(const std::string& from, const std::string& to, FileTime clock) {
  return GiveFolder(from, to, true, clock);
}

bool RemoveFolder(const std::string& path) {
  const std::wstring p = SystemPath(path);
  if (::RemoveDirectoryW(p.c_str())) return true;
  const DWORD error = ::GetLastError();
  const DWORD attr = ::GetFileAttributesW(p.c_str());
  if (error != ERROR_ACCESS_DENIED || attr == INVALID_FILE_ATTRIBUTES ||
      !(attr & FILE_ATTRIBUTE_READONLY)) {
    ::SetLastError(error);
    return false;
  }
  ::SetFileAttributesW(p.c_str(), Settable(attr & ~FILE_ATTRIBUTE_READONLY));
  if (::RemoveDirectoryW(p.c_str())) return true;
  const ErrorKeeper keep;  // the caller tells why it stays
  ::SetFileAttributesW(p.c_str(), Settable(attr));
  return false;
}

}  // namespace platform::win32

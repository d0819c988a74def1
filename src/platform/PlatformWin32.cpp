// Windows implementation of the platform layer: the ANSI kernel32, shell32,
// user32 and version.dll calls, with every handle owned by a small class.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// After windows.h, which they build on.
#include <shellapi.h>
#include <winver.h>

// windows.h maps these names to their A/W forms; the interface uses them as
// plain method names.
#undef CopyFile
#undef MoveFile
#undef DeleteFile

#include <algorithm>
#include <cctype>
#include <cwchar>
#include <string_view>

#include "Platform.h"

namespace platform {

const char PathDelim = '\\';
const char SwitchChar = '/';

namespace {

// Owns a FindFirstFileA search handle. The basic information level skips the
// short names, which nothing here uses, and large fetches cut the calls into
// the file system per directory; a system that refuses either gets the plain
// search.
class FindHandle {
 public:
  FindHandle(const std::string& pattern, WIN32_FIND_DATAA& data)
      : h_(::FindFirstFileExA(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                              nullptr, FIND_FIRST_EX_LARGE_FETCH)) {
    if (h_ == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_INVALID_PARAMETER)
      h_ = ::FindFirstFileA(pattern.c_str(), &data);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  ~FindHandle() {
    if (h_ != INVALID_HANDLE_VALUE) ::FindClose(h_);
  }
  bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
  bool Next(WIN32_FIND_DATAA& data) { return ::FindNextFileA(h_, &data) != 0; }

 private:
  HANDLE h_;
};

// Owns a kernel handle from CreateFileA.
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

 private:
  HANDLE h_;
};

// Local time of a file time, packed; the DOS form would stop at 1980 and 2107.
FileTime ToFileTime(const FILETIME& utc) {
  FILETIME local;
  SYSTEMTIME st;
  if (!::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, &st)) return 0;
  return PackFileTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
}

void FillEntry(const WIN32_FIND_DATAA& data, DirEntry& e) {
  e.name = data.cFileName;
  e.attr = data.dwFileAttributes & faAnyFile;
  e.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  e.time = ToFileTime(data.ftLastWriteTime);
}

bool Admitted(uint32_t attr, uint32_t admit) {
  constexpr uint32_t kFiltered = faHidden | faSysFile | faVolumeID | faDirectory;
  return (attr & kFiltered & ~admit) == 0;
}

// Exact-path operations must not match a pattern by accident.
bool HasWildcard(const std::string& path) { return path.find_first_of("*?") != std::string::npos; }

// The first entry that an exact path finds, whatever its attributes.
bool FindExact(const std::string& path, WIN32_FIND_DATAA& data) {
  if (path.empty() || HasWildcard(path)) return false;
  FindHandle find(path, data);
  return find.ok();
}

// Some CopyFileA implementations (Wine's) give the source's attributes only
// to a new file, not to one that they replace.
void KeepAttributes(const std::string& from, const char* to) {
  constexpr DWORD kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                          FILE_ATTRIBUTE_ARCHIVE;
  const DWORD want = ::GetFileAttributesA(from.c_str());
  const DWORD have = ::GetFileAttributesA(to);
  if (want != INVALID_FILE_ATTRIBUTES && have != INVALID_FILE_ATTRIBUTES &&
      (want & kKept) != (have & kKept)) {
    constexpr DWORD kSettable =
        FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;
    const DWORD attr = (have & kSettable) | (want & kKept);
    ::SetFileAttributesA(to, attr ? attr : FILE_ATTRIBUTE_NORMAL);
  }
}

// Removes a copy that is not to be placed, read-only or not.
void Discard(const char* path) {
  const ErrorKeeper keep;  // the caller tells why the copy failed
  ::SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  ::DeleteFileA(path);
}

class Win32FileSystem : public FileSystem {
 public:
  void List(const std::string& pattern, uint32_t admit,
            const std::function<void(const DirEntry&)>& fn) override {
    WIN32_FIND_DATAA data;
    FindHandle find(pattern, data);
    if (!find.ok()) return;
    DirEntry e;
    do {
      if (!Admitted(data.dwFileAttributes, admit)) continue;
      FillEntry(data, e);
      fn(e);
    } while (find.Next(data));
  }

  bool Find(const std::string& path, uint32_t admit, DirEntry& out) override {
    bool found = false;
    if (path.empty() || HasWildcard(path)) return false;
    List(path, admit, [&](const DirEntry& e) {
      if (!found) out = e;
      found = true;
    });
    return found;
  }

  bool FileExists(const std::string& path) override {
    WIN32_FIND_DATAA data;
    return FindExact(path, data) && !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  bool DirectoryExists(const std::string& path) override {
    const DWORD attr = ::GetFileAttributesA(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
  }

  bool LastWriteTime(const std::string& path, FileTime& out) override {
    WIN32_FIND_DATAA data;
    if (!FindExact(path, data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    out = ToFileTime(data.ftLastWriteTime);
    return true;
  }

  bool Identity(const std::string& path, FileId& out) override {
    // Backup semantics lets CreateFileA open a directory; no access is asked
    // for, only the handle's information.
    FileHandle h(::CreateFileA(path.c_str(), 0,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!h.ok() || !::GetFileInformationByHandle(h.get(), &info)) return false;
    out.volume = info.dwVolumeSerialNumber;
    out.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
  }

  bool CreateDir(const std::string& path) override {
    return ::CreateDirectoryA(path.c_str(), nullptr) != 0;
  }
  bool RemoveDir(const std::string& path) override { return ::RemoveDirectoryA(path.c_str()) != 0; }
  PathKind KindOf(const std::string& path) override {
    const DWORD attr = ::GetFileAttributesA(path.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES) {
      return (attr & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Directory : PathKind::File;
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathKind::Missing
                                                                          : PathKind::Unknown;
  }

  bool CopyFile(const std::string& from, const std::string& to, bool replace,
                const std::function<bool()>& beforePlace) override {
    // The copy is made under a fresh name in the target's directory and
    // renamed into place, so an interrupted copy leaves no partial file
    // under the real name.
    const size_t sep = LastDelim(to);
    const std::string dir = sep == std::string::npos ? std::string(".") : to.substr(0, sep + 1);
    char temp[MAX_PATH];
    if (!::GetTempFileNameA(dir.c_str(), "kvr", 0, temp)) return false;
    if (!::CopyFileA(from.c_str(), temp, FALSE)) {
      Discard(temp);
      return false;
    }
    KeepAttributes(from, temp);
    if ((beforePlace && !beforePlace()) ||
        !::MoveFileExA(temp, to.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
      Discard(temp);
      return false;
    }
    return true;
  }
  bool MoveFile(const std::string& from, const std::string& to, bool replace) override {
    if (!replace) return ::MoveFileA(from.c_str(), to.c_str()) != 0;
    if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    if (::GetLastError() != ERROR_NOT_SAME_DEVICE) return false;
    // Across volumes a replacing move would copy over the target; a whole
    // copy takes its place first instead, then the original is deleted.
    return CopyFile(from, to, true, nullptr) && ::DeleteFileA(from.c_str()) != 0;
  }
  bool DeleteFile(const std::string& path) override { return ::DeleteFileA(path.c_str()) != 0; }

  void SaveLines(const std::string& path, const std::vector<std::string>& lines) override {
    FileHandle h(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.ok()) {
      RaiseCreateError(path);
    }
    const std::string content = LinesWithCrLf(lines);
    constexpr size_t kChunk = size_t{1} << 30;
    for (size_t done = 0; done < content.size();) {
      const DWORD want = static_cast<DWORD>(std::min(kChunk, content.size() - done));
      DWORD written = 0;
      if (!::WriteFile(h.get(), content.data() + done, want, &written, nullptr) || written != want)
        RaiseWriteError();
      done += written;
    }
  }
};

// Converts between code pages through UTF-16; empty on failure.
std::string Recode(std::string_view text, UINT from, UINT to) {
  if (text.empty()) return {};
  const int n = static_cast<int>(text.size());
  const int wide = ::MultiByteToWideChar(from, 0, text.data(), n, nullptr, 0);
  if (wide <= 0) return {};
  std::wstring w(static_cast<size_t>(wide), L'\0');
  ::MultiByteToWideChar(from, 0, text.data(), n, w.data(), wide);
  const int bytes = ::WideCharToMultiByte(to, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(to, 0, w.data(), wide, out.data(), bytes, nullptr, nullptr);
  return out;
}

}  // namespace

FileSystem& RealFileSystem() {
  static Win32FileSystem fs;
  return fs;
}

void InitProcess() {}

CharRule ActiveCharRule() {
  static const CharRule rule = [] {
    const UINT acp = ::GetACP();
    if (acp == CP_UTF8) return CharRule::Utf8;
    CPINFO info;
    if (!::GetCPInfo(CP_ACP, &info) || info.MaxCharSize < 2) return CharRule::SingleByte;
    // Code page 932, or another double-byte code page, which the CP932
    // lead-byte rule stands for.
    return CharRule::Cp932;
  }();
  return rule;
}

std::string ProgramText(std::string_view utf8) {
  // The texts are shown and saved as code page 932 whatever the ANSI code
  // page is; ASCII-only texts come through unchanged.
  const std::string text = Recode(utf8, CP_UTF8, 932);
  return text.empty() ? std::string(utf8) : text;
}

std::vector<std::string> CommandLineWords(int, char**) {
  // The C runtime's argv treats backslashes before quotes specially; the
  // program splits the raw line by its own rules instead.
  std::vector<std::string> words = SplitCommandLine(::GetCommandLineA());
  if (!words.empty()) words.erase(words.begin());
  return words;
}

std::string ExecutablePath() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);  // truncated
  }
}

DateValue Now() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  const double seconds =
      st.wHour * 3600.0 + st.wMinute * 60.0 + st.wSecond + st.wMilliseconds / 1000.0;
  return static_cast<double>(DayNumber(st.wYear, st.wMonth, st.wDay)) + seconds / 86400.0;
}

bool DirectoryTakesNewFiles(const std::string& dir) {
  // Whether a file may be made there shows only by making one: a probe that
  // goes as its handle is closed.
  const std::string probe = dir + "kvr" + std::to_string(::GetCurrentProcessId()) + ".tmp";
  FileHandle h(::CreateFileA(
      probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (h.ok()) return true;
  const DWORD error = ::GetLastError();
  return error != ERROR_ACCESS_DENIED && error != ERROR_WRITE_PROTECT;
}

std::string UserStateDirectory() {
  const DWORD size = ::GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
  if (size == 0) return {};
  std::wstring wide(size, L'\0');
  const DWORD n = ::GetEnvironmentVariableW(L"LOCALAPPDATA", wide.data(), size);
  if (n == 0 || n >= size) return {};
  wide.resize(n);
  const int bytes = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(n), nullptr, 0,
                                          nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string dir(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(n), dir.data(), bytes, nullptr,
                        nullptr);
  if (LastDelim(dir) + 1 != dir.size()) dir += '\\';
  dir += "Kovrel\\";
  CreateDirChain(RealFileSystem(), dir);
  return dir;
}

// A program without a console has no terminal to draw on.
bool StatusLineWanted() { return false; }
void ShowStatusLine(const std::string&) {}
void EraseStatusLine() {}

void ShellOpen(const std::string& path) {
  ::ShellExecuteA(nullptr, "open", path.c_str(), "", "", SW_SHOW);
}

void PumpMessages() {
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
}

size_t RootLength(std::string_view path) {
  const auto delim = [&](size_t i) { return i < path.size() && path[i] == '\\'; };
  const auto drive = [&](size_t i) {
    return i + 1 < path.size() && std::isalpha(static_cast<unsigned char>(path[i])) &&
           path[i + 1] == ':';
  };
  // Just past the separator that ends component `from` (or the path's end).
  const auto componentEnd = [&](size_t from) {
    const size_t at = path.find('\\', from);
    return at == std::string_view::npos ? path.size() : at + 1;
  };
  size_t at = 0;
  if (path.substr(0, 4) == "\\\\?\\") {
    at = 4;
    if (drive(at)) return delim(at + 2) ? at + 3 : at + 2;
    if (path.substr(at, 4) == "UNC\\") return componentEnd(componentEnd(at + 4));
    return componentEnd(at);  // a volume name
  }
  if (drive(0)) return delim(2) ? 3 : 2;
  if (delim(0) && delim(1)) return componentEnd(componentEnd(2));  // a share
  while (delim(at)) ++at;                                          // the root of the current drive
  return at;
}

ErrorKeeper::ErrorKeeper() : code_(::GetLastError()) {}
ErrorKeeper::~ErrorKeeper() { ::SetLastError(static_cast<DWORD>(code_)); }

std::string LastErrorText() {
  const DWORD code = ::GetLastError();
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = n && text ? std::wstring(text, n) : std::wstring();
  if (text) ::LocalFree(text);
  while (!message.empty() &&
         (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' ')) {
    message.pop_back();
  }
  if (message.empty()) return "error " + std::to_string(code);
  // In the code page that paths and the report's lines are kept in.
  const int bytes = ::WideCharToMultiByte(
      CP_ACP, 0, message.data(), static_cast<int>(message.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) {
    ::WideCharToMultiByte(CP_ACP, 0, message.data(), static_cast<int>(message.size()), out.data(),
                          bytes, nullptr, nullptr);
  }
  return out;
}

// No console: the exit status and the report tell.
void TellFailure(const std::string&) {}

namespace {

// A named mutex keyed on the directory's identity (volume serial number and
// file index), so that every spelling of one stage 1 meets the same lock.
// The system hands an abandoned mutex to the next waiter, so a run that
// crashed never leaves the lock behind.
class MutexStageLock : public StageLock {
 public:
  explicit MutexStageLock(HANDLE h) : h_(h) {}
  MutexStageLock(const MutexStageLock&) = delete;
  MutexStageLock& operator=(const MutexStageLock&) = delete;
  ~MutexStageLock() override {
    const ErrorKeeper keep;
    ::ReleaseMutex(h_);
    ::CloseHandle(h_);
  }

 private:
  HANDLE h_;
};

HANDLE OpenStageMutex(const FileId& id) {
  wchar_t name[64];
  std::swprintf(name, 64, L"Kovrel-stage-%016llx-%016llx",
                static_cast<unsigned long long>(id.volume),
                static_cast<unsigned long long>(id.index));
  // Global, so that runs of other sessions (a scheduled task) are kept
  // apart too; a system that refuses the global namespace gets the session's.
  HANDLE h = ::CreateMutexW(nullptr, FALSE, (std::wstring(L"Global\\") + name).c_str());
  if (!h) h = ::CreateMutexW(nullptr, FALSE, name);
  return h;
}

}  // namespace

std::unique_ptr<StageLock> LockStage(const std::string& dir) {
  for (;;) {
    FileId id;
    if (!RealFileSystem().Identity(dir, id)) return nullptr;
    const HANDLE h = OpenStageMutex(id);
    if (!h) return nullptr;
    const DWORD waited = ::WaitForSingleObject(h, INFINITE);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
      const ErrorKeeper keep;
      ::CloseHandle(h);
      return nullptr;
    }
    auto lock = std::make_unique<MutexStageLock>(h);
    // The run before may have removed the directory as empty, and another
    // run may have made it anew, while this one waited on the old one.
    FileId now;
    if (!RealFileSystem().Identity(dir, now)) return nullptr;
    if (now == id) return lock;
  }
}

void ShowFatalError(const std::string& text) {
  ::MessageBoxA(nullptr, text.c_str(), "Application Error", MB_ICONERROR | MB_TASKMODAL);
}

// ---------------------------------------------------------------------------
// Version resource

uint32_t VersionInfoSize(const std::string& path) {
  DWORD handle = 0;
  return ::GetFileVersionInfoSizeA(path.c_str(), &handle);
}

bool VersionInfo(const std::string& path, std::vector<unsigned char>& block) {
  block.assign(VersionInfoSize(path), 0);
  if (block.empty()) return false;
  return ::GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()) !=
         0;
}

bool VersionQuery(const std::vector<unsigned char>& block, const std::string& subBlock,
                  const void*& value, uint32_t& len) {
  void* found = nullptr;
  UINT size = 0;
  value = nullptr;
  len = 0;
  if (block.empty() || !::VerQueryValueA(block.data(), subBlock.c_str(), &found, &size))
    return false;
  value = found;
  len = size;
  return true;
}

}  // namespace platform

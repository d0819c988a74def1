// Windows implementation of the platform layer: the wide kernel32 calls,
// with every handle owned by a small class (the shell's, user32's and
// version.dll's are in Win32Shell.cpp).
// Paths are UTF-8 inside the program and UTF-16 at the system, where each
// is "\\?\" + its full path with its names as stored (Win32Names.cpp).
#include "Win32Files.h"
// windows.h maps these names to their A/W forms; the interface uses them as
// plain method names.
#undef CopyFile
#undef MoveFile
#undef DeleteFile

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string_view>

#include "Platform.h"
#include "ThreadSafety.h"

namespace platform {

using win32::Discard;
using win32::FileHandle;
using win32::Narrow;
using win32::SystemPath;
using win32::Widen;

const char PathDelim = '\\';
const char SwitchChar = '/';

namespace win32 {

void Discard(const std::wstring& path) {
  const ErrorKeeper keep;  // the caller tells why the copy failed
  ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::DeleteFileW(path.c_str());
}

}  // namespace win32

namespace {

// Owns a FindFirstFileExW search handle. The basic information level skips
// the short names, which nothing here uses, and large fetches cut the calls
// into the file system per directory; a system that refuses either gets the
// plain search.
class FindHandle {
 public:
  FindHandle(const std::wstring& p, WIN32_FIND_DATAW& data) {
    h_ = ::FindFirstFileExW(p.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                            FIND_FIRST_EX_LARGE_FETCH);
    if (h_ == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_INVALID_PARAMETER)
      h_ = ::FindFirstFileW(p.c_str(), &data);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  ~FindHandle() {
    if (h_ != INVALID_HANDLE_VALUE) ::FindClose(h_);
  }
  bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
  bool Next(WIN32_FIND_DATAW& data) { return ::FindNextFileW(h_, &data) != 0; }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

void FillEntry(const WIN32_FIND_DATAW& data, DirEntry& e) {
  e.name = Narrow(data.cFileName);
  e.attr = data.dwFileAttributes & faAnyFile;
  // A directory that stands for another place (a junction, a directory
  // link, a mount point) is never walked: it can lead back into itself, and
  // a profile's compatibility junctions refuse listing. A file link is read
  // through, as the file it names.
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
      (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      IsReparseTagNameSurrogate(data.dwReserved0)) {
    e.attr |= faSymLink;
  }
  e.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  e.time = win32::ToFileTime(data.ftLastWriteTime);
}

bool Admitted(uint32_t attr, uint32_t admit) {
  constexpr uint32_t kFiltered = faHidden | faSysFile | faVolumeID | faDirectory;
  return (attr & kFiltered & ~admit) == 0;
}

// Exact-path operations must not match a pattern by accident. The "?" of a
// "\\?\" path is no wildcard.
bool HasWildcard(std::string_view path) {
  if (path.starts_with("\\\\?\\")) path.remove_prefix(4);
  return path.find_first_of("*?") != std::string_view::npos;
}

// The entry that the exact path `path` (a system path) names, whatever its
// attributes. With `longNameOnly` it is the one whose long name that is: a
// search by name finds an entry by its short name too.
bool FindExact(std::wstring path, bool longNameOnly, WIN32_FIND_DATAW& data) {
  // A search takes no trailing separator; a root is no entry it finds.
  while (path.size() > 1 && path.back() == L'\\') path.pop_back();
  FindHandle find(path, data);
  if (!find.ok() || !longNameOnly) return find.ok();
  const std::wstring_view name = win32::LastName(path);
  do {
    if (win32::SameName(name, data.cFileName)) return true;
  } while (find.Next(data));
  ::SetLastError(ERROR_FILE_NOT_FOUND);
  return false;
}

// A path that the system would take for a search pattern: none of the
// exact-path operations looks it up.
bool IsPattern(const std::string& path) { return path.empty() || HasWildcard(path); }

DWORD Attributes(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()); }

// Some CopyFileW implementations (Wine's) give the source's attributes only
// to a new file, not to one that they replace.
void KeepAttributes(const std::wstring& from, const std::wstring& to) {
  constexpr DWORD kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                          FILE_ATTRIBUTE_ARCHIVE;
  const DWORD want = Attributes(from);
  const DWORD have = Attributes(to);
  if (want != INVALID_FILE_ATTRIBUTES && have != INVALID_FILE_ATTRIBUTES &&
      (want & kKept) != (have & kKept)) {
    constexpr DWORD kSettable =
        FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;
    const DWORD attr = (have & kSettable) | (want & kKept);
    ::SetFileAttributesW(to.c_str(), attr ? attr : FILE_ATTRIBUTE_NORMAL);
  }
}

// Copies `from` under a fresh staging name in the directory `dir`
// (ending with the separator, or empty); the name made, empty on failure.
// The copy itself claims the name (it fails on an existing file), so two
// runs never write into one file.
std::wstring CopyBeside(const std::wstring& from, const std::string& dir) {
  LARGE_INTEGER tick;
  ::QueryPerformanceCounter(&tick);
  // The thread's own number too: workers of one run stage side by side, and
  // a failed copy discards its name, which must be no other thread's.
  const unsigned long process = ::GetCurrentProcessId();
  const unsigned long thread = ::GetCurrentThreadId();
  for (unsigned attempt = 0; attempt < 64; ++attempt) {
    const uint64_t unique = static_cast<uint64_t>(process & 0xFFFF) << 48 |
                            static_cast<uint64_t>(thread & 0xFFFF) << 32 |
                            (static_cast<uint64_t>(tick.QuadPart + attempt) & 0xFFFFFFFF);
    const std::wstring temp = SystemPath(dir + StagingName(unique));
    if (::CopyFileW(from.c_str(), temp.c_str(), TRUE)) return temp;
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
    Discard(temp);  // a copy that failed halfway
    return {};
  }
  return {};
}

// A copy staged under its staging name; discarded unless it was named.
class Win32StagedFile : public StagedFile {
 public:
  Win32StagedFile(const std::string& from, const std::string& to, uint64_t size, std::wstring temp)
      : StagedFile(from, to, size), temp(std::move(temp)) {}
  ~Win32StagedFile() override {
    if (!temp.empty()) Discard(temp);
  }
  std::wstring temp;  // empty once named
};

// Writes the data and the metadata of the file `path` through to the disk.
// FlushFileBuffers asks for a handle with write access; a copy of a
// read-only file has its attribute cleared until it is placed.
bool FlushFile(const std::wstring& path) {
  const DWORD attr = Attributes(path);
  if (attr != INVALID_FILE_ATTRIBUTES &&
      (attr & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == FILE_ATTRIBUTE_READONLY) {
    constexpr DWORD kSettable = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;
    const DWORD want = attr & kSettable;
    ::SetFileAttributesW(path.c_str(), want ? want : FILE_ATTRIBUTE_NORMAL);
  }
  FileHandle h(::CreateFileW(path.c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return h.ok() && ::FlushFileBuffers(h.get());
}

class Win32FileSystem : public FileSystem {
 public:
  // Below the directories named for a run, a lookup matches an entry's long
  // name only: a new source file "FOOB~XUI.TXT" is not the stage's copy of
  // "foobarbaz-long-name.txt", whose short name it is, and a stage file of
  // that name has no source while only the long one is there. The named
  // directories themselves, and paths elsewhere, are found by either name.
  void SetRoots(const std::vector<std::string>& dirs) override EXCLUDES(rootsMutex_) {
    std::vector<std::wstring> roots;
    for (const std::string& dir : dirs) {
      std::wstring root = SystemPath(dir);
      while (!root.empty() && root.back() == L'\\') root.pop_back();
      if (!root.empty()) roots.push_back(std::move(root));
    }
    const MutexLock lock(rootsMutex_);
    roots_ = std::move(roots);
  }

  void List(const std::string& pattern, uint32_t admit,
            const std::function<void(const DirEntry&)>& fn) override {
    WIN32_FIND_DATAW data;
    const std::wstring p = SystemPath(pattern);
    if (ReachedAsShortName(p.substr(0, p.rfind(L'\\')))) return;
    FindHandle find(p, data);
    if (!find.ok()) return;
    DirEntry e;
    do {
      if (!Admitted(data.dwFileAttributes, admit)) continue;
      FillEntry(data, e);
      fn(e);
    } while (find.Next(data));
  }

  bool Find(const std::string& path, uint32_t admit, DirEntry& out) override {
    WIN32_FIND_DATAW data;
    if (!LookUp(path, data) || !Admitted(data.dwFileAttributes, admit)) return false;
    FillEntry(data, out);
    return true;
  }

  bool FileExists(const std::string& path) override {
    WIN32_FIND_DATAW data;
    return LookUp(path, data) && !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  bool DirectoryExists(const std::string& path) override {
    const DWORD attr = AttributesOf(SystemPath(path));
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
  }

  bool LastWriteTime(const std::string& path, FileTime& out) override {
    WIN32_FIND_DATAW data;
    if (!LookUp(path, data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    out = win32::ToFileTime(data.ftLastWriteTime);
    return true;
  }
  FileTime TypeClock(const std::string& dir) override { return win32::TypeClock(dir); }
  FileTime ProbeClock(const std::string& dir) override { return win32::ProbeClock(dir); }
  // Win32 names every file up to case, whatever the volume or the folder
  // keeps.
  std::optional<bool> FoldsCase(const std::string&, bool) override { return true; }

  bool Identity(const std::string& path, FileId& out) override {
    // Backup semantics lets CreateFileW open a directory; no access is asked
    // for, only the handle's information.
    FileHandle h(::CreateFileW(SystemPath(path).c_str(), 0,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h.ok()) return false;
    // The 64-bit serial number and 128-bit file id where the volume gives
    // them (a 64-bit index is not unique on ReFS); the 32-bit serial number
    // and 64-bit index elsewhere, and where an id of 0 tells nothing.
    FILE_ID_INFO id;
    if (::GetFileInformationByHandleEx(h.get(), FileIdInfo, &id, sizeof id)) {
      out.volume = id.VolumeSerialNumber;
      std::memcpy(&out.index, id.FileId.Identifier, sizeof out.index);
      std::memcpy(&out.indexHigh, id.FileId.Identifier + sizeof out.index, sizeof out.indexHigh);
      if (out.index != 0 || out.indexHigh != 0) return true;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h.get(), &info)) return false;
    out.volume = info.dwVolumeSerialNumber;
    out.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    out.indexHigh = 0;
    return true;
  }

  bool CreateDir(const std::string& path) override {
    const std::wstring p = SystemPath(path);
    if (::CreateDirectoryW(p.c_str(), nullptr)) return true;
    ExplainTaken(p);
    return false;
  }
  bool RemoveDir(const std::string& path) override { return win32::RemoveFolder(path); }
  PathKind KindOf(const std::string& path) override {
    const DWORD attr = AttributesOf(SystemPath(path));
    if (attr != INVALID_FILE_ATTRIBUTES) {
      return (attr & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Directory : PathKind::File;
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathKind::Missing
                                                                          : PathKind::Unknown;
  }

  bool CopyFile(const std::string& from, const std::string& to, bool replace,
                const std::function<bool()>& beforePlace) override {
    std::unique_ptr<StagedFile> staged = StageCopy(from, to);
    if (!staged) return false;
    FlushStaged({staged.get()});
    if (!staged->flushed) return false;
    return (!beforePlace || beforePlace()) && PlaceStaged(*staged, replace);
  }

  // The copy is made under a fresh name in the target's directory and
  // renamed into place, so an interrupted copy leaves no partial file under
  // the real name.
  std::unique_ptr<StagedFile> StageCopy(const std::string& from, const std::string& to) override {
    const size_t sep = LastDelim(to);
    const std::string dir = sep == std::string::npos ? std::string() : to.substr(0, sep + 1);
    // CopyFileW leaves writers in (Wine's shares the source with them;
    // Windows only asks that none be there): the copy is checked against
    // the source's state from a handle that keeps nobody out.
    const FileHandle watched(win32::OpenToWatch(from));
    if (!watched.ok()) return nullptr;
    const std::wstring source = SystemPath(from);
    uint64_t size = 0;
    std::wstring temp = win32::CopyWhileUnchanged(
        watched.get(), [&] { return CopyBeside(source, dir); }, size);
    if (temp.empty()) return nullptr;
    return std::make_unique<Win32StagedFile>(from, to, size, std::move(temp));
  }

  // Windows flushes one file per call, so the copies of a batch are flushed
  // one after another once all of them are written: the lazy writer has had
  // the batch's time to write most of them already.
  void FlushStaged(const std::vector<StagedFile*>& files) override {
    for (StagedFile* file : files) {
      // Every staged file reaching here was made by StageCopy above.
      auto& staged = static_cast<Win32StagedFile&>(*file);
      staged.flushed = FlushFile(staged.temp);
      if (!staged.flushed) staged.flushFailure = LastErrorText();
    }
  }

  bool PlaceStaged(StagedFile& file, bool replace) override {
    auto& staged = static_cast<Win32StagedFile&>(file);
    if (!staged.flushed) {
      ::SetLastError(ERROR_IO_DEVICE);
      return false;
    }
    const std::wstring target = SystemPath(staged.To());
    if (replace && TakenAsShortName(target)) return false;
    KeepAttributes(SystemPath(staged.From()), staged.temp);
    if (!::MoveFileExW(staged.temp.c_str(), target.c_str(),
                       replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
      ExplainTaken(target);
      return false;
    }
    staged.temp.clear();
    return true;
  }

  // A rename within a volume is in the file system's log; flushing a
  // directory's handle writes that log out with the directory.
  std::vector<std::string> FlushAll(const std::vector<std::string>& dirs) override {
    std::vector<std::string> failures(dirs.size());
    for (size_t i = 0; i < dirs.size(); ++i) {
      const std::wstring path = SystemPath(dirs[i]);
      if (Attributes(path) == INVALID_FILE_ATTRIBUTES) continue;  // never made
      if (!FlushFile(path)) failures[i] = LastErrorText();
    }
    return failures;
  }

  bool MoveFile(const std::string& from, const std::string& to, bool replace) override {
    const std::wstring source = SystemPath(from);
    const std::wstring target = SystemPath(to);
    if (replace && TakenAsShortName(target)) return false;
    if (::MoveFileExW(source.c_str(), target.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
      return true;
    }
    ExplainTaken(target);
    if (::GetLastError() != ERROR_NOT_SAME_DEVICE) return false;
    // Across volumes the move is a copy and a delete, and a read-only
    // original refuses the delete once the copy is made: it is refused
    // before anything is made (ReadOnlyClearing clears it and asks again).
    const DWORD attr = Attributes(source);
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_READONLY)) {
      ::SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    // Write-through has the copy on disk before the original goes.
    if (!replace) {
      return ::MoveFileExW(source.c_str(), target.c_str(),
                           MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH) != 0;
    }
    // A replacing move would copy over the target; a whole copy takes its
    // place first instead, then the original is deleted.
    return CopyFile(from, to, true, nullptr) && ::DeleteFileW(source.c_str()) != 0;
  }
  bool DeleteFile(const std::string& path) override {
    return ::DeleteFileW(SystemPath(path).c_str()) != 0;
  }
  bool SetReadOnly(const std::string& path, bool readOnly) override {
    const std::wstring p = SystemPath(path);
    const DWORD attr = Attributes(p);
    if (attr == INVALID_FILE_ATTRIBUTES) return false;
    DWORD want = readOnly ? attr | FILE_ATTRIBUTE_READONLY : attr & ~FILE_ATTRIBUTE_READONLY;
    // Only these can be set; FILE_ATTRIBUTE_NORMAL stands for none of them.
    want &= FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
            FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
            FILE_ATTRIBUTE_TEMPORARY;
    return ::SetFileAttributesW(p.c_str(), want ? want : FILE_ATTRIBUTE_NORMAL) != 0;
  }

  // A folder keeps no owner that a run could give: its security is its
  // parent's, as the folder was made. Another folder that `to` reaches by
  // its short name is none of the run's, and is left as it is.
  bool KeepDirAttributes(const std::string& from, const std::string& to, bool) override {
    return ReachedAsShortName(SystemPath(to)) || win32::KeepFolderAttributes(from, to);
  }
  bool MatchDirectory(const std::string& from, const std::string& to, FileTime clock) override {
    return ReachedAsShortName(SystemPath(to)) || win32::MatchFolder(from, to, clock);
  }

  void SaveLines(const std::string& path, const std::vector<std::string>& lines) override {
    FileHandle h(::CreateFileW(SystemPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.ok()) {
      RaiseCreateError(path);
    }
    WriteLines(h.get(), lines);
  }

  bool SaveNewLines(const std::string& path, const std::vector<std::string>& lines) override {
    // CREATE_NEW alone follows a dangling link and makes its target; with
    // FILE_FLAG_OPEN_REPARSE_POINT the name itself is taken, and exists.
    const std::wstring name = SystemPath(path);
    FileHandle h(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h.ok()) {
      const DWORD error = ::GetLastError();
      const DWORD attr = Attributes(name);
      // Only a directory stops the save; a name that is taken by anything
      // else, a link that no look can follow included, is passed by.
      if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) &&
          (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_DIRECTORY))) {
        return false;
      }
      RaiseCreateError(path);
    }
    WriteLines(h.get(), lines);
    return true;
  }

 private:
  // Whether a lookup of the system path `path` matches the long name only:
  // it lies below a root, and its last name could be another's short name.
  bool LongNameOnly(std::wstring_view path) EXCLUDES(rootsMutex_) {
    const std::wstring_view name = win32::LastName(path);
    if (!win32::MayBeShortName(name) || name.find_first_of(L"*?") != name.npos) return false;
    const MutexLock lock(rootsMutex_);
    return std::any_of(roots_.begin(), roots_.end(), [&](const std::wstring& root) {
      return path.size() > root.size() + 1 && path[root.size()] == L'\\' &&
             win32::SameName(path.substr(0, root.size()), root);
    });
  }

  // The entry of that exact path, by its long name below a root. A path
  // that ends with a separator names what is in a folder, no entry.
  bool LookUp(const std::string& path, WIN32_FIND_DATAW& data) {
    if (IsPattern(path)) return false;
    if (path.back() == '\\' || path.back() == '/') {
      ::SetLastError(ERROR_FILE_NOT_FOUND);
      return false;
    }
    const std::wstring p = SystemPath(path);
    return FindExact(p, LongNameOnly(p), data);
  }

  // Whether the system path `path`, below a root, reaches an existing
  // entry only as that entry's short name.
  bool ShortNameOnly(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    return LongNameOnly(path) && !FindExact(path, true, data) && FindExact(path, false, data);
  }

  // A path that reaches another entry by its short name names nothing, as
  // the walk is told; the names below a folder so reached are another
  // folder's, and a listing of it is none.
  bool ReachedAsShortName(const std::wstring& path) {
    if (!ShortNameOnly(path)) return false;
    ::SetLastError(ERROR_PATH_NOT_FOUND);
    return true;
  }

  // The attributes of the entry that the system path `path` names, as
  // GetFileAttributesW gives them (and its errors, which tell a path through
  // a file from one that cannot be looked up); below a root, of its long
  // name only.
  DWORD AttributesOf(const std::wstring& path) {
    const DWORD attr = Attributes(path);
    if (attr == INVALID_FILE_ATTRIBUTES || !ShortNameOnly(path)) return attr;
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }

  // Whether the system path `target` names an existing entry only by its
  // short name: a move that replaces it would replace another's file. Sets
  // kShortNameTaken when it does.
  bool TakenAsShortName(const std::wstring& target) {
    if (!ShortNameOnly(target)) return false;
    ::SetLastError(win32::kShortNameTaken);
    return true;
  }

  // After making `target` failed on a name in the way: where that is
  // another entry's short name, that is the reason told.
  void ExplainTaken(const std::wstring& target) {
    const DWORD error = ::GetLastError();
    if ((error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) && TakenAsShortName(target))
      return;
    ::SetLastError(error);
  }

  static void WriteLines(HANDLE h, const std::vector<std::string>& lines) {
    const std::string content = SavedText(lines);
    constexpr size_t kChunk = size_t{1} << 30;
    for (size_t done = 0; done < content.size();) {
      const DWORD want = static_cast<DWORD>(std::min(kChunk, content.size() - done));
      DWORD written = 0;
      if (!::WriteFile(h, content.data() + done, want, &written, nullptr) || written != want)
        RaiseWriteError();
      done += written;
    }
  }

  Mutex rootsMutex_;
  std::vector<std::wstring> roots_ GUARDED_BY(rootsMutex_);  // system paths, no trailing separator
};

// The ANSI code page's bytes of a UTF-8 text; with `exact`, empty unless
// every character converts into its own (no best fit, no default character).
// Only called for text that is not plain ASCII.
std::string ToAnsi(std::string_view utf8, bool exact, bool& ok) {
  ok = false;
  const std::wstring w = Widen(utf8);
  if (w.empty()) return {};
  const int n = static_cast<int>(w.size());
  BOOL usedDefault = FALSE;
  BOOL* const defaultFlag = exact ? &usedDefault : nullptr;
  const int bytes = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(), n, nullptr, 0,
                                          nullptr, defaultFlag);
  if (bytes <= 0 || usedDefault) return {};
  std::string out(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(), n, out.data(), bytes, nullptr,
                        nullptr);
  ok = true;
  return out;
}

bool IsAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

FileSystem& RealFileSystem() {
  // Windows refuses to replace or delete a read-only file: the copy that
  // gives way has its attribute cleared first.
  static Win32FileSystem system;
  static ReadOnlyClearing fs(system);
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

CharRule PathCharRule() { return CharRule::Utf8; }

bool IsWalkedDirName(std::string_view name) { return !name.empty() && name[0] != '.'; }
std::string ShownPath(std::string_view path) { return std::string(path); }

std::string FoldedName(std::string_view name) {
  // ASCII names, most of them, need no conversion.
  if (std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; })) {
    std::string out(name);
    for (char& c : out) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
  }
  // As the file system compares names: upper case of the invariant locale,
  // one UTF-16 unit for one.
  std::wstring w = Widen(name);
  if (!w.empty()) {
    ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, w.data(), static_cast<int>(w.size()),
                    w.data(), static_cast<int>(w.size()), nullptr, nullptr, 0);
  }
  return Narrow(w);
}

std::string AnsiSpelling(std::string_view text) {
  if (IsAscii(text) || ::GetACP() == CP_UTF8) return std::string(text);
  bool ok = false;
  return ToAnsi(text, false, ok);
}

std::string FromAnsiSpelling(std::string_view ansi) {
  if (IsAscii(ansi)) return std::string(ansi);
  return Narrow(Widen(ansi, CP_ACP));
}

std::string SavedText(const std::vector<std::string>& lines) {
  // The ANSI code page when it holds every line exactly, as Windows programs
  // have always written text; otherwise UTF-8 after a byte-order mark, which
  // every Windows viewer reads as such. Where the ANSI code page is UTF-8,
  // the lines are its bytes already.
  if (::GetACP() == CP_UTF8) return LinesWithCrLf(lines);
  std::vector<std::string> ansi;
  bool exact = true;
  for (size_t i = 0; exact && i < lines.size(); ++i) {
    if (IsAscii(lines[i])) continue;
    if (ansi.empty()) ansi.assign(lines.begin(), lines.end());
    ansi[i] = ToAnsi(lines[i], true, exact);
  }
  if (!exact) return "\xEF\xBB\xBF" + LinesWithCrLf(lines);
  return LinesWithCrLf(ansi.empty() ? lines : ansi);
}

std::string ProgramText(std::string_view utf8) { return std::string(utf8); }

std::vector<std::string> CommandLineWords(int, char**) {
  // The C runtime's argv treats backslashes before quotes specially; the
  // program splits the raw line by its own rules instead. In UTF-8 every
  // byte of a character beyond ASCII is 0x80 or above, so the words are
  // those of the wide line.
  std::vector<std::string> words = SplitCommandLine(Narrow(::GetCommandLineW()));
  if (!words.empty()) words.erase(words.begin());
  return words;
}

std::string ExecutablePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return Narrow(path);
    }
    path.resize(path.size() * 2);  // truncated
  }
}

bool DirectoryTakesNewFiles(const std::string& dir) {
  // Whether a file may be made there shows only by making one: a probe that
  // goes as its handle is closed.
  const std::string probe = dir + "kvr" + std::to_string(::GetCurrentProcessId()) + ".tmp";
  FileHandle h(::CreateFileW(
      SystemPath(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (h.ok()) return true;
  const DWORD error = ::GetLastError();
  return error != ERROR_ACCESS_DENIED && error != ERROR_WRITE_PROTECT;
}

namespace {

// An environment variable as UTF-8, as paths are kept; empty when unset.
std::string EnvironmentText(const wchar_t* name) {
  const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::wstring wide(size, L'\0');
  const DWORD n = ::GetEnvironmentVariableW(name, wide.data(), size);
  if (n == 0 || n >= size) return {};
  wide.resize(n);
  return Narrow(wide);
}

}  // namespace

bool InstalledProgramDirectory(const std::string& dir) {
  for (const wchar_t* name :
       {L"ProgramFiles", L"ProgramFiles(x86)", L"ProgramW6432", L"SystemRoot"}) {
    const std::string prefix = EnvironmentText(name);
    if (!prefix.empty() && IsAtOrBelow(dir, prefix)) return true;
  }
  return false;
}

std::string UserStateDirectory() {
  std::string dir = EnvironmentText(L"LOCALAPPDATA");
  if (dir.empty()) return {};
  if (LastDelim(dir) + 1 != dir.size()) dir += '\\';
  dir += "Kovrel\\";
  CreateDirChain(RealFileSystem(), dir);
  return dir;
}

// A program without a console has no terminal to draw on.
bool StatusLineWanted() { return false; }
void ShowStatusLine(const std::string&) {}
void EraseStatusLine() {}

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

std::string DirSpelling(std::string_view path) {
  std::string p(path);
  std::replace(p.begin(), p.end(), '/', '\\');
  const std::wstring w = Widen(CollapsedPath(p));
  if (w.empty()) return {};
  const int n = static_cast<int>(w.size());
  std::wstring upper(w.size(), L'\0');
  if (::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, w.data(), n, upper.data(), n, nullptr,
                      nullptr, 0) != n) {
    return Narrow(w);
  }
  return Narrow(upper);
}

ErrorKeeper::ErrorKeeper() : code_(::GetLastError()) {}
ErrorKeeper::~ErrorKeeper() { ::SetLastError(static_cast<DWORD>(code_)); }
unsigned long LastErrorCode() { return ::GetLastError(); }
void SetLastErrorCode(unsigned long code) { ::SetLastError(static_cast<DWORD>(code)); }

// A staged copy holds a name, not an open handle.
size_t OpenFileLimit() { return 0; }

std::string LastErrorText() {
  const DWORD code = ::GetLastError();
  if (code == kChangedWhileCopied) return "changed while it was copied";
  if (code == win32::kShortNameTaken) return "another entry here has this name as its short name";
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
  // UTF-8, as the paths and the report's lines are kept.
  return Narrow(message);
}

// No console: the exit status and the report tell.
void TellFailure(const std::string&) {}

}  // namespace platform

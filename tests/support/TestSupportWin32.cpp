// Windows part of the test helpers: times through SetFileTime, the program
// run through CreateProcessW. Paths are UTF-8, as the program keeps them. The test Wine prefix has
// the recording viewer (OpenRecorder.exe) as the "open" command of .txt files.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>

#include "platform/Platform.h"
#include "support/ModelStage.h"
#include "support/LoopStage.h"
#include "support/TestSupport.h"
#include "support/TestSupportWin32.h"

namespace test {

namespace {

std::wstring W(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
  return w;
}

std::string U(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
  return s;
}

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (h_ && h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
  }
  bool ok() const { return h_ && h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

void SetMTime(const std::string& path, const FILETIME& utc) {
  Handle h(::CreateFileW(W(path).c_str(), FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.ok() || !::SetFileTime(h.get(), nullptr, nullptr, &utc))
    throw std::runtime_error("SetFileTime " + path);
}

std::string DirOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string OpenLogPath(const std::string& exe) { return DirOf(exe) + "\\opened.log"; }

// The build hands over POSIX paths; under Wine they are reached through Z:.
std::string WindowsPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  std::string w = "Z:" + path;
  for (char& c : w) {
    if (c == '/') c = '\\';
  }
  return w;
}

// Quoted so that the program's own splitting gives the word back. A word
// holding a double quote cannot be quoted under those rules; it goes as it
// stands, which lets a test hand over raw command-line text.
std::string CommandWord(const std::string& word) {
  if (word.find('"') != std::string::npos) return word;
  return "\"" + word + "\"";
}

bool SameKey(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                          b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

// The current environment with `extra` set over it, as CreateProcessW takes
// it: NAME=value strings, each ended by a zero, and one more at the end.
std::wstring EnvironmentBlock(const Env& extra) {
  std::wstring block;
  LPWCH env = ::GetEnvironmentStringsW();
  for (const wchar_t* p = env; p && *p; p += std::char_traits<wchar_t>::length(p) + 1) {
    const std::wstring entry = p;
    // Entries such as "=C:=C:\dir" begin with "=": the name runs to the second.
    const size_t eq = entry.find(L'=', 1);
    const std::wstring name = entry.substr(0, eq);
    bool replaced = false;
    for (const auto& kv : extra) replaced = replaced || SameKey(W(kv.first), name);
    if (!replaced) block += entry + L'\0';
  }
  if (env) ::FreeEnvironmentStringsW(env);
  for (const auto& [key, value] : extra) block += W(key + "=" + value) + L'\0';
  block += L'\0';
  return block;
}

// Local time under the zone's rules for that time's year, as the program
// counts its days (FileTimeToLocalFileTime would apply today's offset).
std::string FormatLocal(const FILETIME& utc) {
  SYSTEMTIME st, local;
  TIME_ZONE_INFORMATION zone;
  if (!::FileTimeToSystemTime(&utc, &st)) return "";
  const bool rules = ::GetTimeZoneInformationForYear(st.wYear, nullptr, &zone) != 0;
  if (!::SystemTimeToTzSpecificLocalTime(rules ? &zone : nullptr, &st, &local)) return "";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth,
                local.wDay, local.wHour, local.wMinute, local.wSecond);
  return buf;
}

}  // namespace

void SetLocalMTime(const std::string& path, int year, int month, int day, int hour, int minute,
                   int second) {
  SYSTEMTIME st = {};
  st.wYear = static_cast<WORD>(year);
  st.wMonth = static_cast<WORD>(month);
  st.wDay = static_cast<WORD>(day);
  st.wHour = static_cast<WORD>(hour);
  st.wMinute = static_cast<WORD>(minute);
  st.wSecond = static_cast<WORD>(second);
  SYSTEMTIME system;
  TIME_ZONE_INFORMATION zone;
  const bool rules = ::GetTimeZoneInformationForYear(st.wYear, nullptr, &zone) != 0;
  FILETIME utc;
  if (!::TzSpecificLocalTimeToSystemTime(rules ? &zone : nullptr, &st, &system) ||
      !::SystemTimeToFileTime(&system, &utc))
    throw std::runtime_error("bad local time for " + path);
  SetMTime(path, utc);
}

void SetUtcMTime(const std::string& path, long long nanoseconds) {
  constexpr long long kTicksTo1970 = 116444736000000000;
  const long long ticks = nanoseconds / 100 - (nanoseconds % 100 < 0 ? 1 : 0) + kTicksTo1970;
  FILETIME utc;
  utc.dwLowDateTime = static_cast<DWORD>(ticks);
  utc.dwHighDateTime = static_cast<DWORD>(static_cast<unsigned long long>(ticks) >> 32);
  SetMTime(path, utc);
}

void SetMTimeFromNow(const std::string& path, long long offsetSeconds) {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER t;
  t.LowPart = now.dwLowDateTime;
  t.HighPart = now.dwHighDateTime;
  t.QuadPart += static_cast<ULONGLONG>(offsetSeconds * 10000000LL);
  FILETIME utc;
  utc.dwLowDateTime = t.LowPart;
  utc.dwHighDateTime = t.HighPart;
  SetMTime(path, utc);
}

ZoneScope::ZoneScope(const std::string&) {}
ZoneScope::~ZoneScope() {}

std::string LocalMTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(W(path).c_str(), GetFileExInfoStandard, &data)) return "";
  return FormatLocal(data.ftLastWriteTime);
}

void SetLocalMTimeOfEntry(const std::string& path, int year, int month, int day, int hour,
                          int minute, int second) {
  SetLocalMTime(path, year, month, day, hour, minute, second);
}

bool LookAt(const std::string& path, EntryLook& look) {
  const DWORD attr = ::GetFileAttributesW(W(path).c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return false;
  look = EntryLook();
  look.kind = (attr & FILE_ATTRIBUTE_REPARSE_POINT) ? 'l'
              : (attr & FILE_ATTRIBUTE_DIRECTORY)   ? 'd'
                                                    : 'f';
  look.time = LocalMTime(path);
  return true;
}

bool MakeFifo(const std::string&) { return false; }
bool MakeSocket(const std::string&) { return false; }
bool IsSuperUser() { return false; }
void GiveTree(const std::string&, unsigned) {}

struct TornReads::Data {};
TornReads::TornReads(const std::string&) : data_(new Data) {}
TornReads::~TornReads() = default;
bool TornReads::active() const { return false; }
uint64_t TornReads::reads() const { return 0; }

// No FUSE: the model stage never mounts.
struct ModelStage::Data {
  std::string why = "no FUSE on Windows", none;
};
ModelStage::ModelStage(const StageCaps&) : data_(new Data) {}
ModelStage::~ModelStage() = default;
bool ModelStage::mounted() const { return false; }
const std::string& ModelStage::why() const { return data_->why; }
const std::string& ModelStage::path() const { return data_->none; }
const std::string& ModelStage::backing() const { return data_->none; }

std::string InstallProgram(const std::string& dir, const std::string& name) {
  const std::string from = WindowsPath(KOVREL_EXE);
  const std::string to = dir + "\\" + (name.empty() ? from.substr(from.rfind('\\') + 1) : name);
  MakeDirs(dir);
  if (!::CopyFileW(W(from).c_str(), W(to).c_str(), FALSE))
    throw std::runtime_error("CopyFileW " + from);
  return to;
}

namespace {

// Starts the program with the recording viewer's log named in its
// environment; the caller owns both handles.
PROCESS_INFORMATION Spawn(const std::string& exe, const std::vector<std::string>& args,
                          const Env& env) {
  std::string commandLine = CommandWord(exe);
  for (const std::string& a : args) commandLine += " " + CommandWord(a);
  Env all = {{"KOVREL_OPEN_LOG", OpenLogPath(exe)}};
  all.insert(all.end(), env.begin(), env.end());
  std::wstring block = EnvironmentBlock(all);
  std::wstring line = W(commandLine);

  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!::CreateProcessW(W(exe).c_str(), line.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &si, &pi))
    throw std::runtime_error("CreateProcessW " + exe);
  return pi;
}

}  // namespace

ProgramRun RunProgram(const std::string& exe, const std::vector<std::string>& args,
                      const Env& env) {
  const PROCESS_INFORMATION pi = Spawn(exe, args, env);
  Handle process(pi.hProcess);
  Handle thread(pi.hThread);
  ProgramRun run;
  // A hung program fails its test instead of the whole run.
  if (::WaitForSingleObject(process.get(), 120000) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.get(), 255);
    ::WaitForSingleObject(process.get(), INFINITE);
    return run;
  }
  DWORD code = 0;
  if (::GetExitCodeProcess(process.get(), &code)) run.exitCode = static_cast<int>(code);
  return run;
}

struct StartedProgram::Process {
  explicit Process(const PROCESS_INFORMATION& pi) : handle(pi.hProcess), id(pi.dwProcessId) {
    ::CloseHandle(pi.hThread);
  }
  Handle handle;
  DWORD id;
  bool ended = false;
};

StartedProgram::StartedProgram(const std::string& exe, const std::vector<std::string>& args,
                               const Env& env)
    : process_(new Process(Spawn(exe, args, env))) {}

StartedProgram::~StartedProgram() { Kill(); }

long StartedProgram::Id() const { return static_cast<long>(process_->id); }

bool StartedProgram::Wait(int milliseconds, ProgramRun& run) {
  if (process_->ended) return true;
  if (::WaitForSingleObject(process_->handle.get(), static_cast<DWORD>(milliseconds)) !=
      WAIT_OBJECT_0)
    return false;
  process_->ended = true;
  DWORD code = 0;
  run = ProgramRun();
  if (::GetExitCodeProcess(process_->handle.get(), &code)) run.exitCode = static_cast<int>(code);
  return true;
}

void StartedProgram::Kill() {
  if (process_->ended) return;
  ::TerminateProcess(process_->handle.get(), 255);
  ::WaitForSingleObject(process_->handle.get(), INFINITE);
  process_->ended = true;
}

bool StartedProgram::Stop() {
  if (process_->ended || ::WaitForSingleObject(process_->handle.get(), 0) == WAIT_OBJECT_0)
    return false;
  // A process that has ended cannot be terminated.
  if (!::TerminateProcess(process_->handle.get(), 255)) return false;
  ::WaitForSingleObject(process_->handle.get(), INFINITE);
  process_->ended = true;
  return true;
}

namespace {

struct FindCloser {
  void operator()(HANDLE h) const { ::FindClose(h); }
};

// Names and sizes of the files in `dir`, sorted.
std::vector<std::pair<std::string, uint64_t>> FilesIn(const std::string& dir) {
  std::vector<std::pair<std::string, uint64_t>> found;
  WIN32_FIND_DATAW data;
  const HANDLE h = ::FindFirstFileW(W(Join(dir, "*")).c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return found;
  const std::unique_ptr<void, FindCloser> search(h);
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      found.emplace_back(U(data.cFileName),
                         (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    }
  } while (::FindNextFileW(h, &data));
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace

struct CopyWatch::Data {
  std::string dir;
  uint64_t sourceSize = 0;
  std::set<std::pair<std::string, uint64_t>> before;  // what `dir` held at the start
};

CopyWatch::CopyWatch(const std::string& source, const std::string& dir) : data_(new Data) {
  data_->dir = dir;
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (::GetFileAttributesExW(W(source).c_str(), GetFileExInfoStandard, &attributes)) {
    data_->sourceSize =
        (static_cast<uint64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
  }
  for (const auto& entry : FilesIn(dir)) data_->before.insert(entry);
}

CopyWatch::~CopyWatch() = default;

// Another process's open files are not to be seen simply here: the copy is
// the file that appeared or changed in the directory and has not yet
// reached the source's size.
CopyProgress CopyWatch::Look(const StartedProgram&) const {
  CopyProgress progress;
  for (const auto& entry : FilesIn(data_->dir)) {
    if (data_->before.count(entry) || entry.second >= data_->sourceSize) continue;
    progress.copying = true;
    progress.written = entry.second;
    progress.name = entry.first;
    break;
  }
  return progress;
}

std::vector<std::string> OpenedFiles(const std::string& exe, size_t expected) {
  const auto readLines = [&] {
    std::vector<std::string> lines;
    const std::string log = ReadFile(OpenLogPath(exe));
    size_t start = 0;
    for (size_t nl; (nl = log.find('\n', start)) != std::string::npos; start = nl + 1) {
      std::string line = log.substr(start, nl - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
    return lines;
  };
  // The viewer is a process of its own that nothing waits for; give it time.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::vector<std::string> lines = readLines();
  while (lines.size() < expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    lines = readLines();
  }
  if (expected == 0) {
    // Nothing is expected: give a late viewer a moment to show up anyway.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    lines = readLines();
  }
  return lines;
}

void SetPlatformError(PlatformError error) {
  switch (error) {
    case PlatformError::NoSpace:
      ::SetLastError(ERROR_DISK_FULL);
      break;
    case PlatformError::PermissionDenied:
      ::SetLastError(ERROR_ACCESS_DENIED);
      break;
    case PlatformError::CrossDevice:
      ::SetLastError(ERROR_NOT_SAME_DEVICE);
      break;
    case PlatformError::NotFound:
      ::SetLastError(ERROR_FILE_NOT_FOUND);
      break;
    case PlatformError::IoError:
      ::SetLastError(ERROR_IO_DEVICE);
      break;
  }
}

std::string ShortPath(const std::string& path) {
  const std::wstring w = W(path);
  std::wstring buf(w.size() + MAX_PATH, L'\0');
  const DWORD n = ::GetShortPathNameW(w.c_str(), buf.data(), static_cast<DWORD>(buf.size()));
  return n > 0 && n < buf.size() ? U(buf.substr(0, n)) : std::string();
}

std::string AsStored(const std::string& path) {
  if (path.starts_with("\\\\?\\")) return path;
  std::string p = path;
  std::replace(p.begin(), p.end(), '/', '\\');
  return "\\\\?\\" + p;
}

void RemoveTree(const std::string& path) {
  const std::function<void(const std::wstring&)> remove = [&](const std::wstring& dir) {
    WIN32_FIND_DATAW data;
    const HANDLE h = ::FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (h != INVALID_HANDLE_VALUE) {
      const std::unique_ptr<void, FindCloser> search(h);
      do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = dir + L"\\" + name;
        ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        const DWORD attr = data.dwFileAttributes;
        if ((attr & FILE_ATTRIBUTE_DIRECTORY) && !(attr & FILE_ATTRIBUTE_REPARSE_POINT)) {
          remove(child);
        } else if (attr & FILE_ATTRIBUTE_DIRECTORY) {
          ::RemoveDirectoryW(child.c_str());  // a link, never followed
        } else {
          ::DeleteFileW(child.c_str());
        }
      } while (::FindNextFileW(h, &data));
    }
    ::SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::RemoveDirectoryW(dir.c_str());
  };
  remove(W(AsStored(path)));
}

void WriteStored(const std::string& path, const std::string& content) {
  const std::string p = AsStored(path);
  for (size_t sep = p.find('\\', 7); sep != std::string::npos; sep = p.find('\\', sep + 1)) {
    ::CreateDirectoryW(W(p.substr(0, sep)).c_str(), nullptr);
  }
  Handle h(::CreateFileW(W(p).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  if (!h.ok() ||
      !::WriteFile(h.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr))
    throw std::runtime_error("WriteStored " + path);
}

std::string ReadStored(const std::string& path) {
  Handle h(::CreateFileW(W(AsStored(path)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr));
  std::string content(4096, '\0');
  DWORD read = 0;
  if (!h.ok() ||
      !::ReadFile(h.get(), content.data(), static_cast<DWORD>(content.size()), &read, nullptr))
    return "(unreadable)";
  content.resize(read);
  return content;
}

std::vector<std::string> ListStoredTree(const std::string& dir) {
  std::vector<std::string> files;
  const std::function<void(const std::string&)> walk = [&](const std::string& rel) {
    WIN32_FIND_DATAW data;
    const HANDLE h = ::FindFirstFileW(W(AsStored(dir) + "\\" + rel + "*").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return;
    const std::unique_ptr<void, FindCloser> search(h);
    do {
      const std::string name = U(data.cFileName);
      if (name == "." || name == "..") continue;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        walk(rel + name + "\\");
      } else if (!platform::IsRunLockName(name)) {
        std::string file = rel + name;
        std::replace(file.begin(), file.end(), '\\', '/');
        files.push_back(file);
      }
    } while (::FindNextFileW(h, &data));
  };
  walk("");
  std::sort(files.begin(), files.end());
  return files;
}

uint32_t Attributes(const std::string& path) { return ::GetFileAttributesW(W(path).c_str()); }

void SetAttributes(const std::string& path, uint32_t attr) {
  if (!::SetFileAttributesW(W(path).c_str(), attr ? attr : FILE_ATTRIBUTE_NORMAL))
    throw std::runtime_error("SetFileAttributesW " + path);
}

int64_t ChangeTime(const std::string& path) {
  Handle h(::CreateFileW(W(path).c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FILE_BASIC_INFO info;
  if (!h.ok() || !::GetFileInformationByHandleEx(h.get(), FileBasicInfo, &info, sizeof info))
    return 0;
  return info.ChangeTime.QuadPart;
}

void WaitPastChangeTime(int64_t time) {
  // The file system stamps with a coarse clock, a few milliseconds behind.
  constexpr int64_t kMargin = 50 * 10000;
  for (;;) {
    FILETIME now;
    ::GetSystemTimePreciseAsFileTime(&now);
    const int64_t t = (static_cast<int64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    if (t > time + kMargin) return;
    ::Sleep(10);
  }
}

// Loop images and FUSE mounts are Linux's: every test on one skips here.
LoopStage::LoopStage(Kind, const std::string&, int) : why_("no loop-image stages on Windows") {}

LoopStage::~LoopStage() = default;

void LoopStage::Undo() {}

}  // namespace test

// The Windows run lock: LockFileEx on a file in stage 1 that only the
// runner may open, never reached through a link.
#include "Win32Files.h"
// After windows.h, which they build on.
#include <sddl.h>

#include <string_view>
#include <vector>

#include "Characters.h"
#include "Platform.h"

namespace platform {

using win32::FileHandle;
using win32::SystemPath;

const char RunLockName[] = ".kovrel-lock";
// Names are compared as the file system compares them: without case.
bool IsRunLockName(std::string_view name) { return SameIgnoringAsciiCase(name, RunLockName); }

// No console: the exit status and the report tell.
void TellNotice(const std::string&) {}

namespace {

// The lock of the file held open; closing the handle drops it, and the
// system drops it when the process ends, however it ends. One without a
// handle holds nothing.
class FileStageLock : public StageLock {
 public:
  explicit FileStageLock(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}

 private:
  FileHandle h_;
};

// An access list that lets the process's user alone open the file, not
// inherited from stage 1, which its readers may read: a file that anyone
// may open, anyone may lock.
class OwnerOnly {
 public:
  OwnerOnly() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size ? size : 1);
    wchar_t* sid = nullptr;
    if (::GetTokenInformation(token, TokenUser, user.data(), size, &size) &&
        ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid)) {
      // Protected (P): nothing inherited; file all access (FA) to the user.
      const std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")";
      ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                             &descriptor_, nullptr);
      ::LocalFree(sid);
    }
    ::CloseHandle(token);
  }
  ~OwnerOnly() {
    if (descriptor_) ::LocalFree(descriptor_);
  }
  OwnerOnly(const OwnerOnly&) = delete;
  OwnerOnly& operator=(const OwnerOnly&) = delete;

  SECURITY_ATTRIBUTES* attributes() {
    if (!descriptor_) return nullptr;
    attributes_ = {sizeof attributes_, descriptor_, FALSE};
    return &attributes_;
  }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

bool IdentityOf(HANDLE h, FileId& out, DWORD* attributes = nullptr) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(h, &info)) return false;
  out.volume = info.dwVolumeSerialNumber;
  out.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  if (attributes) *attributes = info.dwFileAttributes;
  return true;
}

// The name itself, never a link's target.
HANDLE OpenName(const std::string& path, DWORD access, DWORD disposition,
                SECURITY_ATTRIBUTES* security) {
  return ::CreateFileW(SystemPath(path).c_str(), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, security,
                       disposition, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// The identity of the file named `path`, not followed where it is a link.
bool NameIdentity(const std::string& path, FileId& out) {
  const FileHandle h(OpenName(path, 0, OPEN_EXISTING, nullptr));
  return h.ok() && IdentityOf(h.get(), out);
}

// Tries the lock first; calls `waiting` only before it waits for it.
bool TakeLock(HANDLE h, const std::function<void()>& waiting) {
  OVERLAPPED at{};
  const DWORD exclusive = LOCKFILE_EXCLUSIVE_LOCK;
  if (::LockFileEx(h, exclusive | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &at)) {
    return true;
  }
  if (::GetLastError() != ERROR_LOCK_VIOLATION) return false;
  if (waiting) waiting();
  at = OVERLAPPED{};
  return ::LockFileEx(h, exclusive, 0, MAXDWORD, MAXDWORD, &at) != 0;
}

}  // namespace

std::unique_ptr<StageLock> LockStage(const std::string& dir, bool make,
                                     const std::function<void()>& waiting) {
  const std::string path =
      LastDelim(dir) + 1 == dir.size() ? dir + RunLockName : dir + '\\' + RunLockName;
  OwnerOnly security;
  for (;;) {
    FileId dirId;
    if (!RealFileSystem().Identity(dir, dirId)) return nullptr;
    const DWORD access = make ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    FileHandle h(OpenName(path, access, make ? OPEN_ALWAYS : OPEN_EXISTING, security.attributes()));
    DWORD attributes = 0;
    FileId held;
    bool usable = h.ok() && IdentityOf(h.get(), held, &attributes);
    if (usable && (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
      ::SetLastError(ERROR_CANT_ACCESS_FILE);
      usable = false;
    }
    if (!usable) {
      if (!make) return std::make_unique<FileStageLock>();
      return nullptr;
    }
    if (!TakeLock(h.get(), waiting)) {
      // A file system without locks leaves the run unlocked: better than
      // no run at all.
      const DWORD error = ::GetLastError();
      if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION) {
        return std::make_unique<FileStageLock>();
      }
      return nullptr;
    }
    // The run before may have removed the directory as empty, with its lock
    // file, and another run may have made them anew, while this one waited
    // on the old ones.
    FileId nowDir, now;
    if (!RealFileSystem().Identity(dir, nowDir)) return nullptr;
    if (nowDir == dirId && NameIdentity(path, now) && now == held) {
      return std::make_unique<FileStageLock>(h.release());
    }
  }
}

}  // namespace platform

// What the Windows program asks of the shell and the desktop: a text file
// opened in its viewer, the message pump, the message box of an error that
// stops the program, and the version resource of a file.
#include "Win32Files.h"
// After windows.h, which they build on.
#include <shellapi.h>
#include <winver.h>

namespace platform {

using win32::SystemPath;
using win32::Widen;

namespace {

// The shell and the version library take a path as the user would type it
// while it is short enough: a viewer is handed the path that it shows. The
// program's own files have no names that Win32 rules alter.
std::wstring ShellPath(const std::string& path) {
  constexpr size_t kPlainPathLimit = MAX_PATH - 12;
  std::wstring w = Widen(path);
  return w.size() < kPlainPathLimit ? w : SystemPath(path);
}

}  // namespace

void ShellOpen(const std::string& path) {
  ::ShellExecuteW(nullptr, L"open", ShellPath(path).c_str(), L"", L"", SW_SHOW);
}

void PumpMessages() {
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
}

void ShowFatalError(const std::string& text) {
  ::MessageBoxW(nullptr, Widen(text).c_str(), L"Application Error", MB_ICONERROR | MB_TASKMODAL);
}

uint32_t VersionInfoSize(const std::string& path) {
  DWORD handle = 0;
  return ::GetFileVersionInfoSizeW(ShellPath(path).c_str(), &handle);
}

bool VersionInfo(const std::string& path, std::vector<unsigned char>& block) {
  block.assign(VersionInfoSize(path), 0);
  if (block.empty()) return false;
  return ::GetFileVersionInfoW(ShellPath(path).c_str(), 0, static_cast<DWORD>(block.size()),
                               block.data()) != 0;
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

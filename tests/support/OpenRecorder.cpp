// Stands in for the text viewer in the Windows tests. The test Wine prefix
// runs it as the "open" command of .txt files ("OpenRecorder.exe" "%1"); it
// appends the path it was given (as UTF-8) to the file named by
// KOVREL_OPEN_LOG.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

namespace {

// The command line's second word; quotes group and are removed.
std::string FirstArgument(const char* line) {
  std::string word;
  int index = 0;
  bool quoted = false;
  for (const char* p = line; *p; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"') {
      quoted = !quoted;
    } else if (c <= ' ' && !quoted) {
      if (!word.empty() && index++ == 1) return word;
      word.clear();
    } else {
      word += *p;
    }
  }
  return index == 1 ? word : std::string();
}

std::string Utf8(const wchar_t* w) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string s(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
  s.pop_back();
  return s;
}

}  // namespace

int main() {
  const std::string path = FirstArgument(Utf8(::GetCommandLineW()).c_str());
  wchar_t log[4096];
  const DWORD n = ::GetEnvironmentVariableW(L"KOVREL_OPEN_LOG", log, 4096);
  if (n == 0 || n >= 4096) return 1;
  const HANDLE h = ::CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 1;
  const std::string line = path + "\n";
  DWORD written = 0;
  const BOOL ok = ::WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  ::CloseHandle(h);
  return ok && written == line.size() ? 0 : 1;
}

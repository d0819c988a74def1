// How a name reaches the wide calls as it is stored: UTF-8 and UTF-16, the
// "\\?\" form of every path, and the rule that a lookup of an entry below
// the run's roots matches its long name, never another's 8.3 short name.
#include <algorithm>
#include <cwctype>

#include "Win32Files.h"

namespace platform::win32 {

std::wstring Widen(std::string_view text, UINT codePage) {
  std::wstring w;
  if (text.empty()) return w;
  const int n = static_cast<int>(text.size());
  const int wide = ::MultiByteToWideChar(codePage, 0, text.data(), n, nullptr, 0);
  if (wide <= 0) return w;
  w.resize(static_cast<size_t>(wide));
  ::MultiByteToWideChar(codePage, 0, text.data(), n, w.data(), wide);
  return w;
}

std::string Narrow(std::wstring_view w) {
  std::string out;
  // Most names are ASCII: they need no conversion call.
  if (std::all_of(w.begin(), w.end(), [](wchar_t c) { return c < 0x80; })) {
    out.assign(w.begin(), w.end());
    return out;
  }
  const int n = static_cast<int>(w.size());
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), n, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return out;
  out.resize(static_cast<size_t>(bytes));
  ::WideCharToMultiByte(CP_UTF8, 0, w.data(), n, out.data(), bytes, nullptr, nullptr);
  return out;
}

namespace {

bool IsSep(wchar_t c) { return c == L'\\' || c == L'/'; }

// The length of the root of an absolute path, "C:\" or "\\server\share\";
// 0 for a path that depends on a current directory.
size_t AbsoluteRoot(std::wstring_view p) {
  if (p.size() >= 3 && std::iswalpha(p[0]) && p[1] == L':' && IsSep(p[2])) return 3;
  if (p.size() < 3 || !IsSep(p[0]) || !IsSep(p[1])) return 0;
  const size_t server = p.find_first_of(L"\\/", 2);
  if (server == std::wstring_view::npos) return p.size();
  const size_t share = p.find_first_of(L"\\/", server + 1);
  return share == std::wstring_view::npos ? p.size() : share + 1;
}

// The system's full path of "C:", "\" or ".": where a path without a full
// root starts.
std::wstring CurrentBase(const wchar_t* head) {
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFullPathNameW(head, static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return {};
    if (n < full.size()) {
      full.resize(n);
      return full;
    }
    full.resize(n);
  }
}

}  // namespace

std::wstring SystemPath(const std::string& path) {
  std::wstring w = Widen(path);
  if (w.empty() || w.starts_with(L"\\\\?\\") || w.starts_with(L"\\\\.\\")) return w;
  // Only the part that depends on a current directory is the system's to
  // resolve; every name after it is kept as it is stored, trailing dots and
  // spaces and device names included, which the "\\?\" form passes through.
  if (AbsoluteRoot(w) == 0) {
    const bool driveRelative = w.size() >= 2 && w[1] == L':';
    const size_t head = driveRelative ? 2 : IsSep(w[0]) ? 1 : 0;
    const std::wstring base = CurrentBase(driveRelative ? w.substr(0, 2).c_str()
                                          : head        ? L"\\"
                                                        : L".");
    if (AbsoluteRoot(base) == 0) return w;
    w = base + L'\\' + w.substr(head);
  }
  const size_t root = AbsoluteRoot(w);
  std::wstring out = w.substr(0, root);
  std::replace(out.begin(), out.end(), L'/', L'\\');
  if (out.back() != L'\\') out += L'\\';
  const size_t top = out.size();
  // "." and ".." are resolved here, as the system would, and never above
  // the root.
  for (size_t at = root; at < w.size();) {
    size_t end = at;
    while (end < w.size() && !IsSep(w[end])) ++end;
    const std::wstring_view name = std::wstring_view(w).substr(at, end - at);
    at = end + 1;
    if (name.empty() || name == L".") continue;
    if (name == L"..") {
      if (out.size() > top) out.resize(out.rfind(L'\\', out.size() - 2) + 1);
      continue;
    }
    out += name;
    out += L'\\';
  }
  if (out.size() > top && !IsSep(w.back())) out.pop_back();
  if (out.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + out.substr(2);
  return L"\\\\?\\" + out;
}

std::wstring_view LastName(std::wstring_view path) {
  while (!path.empty() && IsSep(path.back())) path.remove_suffix(1);
  const size_t sep = path.find_last_of(L"\\/");
  return sep == std::wstring_view::npos ? path : path.substr(sep + 1);
}

bool MayBeShortName(std::wstring_view name) {
  // Up to eight characters, then a dot and up to three; none of the
  // characters that only long names hold. Characters beyond ASCII are
  // counted as one, so that a double-byte short name is never missed.
  const size_t dot = name.find(L'.');
  const size_t base = dot == std::wstring_view::npos ? name.size() : dot;
  const size_t extension = dot == std::wstring_view::npos ? 0 : name.size() - dot - 1;
  if (base == 0 || base > 8 || extension > 3) return false;
  if (dot != std::wstring_view::npos && (extension == 0 || name.find(L'.', dot + 1) != name.npos))
    return false;
  return name.find_first_of(L" +,;=[]") == std::wstring_view::npos;
}

bool SameName(std::wstring_view a, std::wstring_view b) {
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace platform::win32

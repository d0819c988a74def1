// Portable part of the test helpers, over std::filesystem.
#include "support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string_view>
#include <thread>

#include "platform/Platform.h"

namespace fs = std::filesystem;

namespace test {

TempDir::TempDir() {
  std::random_device rd;
  const fs::path base = fs::temp_directory_path();
  for (;;) {
    const fs::path p = base / ("kovrel-test-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = p.string();
      break;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only files and directories are made writable so they can go.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

std::string TempDir::operator/(const std::string& rel) const { return Join(path_, rel); }

std::string Join(const std::string& dir, const std::string& rel) {
  std::string r = rel;
  std::replace(r.begin(), r.end(), '/', platform::PathDelim);
  if (!dir.empty() && dir.back() == platform::PathDelim) return dir + r;
  return dir + platform::PathDelim + r;
}

void MakeDirs(const std::string& path) { fs::create_directories(fs::path(path)); }

void WriteFile(const std::string& path, const std::string& content) {
  const fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(fs::path(path), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool IsFile(const std::string& path) { return fs::is_regular_file(fs::path(path)); }
bool IsDir(const std::string& path) { return fs::is_directory(fs::path(path)); }

std::vector<std::string> ListTree(const std::string& dir) {
  std::vector<std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_regular_file()) files.push_back(fs::relative(it->path(), dir).generic_string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string Opt(const std::string& rest) { return std::string(1, platform::SwitchChar) + rest; }

std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t crlf; (crlf = text.find("\r\n", start)) != std::string::npos; start = crlf + 2) {
    lines.push_back(text.substr(start, crlf - start));
  }
  if (start != text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::string ReportPath(const std::string& exe, int n) {
  const std::string_view suffix = platform::ExeSuffix;
  std::string base = exe;
  if (base.ends_with(suffix)) base.resize(base.size() - suffix.size());
  return base + "Temp" + std::to_string(n) + ".txt";
}

}  // namespace test

// Portable part of the test helpers, over std::filesystem.
#include "support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string_view>
#include <thread>

#include "Workers.h"
#include "platform/Platform.h"

namespace fs = std::filesystem;

namespace test {

namespace {

// Paths are the program's own strings: UTF-8 on Windows, bytes on POSIX,
// which is what char8_t strings give std::filesystem on either.
fs::path P(const std::string& path) { return fs::path(std::u8string(path.begin(), path.end())); }

std::string S(const fs::path& path) {
  const std::u8string u8 = path.u8string();
  return std::string(u8.begin(), u8.end());
}

}  // namespace

TempDir::TempDir() : TempDir(S(fs::temp_directory_path())) {}

TempDir::TempDir(const std::string& base) {
  std::random_device rd;
  for (;;) {
    const fs::path p = P(base) / ("kovrel-test-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = S(p);
      break;
    }
  }
}

TempDir::~TempDir() { RemoveTree(path_); }

std::string TempDir::operator/(const std::string& rel) const { return Join(path_, rel); }

std::string Join(const std::string& dir, const std::string& rel) {
  std::string r = rel;
  std::replace(r.begin(), r.end(), '/', platform::PathDelim);
  if (!dir.empty() && dir.back() == platform::PathDelim) return dir + r;
  return dir + platform::PathDelim + r;
}

void MakeDirs(const std::string& path) { fs::create_directories(P(path)); }

void WriteFile(const std::string& path, const std::string& content) {
  const fs::path p = P(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(P(path), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool IsFile(const std::string& path) { return fs::is_regular_file(P(path)); }
bool IsDir(const std::string& path) { return fs::is_directory(P(path)); }

std::vector<std::string> ListTree(const std::string& dir) {
  std::vector<std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(P(dir), ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    const std::string rel = S(fs::relative(it->path(), P(dir)).generic_u8string());
    if (!platform::IsRunLockName(rel)) files.push_back(rel);
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string Opt(const std::string& rest) { return std::string(1, platform::SwitchChar) + rest; }

size_t TestWorkers() {
  const char* count = std::getenv("KOVREL_TEST_WORKERS");
  return count && *count ? WorkerCountFor(count) : 0;
}

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

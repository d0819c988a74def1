// Names per second through NameFitsMask, which compiles its mask for every
// name: a star-heavy mask against long runs of "a", and a list of 20 everyday
// masks against 100 000 generated names.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "Masks.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr platform::CharRule kRule = platform::CharRule::Utf8;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void StarHeavy() {
  for (const size_t length : {16, 64, 255, 1000, 10000}) {
    const std::string name(length, 'a');
    long fits = 0, names = 0;
    const auto start = Clock::now();
    while (Seconds(start) < 0.5) {
      for (int i = 0; i < 100; ++i, ++names) fits += NameFitsMask(name, "*a*a*a*b", kRule);
    }
    std::printf("*a*a*a*b   name of %5zu x 'a': %12.0f names/s (%ld fit)\n", length,
                names / Seconds(start), fits);
  }
}

std::vector<std::string> MakeNames(size_t count) {
  static const char* const kStems[] = {
      "report", "IMG_", "data",  "Thumbs", "main", "notes", "\xE8\xB3\x87\xE6\x96\x99",
      "backup", "a",    "readme"};
  static const char* const kExtensions[] = {".txt", ".TXT", ".doc", ".xls",    ".JPG", ".cpp",
                                            ".h",   ".bak", "",     ".tar.gz", ".log", "~"};
  std::mt19937 rng(1);
  std::vector<std::string> names;
  names.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    std::string name = kStems[rng() % std::size(kStems)];
    name += std::to_string(rng() % 100000);
    name += kExtensions[rng() % std::size(kExtensions)];
    names.push_back(std::move(name));
  }
  return names;
}

void EverydayMasks() {
  const std::vector<std::string> masks = {
      "*.txt",        "*.bak",    "~*",     "*.tmp",      "[a-c]*.doc",
      "IMG_????.JPG", "*report*", "*.o",    "*.obj",      "*~",
      "#*#",          "*.log",    "*.[ch]", "*.cpp",      "*\xE8\xB3\x87\xE6\x96\x99*",
      "*.x?s",        "[!a-z]*",  "*.*.*",  "Thumbs*.db", "data*[0-9]"};
  const std::vector<std::string> names = MakeNames(100000);
  long fits = 0;
  const auto start = Clock::now();
  for (const std::string& name : names) {
    for (const std::string& mask : masks) fits += NameFitsMask(name, mask, kRule);
  }
  const double seconds = Seconds(start);
  std::printf("20 masks x 100000 names: %.3f s, %12.0f names/s, %12.0f masks/s (%ld fits)\n",
              seconds, names.size() / seconds, names.size() * masks.size() / seconds, fits);
}

}  // namespace

int main() {
  StarHeavy();
  EverydayMasks();
}

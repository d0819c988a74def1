// libFuzzer target: the date reader and the date option on arbitrary values
// under every character rule. Input: one byte choosing the rule, the value.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Characters.h"
#include "CommandLine.h"
#include "Dates.h"

namespace {

const double kFirstValid = static_cast<double>(platform::DayNumber(1, 1, 1));
const double kLastValid = static_cast<double>(platform::DayNumber(9999, 12, 31));

bool IsValidDay(double d) { return d == std::floor(d) && d >= kFirstValid && d <= kLastValid; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  constexpr platform::CharRule kRules[] = {platform::CharRule::Cp932, platform::CharRule::Utf8,
                                           platform::CharRule::SingleByte};
  const platform::CharRule rule = kRules[data[0] % 3];
  const std::string value(reinterpret_cast<const char*>(data + 1), size - 1);

  std::string text = value;
  double date = -1e9;
  const bool ok = ReadDate(text, date, rule);
  if (ok != (date != -1e9)) std::abort();  // written exactly when valid
  if (ok && !IsValidDay(date)) std::abort();
  // The text is left alone or cut to a rest that starts at a character of it.
  if (text != value) {
    if (text.empty() || !value.ends_with(text)) std::abort();
    const size_t start = value.size() - text.size();
    if (CharCopy(value, CharCount(value.substr(0, start), rule) + 1, MaxCount, rule) != text) {
      std::abort();
    }
  }

  double first = -1e9, last = -2e9;
  HandleDateOption(value, first, last, rule);
  if (first != -1e9 && !IsValidDay(first)) std::abort();
  if (last != -2e9 && !IsValidDay(last)) std::abort();
  return 0;
}

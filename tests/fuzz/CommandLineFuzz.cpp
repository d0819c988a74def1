// libFuzzer target: splits arbitrary bytes into command-line words, reads the
// words into the option set, and hands the dates and masks found there to
// their readers under every character rule. Nothing here reaches the disk:
// the help option only counts. Input: one byte choosing the rule (and whether
// empty words are mixed in), the raw command line.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Backup.h"
#include "Characters.h"
#include "CommandLine.h"
#include "Dates.h"
#include "Exceptions.h"
#include "Masks.h"

namespace {

using platform::CharRule;
using platform::DateValue;
using Words = std::vector<std::string>;

void Check(bool ok) {
  if (!ok) std::abort();
}

bool IsBlank(unsigned char c) { return c >= 0x01 && c <= 0x20; }

bool HasBlank(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) { return IsBlank(c); });
}

// Day numbers that no date can give, to see whether a day was written.
constexpr DateValue kNoFirst = -1e9;
constexpr DateValue kNoLast = -2e9;

bool IsValidDay(DateValue d) {
  return d == static_cast<DateValue>(static_cast<int64_t>(d)) &&
         d >= static_cast<DateValue>(platform::DayNumber(1, 1, 1)) &&
         d <= static_cast<DateValue>(platform::DayNumber(9999, 12, 31));
}

void CheckSplit(std::string_view line, const Words& words) {
  // What is left of the line once the quotes and the blanks outside them are
  // gone is the words end to end.
  std::string kept;
  bool quoted = false;
  for (const char c : line) {
    if (c == '"') {
      quoted = !quoted;
    } else if (quoted || !IsBlank(c)) {
      kept += c;
    }
  }
  std::string joined;
  for (const std::string& w : words) {
    Check(!w.empty());
    Check(w.find('"') == std::string::npos);
    joined += w;
  }
  Check(joined == kept);

  const bool hasQuote = line.find('"') != std::string_view::npos;
  if (!hasQuote) {
    // Without quotes the words are exactly the runs of bytes between blanks.
    size_t runs = 0;
    for (size_t i = 0; i < line.size(); ++i) {
      if (!IsBlank(line[i]) && (i == 0 || IsBlank(line[i - 1]))) ++runs;
    }
    Check(runs == words.size());
    for (const std::string& w : words) Check(!HasBlank(w));
  }

  // Each word quoted on its own and the words joined by blanks split back
  // into the same words.
  std::string again;
  for (const std::string& w : words) again += " \"" + w + "\"";
  Check(platform::SplitCommandLine(again) == words);
}

// The items that one mask value adds, checked against the value itself.
void CheckMaskItems(std::string_view value, const Words& list, size_t& next) {
  const size_t semis = static_cast<size_t>(std::count(value.begin(), value.end(), ';'));
  const size_t items = semis + (!value.empty() && value.back() != ';' ? 1 : 0);
  Check(next + items <= list.size());
  std::string joined;
  for (size_t i = 0; i < items; ++i) {
    const std::string& item = list[next + i];
    Check(item.find(';') == std::string::npos);
    if (i > 0) joined += ';';
    joined += item;
  }
  if (!value.empty() && value.back() == ';') joined += ';';
  Check(joined == value);
  next += items;
}

void CheckOptions(const Words& words, const OptionSet& o, int usageCalls) {
  const char delim = platform::PathDelim;
  const char sw = platform::SwitchChar;
  const CharRule active = platform::ActiveCharRule();
  const OptionSet fresh;
  int helps = 0;
  size_t dir = 0, include = 0, exclude = 0;
  bool report = false, keep = false, dry = false;
  DateValue first = fresh.firstDay, last = fresh.lastDay;
  for (const std::string& w : words) {
    if (w.empty()) continue;
    if (w[0] != sw) {
      Check(dir < o.dirList.size());
      const std::string& entry = o.dirList[dir++];
      // The word as typed, and one separator unless its last character is one.
      Check(entry.starts_with(w));
      Check(entry.back() == delim);
      const bool appended = LastChar(w, active) != std::string(1, delim);
      Check(entry.size() == w.size() + (appended ? 1 : 0));
      continue;
    }
    const std::string value = w.size() > 2 ? w.substr(2) : std::string();
    const char letter = w.size() >= 2 ? UpperAscii(w[1]) : '\0';
    if (w.size() >= 2 && w[1] == '?') {
      ++helps;
    } else if (letter == 'D') {
      HandleDateOption(value, first, last, active);
    } else if (letter == 'N') {
      CheckMaskItems(value, o.includeMasks, include);
    } else if (letter == 'E') {
      CheckMaskItems(value, o.excludeMasks, exclude);
    } else if (letter == 'M') {
      report = true;
    } else if (letter == 'A') {
      keep = true;
    } else if (letter == 'T') {
      dry = report = true;
    }
  }
  Check(helps == usageCalls);
  Check(dir == o.dirList.size());
  Check(include == o.includeMasks.size());
  Check(exclude == o.excludeMasks.size());
  Check(report == o.reportOn && keep == o.keepExtra && dry == o.dryRun);
  Check(first == o.firstDay && last == o.lastDay);
  Check(o.firstDay == fresh.firstDay || IsValidDay(o.firstDay));
  Check(o.lastDay == fresh.lastDay || IsValidDay(o.lastDay));
}

// One "/D" value under an explicit rule: which day each form may write.
void CheckDateValue(const std::string& value, CharRule rule) {
  DateValue first = kNoFirst, last = kNoLast;
  HandleDateOption(value, first, last, rule);
  Check(first == kNoFirst || IsValidDay(first));
  Check(last == kNoLast || IsValidDay(last));
  if (!value.empty() && value[0] == '-') {
    Check(first == kNoFirst);
    return;
  }
  if (LastChar(value, rule) == "-") {
    Check(last == kNoLast);
    return;
  }
  std::string text = value;
  DateValue date = kNoFirst;
  const bool ok = ReadDate(text, date, rule);
  Check(first == date);
  if (!ok) {
    Check(last == kNoLast);  // a failed first date sets neither day
  } else if (text.empty() || text[0] != '-') {
    Check(last == first);
  }
}

// Every mask item compiles or is refused at a position inside it (or just
// past its end); a compiled one answers for a name without reading past it.
void CheckMask(std::string_view item, std::string_view name, CharRule rule) {
  // Blocks of exactly their size, so that a read past the end is caught.
  std::unique_ptr<char[]> maskBytes(new char[item.size()]);
  std::unique_ptr<char[]> nameBytes(new char[name.size()]);
  std::memcpy(maskBytes.get(), item.data(), item.size());
  std::memcpy(nameBytes.get(), name.data(), name.size());
  try {
    const TMask m(std::string_view(maskBytes.get(), item.size()), rule);
    m.Accepts(std::string_view(nameBytes.get(), name.size()));
  } catch (const EMaskException& e) {
    const unsigned long fault = std::strtoul(e.Message().c_str(), nullptr, 10);
    Check(fault >= 1 && fault <= item.size() + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  constexpr CharRule kRules[] = {CharRule::Cp932, CharRule::Utf8, CharRule::SingleByte};
  const CharRule rule = kRules[data[0] % 3];
  const bool withEmptyWords = (data[0] & 0x80) != 0;
  const std::string_view line(reinterpret_cast<const char*>(data + 1), size - 1);

  Words words = platform::SplitCommandLine(line);
  CheckSplit(line, words);
  // Where the platform hands over words already split, empty ones may come.
  if (withEmptyWords) {
    words.insert(words.begin(), "");
    words.emplace_back();
  }

  OptionSet options;
  int usageCalls = 0;
  ReadArguments(words, options, [&] { ++usageCalls; });
  CheckOptions(words, options, usageCalls);

  for (const std::string& w : words) {
    if (w.size() >= 2 && w[0] == platform::SwitchChar && UpperAscii(w[1]) == 'D') {
      CheckDateValue(w.substr(2), rule);
    }
  }
  // Bounded, so that one input stays quick: the first masks of each list,
  // asked about a name cut from the line.
  const std::string_view name = line.substr(0, 64);
  for (const Words* list : {&options.includeMasks, &options.excludeMasks}) {
    for (size_t i = 0; i < list->size() && i < 16; ++i) CheckMask((*list)[i], name, rule);
  }
  return 0;
}

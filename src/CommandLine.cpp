// The program's entry and its command line.
#include "CommandLine.h"

#include "Backup.h"
#include "Characters.h"
#include "ConsoleHelp.h"
#include "Dates.h"
#include "Exceptions.h"
#include "HelpDocument.h"

namespace {

// True when the first two bytes of `word` are the switch character and
// `letter`, the second compared in upper case.
bool IsOption(const std::string& word, char letter) {
  return word.size() >= 2 && UpperAscii(word[1]) == letter;
}

}  // namespace

void AppendMasks(std::string_view value, std::vector<std::string>& list) {
  for (size_t semi; (semi = value.find(';')) != std::string_view::npos;) {
    list.emplace_back(value.substr(0, semi));
    value.remove_prefix(semi + 1);
  }
  if (!value.empty()) list.emplace_back(value);
}

void ReadArguments(const std::vector<std::string>& words, OptionSet& options,
                   const std::function<void()>& showUsage) {
  const std::string delim(1, platform::PathDelim);
  for (const std::string& word : words) {
    if (word.empty()) continue;
    if (word[0] != platform::SwitchChar) {
      std::string dir = word;
      if (LastChar(dir, platform::PathCharRule()) != delim) dir += delim;
      options.dirList.push_back(std::move(dir));
      continue;
    }
    // Masks and dates mean what they mean in the ANSI code page.
    const std::string value =
        word.size() > 2 ? platform::AnsiSpelling(word.substr(2)) : std::string();
    if (word.size() >= 2 && word[1] == '?') {
      showUsage();
    } else if (IsOption(word, 'D')) {
      HandleDateOption(value, options.firstDay, options.lastDay);
    } else if (IsOption(word, 'N')) {
      AppendMasks(value, options.includeMasks);
    } else if (IsOption(word, 'E')) {
      AppendMasks(value, options.excludeMasks);
    } else if (IsOption(word, 'M')) {
      options.reportOn = true;
    } else if (IsOption(word, 'A')) {
      options.keepExtra = true;
    } else if (IsOption(word, 'T')) {
      options.dryRun = true;
      options.reportOn = true;
    }
    // Anything else is ignored without a message.
  }
}

int KovrelMain(const std::vector<std::string>& words) {
  try {
    if (AnswerConsoleOption(words)) return 0;
    OptionSet options;
    ReadArguments(words, options, ShowUsage);
    // 2: the run went to its end, but something it decided could not be done.
    if (options.dirList.size() >= 2 && !RunBackup(options)) {
      return 2;
    }
  } catch (const Exception& e) {
    platform::ShowFatalError(FormatFatalError(e, platform::ExecutableFileName()));
    return 1;
  }
  return 0;
}

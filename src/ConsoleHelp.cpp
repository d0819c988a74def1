// "--help" and "--version" on standard output.
#include "ConsoleHelp.h"

#include <cstdio>

#include "HelpDocument.h"
#include "VersionInfo.h"
#include "platform/Platform.h"

std::string ConsoleUsage(const std::string& program) {
  const std::string& p = program;
  return "Usage: " + p +
         " SRC BK1 [BK2 BK3 ...] [options]\n"
         "\n"
         "Keeps generations of backups of the directory tree SRC. New and changed files\n"
         "are copied into BK1; the copy a new one replaces moves down to BK2, that one's\n"
         "to BK3, and the last stage's copy is dropped. Files gone from SRC leave BK1\n"
         "the same way.\n"
         "\n"
         "Options, in upper or lower case, anywhere on the line:\n"
         "  -Dyy-mm-dd   only files last written on that day; yy-mm-dd- that day and\n"
         "               after, -yy-mm-dd up to it, yy-mm-dd-yy-mm-dd the period\n"
         "  -Nmasks      only files whose names match one of the ;-separated masks\n"
         "  -Emasks      leave out files whose names match one of the masks\n"
         "  -A           keep files that BK1 holds and SRC no longer does\n"
         "  -T           dry run: change nothing, report what a run would do\n"
         "  -M           show the list of copied and removed files after the run\n"
         "  -?           write and show the help document (Japanese)\n"
         "  --help       show this text and exit\n"
         "  --version    show the version and exit\n"
         "\n"
         "Reports (" +
         p + "Temp1.txt, ...) and the help document (" + p +
         ".txt) are\n"
         "written beside the program, or in $XDG_STATE_HOME/kovrel/ (default\n"
         "~/.local/state/kovrel/) when its directory takes no files, and shown with\n"
         "xdg-open in a desktop session, else with $PAGER on a terminal.\n"
         "\n"
         "Exit status: 0 a clean run, 1 an error that stopped the program, 2 a run in\n"
         "which single files failed.\n"
         "\n"
         "See kovrel(1).\n";
}

std::string ConsoleVersion(const std::string& program, const std::string& productName,
                           const std::string& productVersion, const std::string& fileVersion) {
  return program + " (" + productName + ") " + productVersion + " (" + fileVersion + ")\n" +
         "Copyright (c) 2026 The Kovrel developers\n"
         "MIT License: free to use, copy, change and give away, without warranty.\n";
}

bool AnswerConsoleOption(const std::vector<std::string>& words) {
  // Where '/' starts an option, these words are directories like any other.
  if (platform::SwitchChar != '-') return false;
  for (const std::string& word : words) {
    if (word != "--help" && word != "--version") continue;
    const std::string program = platform::ExecutableFileName();
    const std::string text =
        word == "--help" ? ConsoleUsage(program)
                         : ConsoleVersion(program, TrimBlanks(ReadVersionString(vkProductName)),
                                          TrimBlanks(ReadVersionString(vkProductVersion)),
                                          TrimBlanks(ReadVersionString(vkFileVersion)));
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return true;
  }
  return false;
}

// What a model stage (tests/support/ModelStageFs) can do, and the words of
// its command line that say so; the helper and the tests' fixture share them.
// O_TMPFILE is never among them: FUSE has it only where the file system
// serves a tmpfile call, which no stage people back up to does.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

namespace test {

struct StageCaps {
  bool renameFlags = true;    // renameat2 flags (RENAME_NOREPLACE ...); else EINVAL
  bool links = true;          // hard links; else EPERM
  bool symlinks = true;       // else EPERM
  bool mknod = true;          // fifos and devices; else EPERM
  bool owners = true;         // else every entry is the mounting user's, another is EPERM
  bool modes = true;          // else bits read 0755 and a chmod of them is kept silently
  bool xattrs = true;         // else ENOTSUP
  bool foldsCase = false;     // names match up to case; listings show the stored spelling
  bool refusesNames = false;  // FAT's : ? * " < > | \, a control byte, a trailing dot or space
  long long clockNs = 1;      // times are cut down to it: 1 ns, 10 ms, 1 s or 2 s

  // FAT: nothing of the above but names refused, case folded and a 2 s clock.
  static StageCaps Harshest() {
    return {false, false, false, false, false, false, false, true, true, 2000000000};
  }
};

// The switches, each the word of a capability that departs from ext4.
struct CapsWord {
  const char* word;
  bool StageCaps::*cap;
  bool departs;  // the value that the word sets
};
inline const CapsWord kCapsWords[] = {
    {"--no-rename-flags", &StageCaps::renameFlags, false},
    {"--no-links", &StageCaps::links, false},
    {"--no-symlinks", &StageCaps::symlinks, false},
    {"--no-mknod", &StageCaps::mknod, false},
    {"--no-owners", &StageCaps::owners, false},
    {"--no-chmod", &StageCaps::modes, false},
    {"--no-xattrs", &StageCaps::xattrs, false},
    {"--folds-case", &StageCaps::foldsCase, true},
    {"--refuses-names", &StageCaps::refusesNames, true},
};

inline std::vector<std::string> CapsArguments(const StageCaps& caps) {
  std::vector<std::string> args;
  for (const CapsWord& w : kCapsWords) {
    if (caps.*w.cap == w.departs) args.push_back(w.word);
  }
  if (caps.clockNs > 1) args.push_back("--clock-ns=" + std::to_string(caps.clockNs));
  return args;
}

// False for a word that is no switch.
inline bool ReadCapsArgument(const std::string& arg, StageCaps& caps) {
  if (arg == "--harshest") {
    caps = StageCaps::Harshest();
    return true;
  }
  const std::string clock = "--clock-ns=";
  if (arg.compare(0, clock.size(), clock) == 0) {
    caps.clockNs = std::strtoll(arg.c_str() + clock.size(), nullptr, 10);
    return caps.clockNs > 0;
  }
  for (const CapsWord& w : kCapsWords) {
    if (arg == w.word) {
      caps.*w.cap = w.departs;
      return true;
    }
  }
  return false;
}

}  // namespace test

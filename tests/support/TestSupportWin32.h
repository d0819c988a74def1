// Test helpers that only the Windows tests (*Win32Test.cpp) use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test {

// The 8.3 alias of an existing path; empty when the system gives none.
std::string ShortPath(const std::string& path);

// Names that Win32 path rules alter (a trailing dot or space, CON, NUL,
// aux.txt), reached as they are stored: "\\?\" + the full path `path`.
// SetLocalMTime takes such a path as it is.
std::string AsStored(const std::string& path);
// Writes a file there, making the folders on the way; reads one back; the
// files below `dir`, relative with "/", sorted (the run's lock file left out).
void WriteStored(const std::string& path, const std::string& content);
std::string ReadStored(const std::string& path);
std::vector<std::string> ListStoredTree(const std::string& dir);

// The attributes of a path as the file system stores them (all bits set when
// it cannot be looked up), and setting them (0: none).
uint32_t Attributes(const std::string& path);
void SetAttributes(const std::string& path, uint32_t attr);

// The change time of a path (100 ns steps, UTC), which every set of its
// times or attributes moves, even to the values it had; 0 when unread.
int64_t ChangeTime(const std::string& path);
// Waits until the clock is past `time` by more than a tick of the file
// system's clock, so that a change made from now on gives a later time.
void WaitPastChangeTime(int64_t time);

}  // namespace test

// The listing of one directory as the walk reads it, and listings that
// workers read ahead of the walk.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ThreadSafety.h"
#include "Workers.h"
#include "platform/Platform.h"

// The entries of one directory, "." and ".." included. The names are kept end
// to end in one buffer, so that a listing costs no allocation per entry.
class Listing {
 public:
  struct Item {
    size_t nameAt = 0;
    size_t nameLen = 0;
    uint32_t attr = 0;
    uint64_t size = 0;
    platform::FileTime time = 0;
    uint32_t links = 0;   // of a file with more than one name, else 0
    platform::FileId id;  // of a file with more than one name
  };

  // Lists dir + "*.*" with every attribute admitted; `dir` ends with the
  // separator. A directory that cannot be listed gives no entries, and
  // leaves the platform error set. With `kindsOnly` the entries carry their
  // names and kinds but no times or sizes, which spares a stat per entry
  // where the platform can. `admit` may add entries that could not be looked
  // up (faUnreadable).
  void Read(platform::FileSystem& fs, const std::string& dir, bool kindsOnly = false,
            uint32_t admit = platform::faAnyFile);

  const std::vector<Item>& Items() const { return items_; }
  std::string_view Name(const Item& item) const {
    return std::string_view(names_).substr(item.nameAt, item.nameLen);
  }

  // Leaves out the entries for which `drop(name, attr)` is true.
  void Drop(const std::function<bool(std::string_view, uint32_t)>& drop);

  // Gives `item` the name `name`: the one under which the walk knows what a
  // file system that folds case holds under another spelling.
  void Respell(const Item& item, std::string_view name);

  // The entry of exactly this name (byte for byte), or null. The first call
  // builds a hash index of the names; each lookup then compares one or two.
  const Item* Find(std::string_view name);

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  void BuildIndex();

  std::string names_;
  std::vector<Item> items_;
  std::vector<uint32_t> index_;
};

// What the reads ahead hold that the walk has not taken: how many, and the
// entries of their listings. Atomic, with no lock: a worker adds what it
// read, and whichever thread lets a read go last takes it off.
struct AheadHeld {
  std::atomic<size_t> reads = 0;
  std::atomic<size_t> entries = 0;
};

// A listing that a worker reads before the walk gets to its directory: on a
// share each entry's stat is a round trip, and the listings of the next
// directories read side by side take them out of the walk's time.
class ListingAhead {
 public:
  ListingAhead(std::string dir, uint32_t admit, AheadHeld& held)
      : dir_(std::move(dir)), admit_(admit), held_(held) {}
  ~ListingAhead();
  ListingAhead(const ListingAhead&) = delete;
  ListingAhead& operator=(const ListingAhead&) = delete;

  // On a worker.
  void Read(platform::FileSystem& fs) EXCLUDES(mutex_);
  // Waits for the read and gives its listing to `out`, with the platform
  // error it left, as a Read on this thread would.
  void TakeInto(Listing& out) EXCLUDES(mutex_);

 private:
  void Release() REQUIRES(mutex_);

  const std::string dir_;
  const uint32_t admit_;
  AheadHeld& held_;
  Mutex mutex_;
  std::condition_variable done_;
  bool read_ GUARDED_BY(mutex_) = false;
  bool released_ GUARDED_BY(mutex_) = false;
  Listing listing_ GUARDED_BY(mutex_);
  size_t entries_ GUARDED_BY(mutex_) = 0;
  unsigned long error_ GUARDED_BY(mutex_) = 0;
};

// A lookup of one path that a worker makes before the walk needs it.
class LookupAhead {
 public:
  LookupAhead(std::string path, AheadHeld& held) : path_(std::move(path)), held_(held) {}
  ~LookupAhead() { --held_.reads; }
  LookupAhead(const LookupAhead&) = delete;
  LookupAhead& operator=(const LookupAhead&) = delete;

  // On a worker.
  void Read(platform::FileSystem& fs) EXCLUDES(mutex_);
  // Waits for the lookup: what FileSystem::Find gave.
  bool Take(platform::DirEntry& out) EXCLUDES(mutex_);

 private:
  const std::string path_;
  AheadHeld& held_;
  Mutex mutex_;
  std::condition_variable done_;
  bool read_ GUARDED_BY(mutex_) = false;
  bool found_ GUARDED_BY(mutex_) = false;
  platform::DirEntry entry_ GUARDED_BY(mutex_);
};

// Starts the listings (and lookups) read ahead, on threads of their own:
// the copies of a batch never wait behind them, nor they behind a batch. At
// most kMaxHeld reads are held, not yet taken or dropped, and none begins
// while they hold kMaxHeldEntries entries (about 4 MiB): a tree of huge
// directories is read ahead less, not with more memory.
class ReadAhead {
 public:
  ReadAhead(platform::FileSystem& fs, size_t threads) : fs_(fs), pool_(threads) {}
  ~ReadAhead() { Wait(); }

  size_t Size() const { return pool_.Size(); }
  // Returns once every read begun has run.
  void Wait() { pool_.Wait(); }
  // A read of `dir` begun on a worker; null when there are no workers or as
  // many held as allowed, and the walk reads it itself.
  std::shared_ptr<ListingAhead> Start(const std::string& dir, uint32_t admit);
  // The same for a lookup of `path`.
  std::shared_ptr<LookupAhead> StartLookup(const std::string& path);

 private:
  static constexpr size_t kMaxHeld = 256;
  static constexpr size_t kMaxHeldEntries = 1 << 16;
  bool Full() const;
  // A read of kind T begun on a worker, unless Full.
  template <typename T, typename... Args>
  std::shared_ptr<T> Begin(const Args&... args) {
    if (Full()) return nullptr;
    ++held_.reads;
    auto ahead = std::make_shared<T>(args..., held_);
    pool_.Submit([this, ahead] { ahead->Read(fs_); });
    return ahead;
  }

  platform::FileSystem& fs_;
  AheadHeld held_;
  WorkerPool pool_;  // last: its threads end before what they use
};

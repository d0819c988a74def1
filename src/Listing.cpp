#include "Listing.h"

#include "Characters.h"

namespace {

size_t Hash(std::string_view name) {
  const uint64_t h = Fnv1a(name);
  return static_cast<size_t>(h ^ (h >> 32));
}

}  // namespace

void Listing::Read(platform::FileSystem& fs, const std::string& dir, bool kindsOnly,
                   uint32_t admit) {
  names_.clear();
  items_.clear();
  index_.clear();
  const auto add = [this](const platform::DirEntry& e) {
    items_.push_back({names_.size(), e.name.size(), e.attr, e.size, e.time, e.links, e.id});
    names_ += e.name;
  };
  if (kindsOnly) {
    fs.ListKinds(dir + "*.*", admit, add);
  } else {
    fs.List(dir + "*.*", admit, add);
  }
}

void Listing::Drop(const std::function<bool(std::string_view, uint32_t)>& drop) {
  const size_t before = items_.size();
  std::erase_if(items_, [&](const Item& item) { return drop(Name(item), item.attr); });
  if (items_.size() != before) index_.clear();
}

void Listing::Respell(const Item& item, std::string_view name) {
  Item& it = items_[static_cast<size_t>(&item - items_.data())];
  it.nameAt = names_.size();
  it.nameLen = name.size();
  names_ += name;
  index_.clear();
}

const Listing::Item* Listing::Find(std::string_view name) {
  if (index_.empty() && !items_.empty()) BuildIndex();
  if (index_.empty()) return nullptr;
  const size_t mask = index_.size() - 1;
  for (size_t slot = Hash(name) & mask;; slot = (slot + 1) & mask) {
    const uint32_t at = index_[slot];
    if (at == kEmpty) return nullptr;
    if (Name(items_[at]) == name) return &items_[at];
  }
}

// Open addressing, at most half full.
void Listing::BuildIndex() {
  size_t size = 16;
  while (size < items_.size() * 2) size *= 2;
  index_.assign(size, kEmpty);
  for (size_t i = 0; i < items_.size(); ++i) {
    size_t slot = Hash(Name(items_[i])) & (size - 1);
    while (index_[slot] != kEmpty) slot = (slot + 1) & (size - 1);
    index_[slot] = static_cast<uint32_t>(i);
  }
}

void ListingAhead::Read(platform::FileSystem& fs) {
  Listing listing;
  listing.Read(fs, dir_, false, admit_);
  const unsigned long error = platform::LastErrorCode();
  const MutexLock lock(mutex_);
  entries_ = listing.Items().size();
  held_.entries += entries_;
  listing_ = std::move(listing);
  error_ = error;
  read_ = true;
  done_.notify_all();
}

void ListingAhead::TakeInto(Listing& out) {
  const MutexLock lock(mutex_);
  while (!read_) mutex_.Wait(done_);
  out = std::move(listing_);
  platform::SetLastErrorCode(error_);
  Release();  // the walk holds it now
}

ListingAhead::~ListingAhead() {
  const MutexLock lock(mutex_);
  Release();
}

// Once taken, or dropped: a listing is dropped only once read, since the
// worker that reads it holds it meanwhile.
void ListingAhead::Release() {
  if (released_) return;
  released_ = true;
  held_.entries -= entries_;
  --held_.reads;
}

bool ReadAhead::Full() const {
  return pool_.Size() == 0 || held_.reads.load() >= kMaxHeld ||
         held_.entries.load() >= kMaxHeldEntries;
}

void LookupAhead::Read(platform::FileSystem& fs) {
  platform::DirEntry entry;
  const bool found = fs.Find(path_, platform::faAnyFile, entry);
  const MutexLock lock(mutex_);
  found_ = found;
  entry_ = std::move(entry);
  read_ = true;
  done_.notify_all();
}

bool LookupAhead::Take(platform::DirEntry& out) {
  const MutexLock lock(mutex_);
  while (!read_) mutex_.Wait(done_);
  out = std::move(entry_);
  return found_;
}

std::shared_ptr<LookupAhead> ReadAhead::StartLookup(const std::string& path) {
  return Begin<LookupAhead>(path);
}

std::shared_ptr<ListingAhead> ReadAhead::Start(const std::string& dir, uint32_t admit) {
  return Begin<ListingAhead>(dir, admit);
}

// What the walk reads ahead of itself. The walk itself is Walker's (its
// steps in Walk.cpp, Files.cpp, Transfer.cpp and EmptiedDirs.cpp).
#pragma once

#include <memory>

#include "Listing.h"

// The listings of a directory that readers read ahead of the walk.
struct Ahead {
  std::shared_ptr<ListingAhead> source;
  std::shared_ptr<ListingAhead> stage1;
};

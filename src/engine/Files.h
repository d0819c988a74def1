// What the walk asks of the files of one visited directory without a run:
// which stage-1 names a stopped run left.
#pragma once

#include "Listing.h"
#include "engine/Visit.h"

// What a stopped run left in this stage-1 directory: a staging name that
// the source lacks. Only a run that holds the lock writes there, so none is
// another run's.
bool Leftover(Visit& v, const Listing::Item& item);

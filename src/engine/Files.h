// The files of one visited directory: which source files are copied into
// stage 1 (or linked there), and which stage-1 files are stale.
#pragma once

#include <string>
#include <string_view>

#include "Listing.h"
#include "engine/Run.h"
#include "engine/Visit.h"

// Every source file that passes the filters and that stage 1 lacks, or
// holds in an older version, is copied (after a rotation).
void BackupFiles(Run& run, Visit& v);
// Stage-1 files that the source lacks leave stage 1, once the listing is
// complete.
void RetireStaleFiles(Run& run, Visit& v);
// What a stopped run left in this stage-1 directory: a staging name that
// the source lacks. Only a run that holds the lock writes there, so none is
// another run's.
bool Leftover(Visit& v, const Listing::Item& item);
// The stage-1 leftovers of the visit go, without a word: from its listing,
// or with KeepExtra, which lists no stage 1, before its first copy.
void ClearLeftovers(Run& run, Visit& v);
// The stage-1 file `name` leaves stage 1 as the source no longer has it
// (or has it as a directory).
void Retire(Run& run, Visit& v, const std::string& name);
// Whether the source directory (listed as `source`, spelled `dir`) has an
// entry of this name of the wanted kind; one that cannot be looked up
// counts as there, and is told.
bool SourceHas(Run& run, Listing& source, std::string& dir, std::string_view name, bool wantDir);

// TallyrootModule: the size analysis.
//
// A listing is one walk of the listed folder in mode AllHere with ListEntry
// for every entry and FinishListing at its end. ListEntry appends the entry's
// row; for a folder it runs the folder step, which copies the folder's total
// from the cache or measures it: one nested walk per folder below it that is
// not cached, with MeasureEntry and FinishMeasure, the row's size cell
// growing as files are found. Every folder walked to its end leaves its total
// in the cache (deepest first), unless a bind mount of a folder around it cut
// its walk short: such a total holds only what this walk could reach. Beside
// each total goes the number of folders at or below it that could not be
// read, in the cache and in the row, which shows it as a mark.
// FinishListing works out the listed folder's total, writes both share
// columns and turns sorting on. The listed folder's total is kept on the
// same terms, so one whose walk reached above it (a bind mount of its
// parent) is not.
//
// Everything runs on one thread. The callbacks reach the window only through
// the ListingWindow given to SetWindow, and give it an event pass after every
// entry. When a walk comes back with AbortScan set (the window is closing),
// every level returns at once: no further row, cell, cache entry or event
// pass, and nothing partial is cached.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "analysis/folder_cache.h"
#include "analysis/listing_window.h"

namespace TallyrootModule {

// Set only by the closing of the window; cleared by every walk as it starts.
extern bool AbortScan;

// The innermost folder being measured: its cache key (ending with the
// separator) and its running total. Outer folders' pairs are kept by the
// MeasureEntry calls that started the inner walks.
extern KeyPath MeasurePath;
extern std::uint64_t MeasureSize;
extern std::uint32_t MeasureUnread;  // folders below it that could not be read

// Whether the folder that the last listing walked could not be read; set by
// FinishListing.
extern bool ListedFolderUnread;

// The window the callbacks fill; must outlive every walk.
void SetWindow(ListingWindow* window);

// One listing of `folder` into the window's list: empties the list, turns
// its sorting off, walks the folder in mode AllHere with ListEntry and
// FinishListing, and lets the list's views hear of every row. Throws what
// FinishListing throws, with the rows listed so far not yet flushed.
void RunListing(const std::string& folder);

// Callbacks of the listing walk.
void ListEntry();
void FinishListing();

// Callbacks of a measurement walk.
void MeasureEntry();
void FinishMeasure();

// The folder step of ListEntry for the last row: copies the folder's total
// from the cache or measures it. `key` is the folder's path with the
// separator, and FoundEntry still describes its entry. Returns true when the
// walk was aborted.
bool MeasureFolder(const std::string& key);

// Raised by FinishListing when the root's total is no longer cached (after
// 100000 newer folders). The folder shares are written by then; the root
// shares and the sorting are not.
class RootTotalMissing : public std::runtime_error {
 public:
  RootTotalMissing() : std::runtime_error("Error") {}
};

}  // namespace TallyrootModule

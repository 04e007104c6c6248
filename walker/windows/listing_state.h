// What the Windows platform layer differs in: its constants and the state of
// an open listing (see walker/folder_listing.h). No Windows header is
// included here, so that nothing above the walker sees one.
#pragma once

#include <cstddef>
#include <memory>

namespace tallyroot::platform {

// Separates folders in paths. Stored and passed folder paths end with it.
inline constexpr char kSeparator = '\\';

// The path a new window offers: the root of the usual system drive.
inline constexpr char kInitialPath[] = "C:\\";

struct FindBuffer;
class ReadAheadLevel;

struct ListingState {
  void* find = nullptr;          // the search handle, when the folder could be listed
  FindBuffer* buffer = nullptr;  // borrowed from a per-thread pool: the entry and its name
  bool pending = false;          // the buffer holds an entry not given out yet
  std::size_t cutAbove = 0;      // the cycle mark of the listing around this one, kept for it
  std::unique_ptr<ReadAheadLevel> ahead;  // set when read-ahead serves this listing
};

}  // namespace tallyroot::platform

// What the POSIX platform layer differs in: its constants and the state of
// an open listing (see walker/folder_listing.h).
#pragma once

#include <cstddef>
#include <memory>

namespace tallyroot::platform {

// Separates folders in paths. Stored and passed folder paths end with it.
inline constexpr char kSeparator = '/';

// The path a new window offers: the root of every path here.
inline constexpr char kInitialPath[] = "/";

class ReadAheadLevel;

struct ListingState {
  int fd = -1;
  char* buffer = nullptr;  // borrowed from a per-thread pool
  long filled = 0;
  long offset = 0;
  std::size_t cutAbove = 0;  // the cycle mark of the listing around this one, kept for it
  long long nextOffset = 0;  // where the entry after the one given out last begins
  long long parkedAt = -1;   // while a deep listing inside holds the descriptor: where to go on
  std::unique_ptr<ReadAheadLevel> ahead;  // set when read-ahead serves this listing
};

}  // namespace tallyroot::platform

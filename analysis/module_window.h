// For the module's own files.
#pragma once

#include <cstdint>
#include <string>

#include "analysis/listing_window.h"

namespace TallyrootModule {

// The window that SetWindow named.
ListingWindow& Window();

// The cache key (and row tag) of the folder in FoundEntry: its full path
// with the separator appended.
std::string FolderKeyOfFoundEntry();

// The folders at or below the one whose walk has just ended (its OnDone runs,
// or FindFiles has returned) that could not be read.
std::uint32_t UnreadAtWalkEnd();

}  // namespace TallyrootModule

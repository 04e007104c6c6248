// For the module's own files.
#pragma once

#include <string>

#include "analysis/listing_window.h"

namespace TallyrootModule {

// The window that SetWindow named.
ListingWindow& Window();

// The cache key (and row tag) of the folder in FoundEntry: its full path
// with the separator appended.
std::string FolderKeyOfFoundEntry();

}  // namespace TallyrootModule

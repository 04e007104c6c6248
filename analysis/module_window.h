// For the module's own files: the window that SetWindow named.
#pragma once

#include "listing_window.h"

namespace TallyrootModule {
ListingWindow& Window();
}

// Sets the walker's read-ahead for one scope: walks whose outermost listing
// opens meanwhile use the settings given, and the settings found are put
// back at the end of the scope.
#pragma once

#include "walker/folder_listing.h"

namespace tallyroot::testing {

class ScopedReadAhead {
 public:
  explicit ScopedReadAhead(const platform::ReadAheadSettings& settings)
      : saved_(platform::GetReadAhead()) {
    platform::SetReadAhead(settings);
  }
  // Only turns it on or off; helpers and bound stay as they are.
  explicit ScopedReadAhead(bool on) : ScopedReadAhead(With(on)) {}
  ~ScopedReadAhead() { platform::SetReadAhead(saved_); }
  ScopedReadAhead(const ScopedReadAhead&) = delete;
  ScopedReadAhead& operator=(const ScopedReadAhead&) = delete;

 private:
  static platform::ReadAheadSettings With(bool on) {
    platform::ReadAheadSettings settings = platform::GetReadAhead();
    settings.on = on;
    return settings;
  }

  platform::ReadAheadSettings saved_;
};

}  // namespace tallyroot::testing

// Sets the walker's read-ahead for walks whose outermost listing opens within
// the scope, and puts back the settings found at its end.
#pragma once

#include "walker/read_ahead/read_ahead.h"

namespace tallyroot::testing {

class ScopedReadAhead {
 public:
  explicit ScopedReadAhead(const platform::ReadAheadSettings& settings) {
    platform::SetReadAhead(settings);
  }
  // Only turns it on or off; helpers and bound stay as they are.
  explicit ScopedReadAhead(bool on) {
    platform::ReadAheadSettings settings = saved_;
    settings.on = on;
    platform::SetReadAhead(settings);
  }
  ~ScopedReadAhead() { platform::SetReadAhead(saved_); }
  ScopedReadAhead(const ScopedReadAhead&) = delete;
  ScopedReadAhead& operator=(const ScopedReadAhead&) = delete;

 private:
  const platform::ReadAheadSettings saved_ = platform::GetReadAhead();
};

}  // namespace tallyroot::testing

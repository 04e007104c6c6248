// The walker's read-ahead for walks begun within the scope; the old settings come back after.
#pragma once

#include "walker/read_ahead/read_ahead.h"

namespace tallyroot::testing {

class ScopedReadAhead {
 public:
  explicit ScopedReadAhead(const platform::ReadAheadSettings& settings) {
    platform::SetReadAhead(settings);
  }
  explicit ScopedReadAhead(bool on) {  // the rest stays
    platform::SetReadAhead({on, saved_.helpers, saved_.maxBytesAhead, saved_.pace});
  }
  ~ScopedReadAhead() { platform::SetReadAhead(saved_); }
  ScopedReadAhead(const ScopedReadAhead&) = delete;

 private:
  const platform::ReadAheadSettings saved_ = platform::GetReadAhead();
};

}  // namespace tallyroot::testing

// Which form of search each volume answers, decided without a system call
// so that it is tested on every platform over a layer that refuses.
//
// A search asks first for the fast form: the basic information level (no
// 8.3 short name) in large batches. Some redirectors and NAS servers do not
// know it and refuse the whole search, with one of the errors below; their
// folders would then look unreadable and empty. Such a search is made once
// more in the plain form (the standard level, no flags), and a volume that
// answered so is searched in the plain form from then on, by every thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

#include "walker/windows/path_rules.h"

namespace tallyroot::platform::windows {

// The errors with which a search is refused for its form rather than for
// the folder: ERROR_INVALID_FUNCTION, ERROR_GEN_FAILURE, ERROR_NOT_SUPPORTED,
// ERROR_INVALID_PARAMETER, ERROR_INVALID_LEVEL.
inline bool RefusesFastSearch(std::uint32_t error) {
  return error == 1 || error == 31 || error == 50 || error == 87 || error == 124;
}

// The volumes found to refuse the fast form, for the life of the process:
// a search pattern's volume is its drive or share ("\\?\C:\",
// "\\?\UNC\server\share\"). Any thread may ask and add; asking costs one
// atomic load until some volume has refused.
template <typename Wide>
class PlainSearchVolumes {
 public:
  using View = std::basic_string_view<typename Wide::value_type>;

  static View VolumeOf(View pattern) { return pattern.substr(0, rules::RootLength(pattern)); }

  bool Has(View volume) const {
    if (!any_.load(std::memory_order_acquire)) return false;
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::find(volumes_.begin(), volumes_.end(), volume) != volumes_.end();
  }
  void Add(View volume) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(volumes_.begin(), volumes_.end(), volume) == volumes_.end())
      volumes_.emplace_back(volume);
    any_.store(true, std::memory_order_release);
  }
  void Clear() {
    const std::lock_guard<std::mutex> lock(mutex_);
    volumes_.clear();
    any_.store(false, std::memory_order_release);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Wide> volumes_;
  std::atomic<bool> any_{false};
};

// Opens the search of `pattern` (in the long form) with `open(fast)`, which
// returns the search or `invalid`, the error then in `lastError()`: in the
// fast form unless its volume is known to refuse it, and once more in the
// plain form when the fast one is refused. The volume is remembered when
// the plain form then answers (a search, or an error about the folder).
template <typename Wide, typename Handle, typename Open, typename LastError>
Handle OpenSearch(typename PlainSearchVolumes<Wide>::View pattern,
                  PlainSearchVolumes<Wide>& plainVolumes, Handle invalid, Open open,
                  LastError lastError) {
  const auto volume = PlainSearchVolumes<Wide>::VolumeOf(pattern);
  if (plainVolumes.Has(volume)) return open(false);
  const Handle fast = open(true);
  if (fast != invalid || !RefusesFastSearch(lastError())) return fast;
  const Handle plain = open(false);
  if (plain != invalid || !RefusesFastSearch(lastError())) plainVolumes.Add(volume);
  return plain;
}

}  // namespace tallyroot::platform::windows

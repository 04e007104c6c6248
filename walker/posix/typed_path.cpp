// On POSIX a typed path is used as it is: the file system tells letter case
// apart, and a relative path is read against the working folder each time
// it is walked.
#include "walker/typed_path.h"

namespace tallyroot::platform {

std::optional<std::string> TypedFolderPath(std::string_view typed, const bool&) {
  return std::string(typed);
}

}  // namespace tallyroot::platform

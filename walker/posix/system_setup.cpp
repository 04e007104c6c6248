#include "walker/system_setup.h"

namespace tallyroot::platform {

// No POSIX call shows a box.
void QuietCriticalErrors() {}

}  // namespace tallyroot::platform

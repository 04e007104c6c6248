#include "walker/system_setup.h"

#include <windows.h>

namespace tallyroot::platform {

// Without it, a search of a drive with no medium (an empty card reader, a
// CD drive) asks the user with a system box to insert one, and the walk
// waits for the answer.
void QuietCriticalErrors() { SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS); }

}  // namespace tallyroot::platform

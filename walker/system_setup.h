// What the program asks of the system once, at start, before any folder is
// listed; each platform's own (walker/posix/, walker/windows/system_setup.cpp).
#pragma once

namespace tallyroot::platform {

// Keeps the system from stopping the program with a box of its own when a
// drive it looks at has no medium or a device fails: the listing then just
// fails, and the folder counts as unread. Nothing to do on POSIX.
void QuietCriticalErrors();

}  // namespace tallyroot::platform

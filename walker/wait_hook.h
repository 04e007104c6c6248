// The wait hook that FindFilesModule::SetWaitHook sets, for the walker's own
// waits on the device outside a walk (typed_path.h).
#pragma once

namespace tallyroot::platform {

// Calls the wait hook, if one is set; on the thread that waits.
void CallWaitHook();

}  // namespace tallyroot::platform

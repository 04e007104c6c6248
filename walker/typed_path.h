// What a path that a person typed becomes before the program keeps it; each
// platform's own (walker/posix/typed_path.cpp, walker/windows/typed_path.cpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tallyroot::platform {

// The folder that `typed` (the path box's text, trimmed and not empty)
// names, in the form every later path is made from; empty when nothing is
// left of it. On Windows: without the quotes around it, "/" read as "\",
// made absolute against the working folder once (a relative path never
// changes its meaning later), with the system's own reading of the path
// (a trailing "." or space of a name dropped, as Explorer does), and each
// folder's name in the letter case the file system stores it in, which
// is what lets the folder size cache, whose keys are exact, find totals
// for paths that differ only in how they were typed. A text holding a NUL
// stays as it is, as it never names a folder. Elsewhere `typed` itself.
// The result need not end with the separator.
//
// On Windows the file system is asked on a thread of its own, as a share
// may take seconds to answer and the caller is the window's thread: the
// caller meanwhile calls the wait hook (FindFilesModule::SetWaitHook) every
// few milliseconds. Once `stop` is found set after a call, it returns
// nothing at once, and the asking thread ends by itself.
std::optional<std::string> TypedFolderPath(std::string_view typed, const bool& stop);

}  // namespace tallyroot::platform

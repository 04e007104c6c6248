// A stack for walks nested deeper than the thread's own stack holds. Each
// nested walk takes a few hundred bytes of stack, so a chain of folders
// 100,000 deep needs tens of megabytes, where a thread usually has eight.
#pragma once

#include <functional>

namespace tallyroot::platform {

// Runs `body` on this thread, on a stack of its own that is reserved large
// (gigabytes of address space) and takes memory only as far as it is used;
// its memory is given back when `body` returns. An exception that leaves
// `body` is thrown on from here. Called while already on such a stack, or
// where none can be reserved, it runs `body` directly.
void RunOnLargeStack(const std::function<void()>& body);

// Whether this thread runs on a stack from RunOnLargeStack.
bool OnLargeStack();

}  // namespace tallyroot::platform

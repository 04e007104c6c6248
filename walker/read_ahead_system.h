// What the read-ahead asks of the system besides the reads themselves: a
// thread's CPU time and its time waiting for a CPU (for the pace), the CPUs
// and descriptors it may use, whether a device's head seeks, and a helper's
// priority. Each platform's own (walker/posix/ahead_system.cpp,
// walker/windows/ahead_system.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tallyroot::platform::ahead {

// This thread's CPU time, and its time spent waiting for a CPU (preempted by
// other work), in seconds; -1 where the platform cannot tell it precisely
// enough to time a read of a millisecond or less.
double ThreadCpuSeconds();
double ThreadRunDelaySeconds();

// For a thread that lives as long as the process (a helper): what the two
// above read is kept open instead of opened for every reading.
void KeepThreadStatisticsOpen();

// The CPUs this process may run on, at least 1.
unsigned UsableCpus();

// How many descriptors this process may hold open; SIZE_MAX for no limit.
std::size_t OpenDescriptorLimit();

// Whether the device `device` (as a folder's identity gives it) is a disk
// whose head seeks; false where that is not known.
bool IsRotationalDevice(std::uint64_t device);

// Runs `prepare` before a fork, `parent` after it in the parent and `child`
// in the child (where processes fork at all).
void AtFork(void (*prepare)(), void (*parent)(), void (*child)());

// Gives the calling thread `steps` less priority than it inherited.
void LowerThisThread(int steps);

}  // namespace tallyroot::platform::ahead

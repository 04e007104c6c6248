// What the read-ahead asks of each platform: read a folder, read a size, and
// a few facts of the system. Implemented in posix/ or windows/ beside this
// file, which CMake picks; nothing here names a platform type.
//
// Contract:
//  - ReadFolder and ReadSize run on any thread, without the scheduler's lock,
//    on a node that only they touch (node.h says who writes what).
//  - A platform whose listing gives every entry's size ends its folder reads
//    with EndRead(node, State::Listed, true): no size read is claimed there.
//  - The facts are cheap and never wait on a device.
#pragma once

#include <cstddef>

#include "walker/read_ahead/node.h"

namespace tallyroot::platform::ahead {

// Opens the folder, checks it against its chain and lists it, learning for a
// walk's outermost folder what its device is. A read not demanded gives up
// when listings alive would pass `maxBytes` or no descriptor is left.
State ReadFolder(Node& node, std::size_t maxBytes);
// Reads the size (and, if the listing did not say, the kind) of one entry of
// a listed node, or marks it Vanished when it is gone since.
void ReadSize(Node& node, std::size_t at);
// Descriptors open for listings read ahead (0 where none stay open).
std::size_t DescriptorsHeld();

// This thread's CPU time, and its time spent waiting for a CPU, in seconds;
// -1 where the platform does not tell.
double ThreadCpuSeconds();
double ThreadRunDelaySeconds();
// How coarsely ThreadCpuSeconds counts: 0 for an exact clock, else its tick.
double CpuClockTick();
// For a thread that lives as long as the process (a helper): what the two
// above read stays open.
void KeepThreadStatisticsOpen();
// The CPUs this process may run on, at least 1.
unsigned UsableCpus();
// How many reads the system serves at once at most: tuning::kMaxHelpers, but
// under wine, whose one server opens every file in turn (tuning.h).
unsigned ReadersAtOnce();
// How many descriptors this process may hold open; SIZE_MAX for no limit.
std::size_t OpenDescriptorLimit();
// Runs `prepare` before a fork, `parent` and `child` after it in each.
void AtFork(void (*prepare)(), void (*parent)(), void (*child)());
// Gives the calling thread `steps` less priority than it inherited.
void LowerThisThread(int steps);

}  // namespace tallyroot::platform::ahead

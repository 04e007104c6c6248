// What the read-ahead asks of each platform: read a folder, read a size, and
// a few facts of the system. Implemented in posix/ and windows/ beside this
// file, which CMake picks; nothing here names a platform type.
//
// Contract:
//  - ReadFolder and ReadSize run on any thread, without the scheduler's lock,
//    on a node that only they touch (node.h says who writes what).
//  - A platform whose listing gives every entry's size ends its folder reads
//    with EndRead(node, end, true): no size read is ever claimed there.
//  - The facts are cheap and never wait on a device, unlike what ReadFolder
//    learns of the device of a walk's outermost folder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "walker/read_ahead/node.h"

namespace tallyroot::platform::ahead {

// ---- Reads ---------------------------------------------------------------

// Opens the folder, checks it against its chain and lists it; for a node
// without a parent (the outermost folder of a walk) it also fills in what
// its device is. A read that is not demanded gives up when listings alive
// would pass `maxBytes`, or when no descriptor is left. Returns how the read
// ended (node.h).
State ReadFolder(Node& node, std::size_t maxBytes);

// Reads the size (and, where the listing did not say, the kind) of one
// entry of a listed node; false when it has vanished since it was listed
// (it is then marked so). Never called where the listing gives sizes.
bool ReadSize(Node& node, std::size_t at);

// Descriptors open for listings read ahead (0 where folders are not held
// open between reads).
std::size_t DescriptorsHeld();

// ---- Facts of the system --------------------------------------------------

// This thread's CPU time, and its time spent waiting for a CPU (preempted by
// other work), in seconds; -1 where the platform does not tell it.
double ThreadCpuSeconds();
double ThreadRunDelaySeconds();

// How coarsely ThreadCpuSeconds counts, in seconds: 0 for an exact clock,
// else the length of the clock's tick.
double CpuClockTick();

// For a thread that lives as long as the process (a helper): what the two
// above read is kept open instead of opened for every reading.
void KeepThreadStatisticsOpen();

// The CPUs this process may run on, at least 1.
unsigned UsableCpus();

// How many reads the system serves at once at most, whatever the device:
// tuning::kMaxHelpers, except under wine, whose one server opens every file
// one at a time and passes every window message too. There, more readers
// only queue at the server, and the window waits behind them: closing it
// during a load of a share that answers in 1 ms took 45 s with 16 and more
// readers, 2.05 s with one, as long as during a load of a local tree.
unsigned ReadersAtOnce();

// How many descriptors this process may hold open; SIZE_MAX for no limit.
std::size_t OpenDescriptorLimit();

// Runs `prepare` before a fork, `parent` after it in the parent and `child`
// in the child (where processes fork at all).
void AtFork(void (*prepare)(), void (*parent)(), void (*child)());

// Gives the calling thread `steps` less priority than it inherited.
void LowerThisThread(int steps);

}  // namespace tallyroot::platform::ahead

// Every number that tunes the read-ahead, each with what chose it. Figures
// are from this project's benchmarks (bench/) on a 2-CPU virtual machine: a
// 500,000-entry tree warm and with the page cache dropped, and slowfs mounts
// that answer each request after 1 to 20 ms.
#pragma once

#include <cstddef>

namespace tallyroot::platform::ahead::tuning {

// ---- What the reads cost: CPU work, or waiting on the device ------------
// Above this share of read time blocked, reads wait on the device; below the
// lower one they are CPU work again. The page cache's reads are blocked under
// 1% of their time (Linux); a cold disk's 0.3 to 0.8 early in a walk, 0.08 to
// 0.15 late: with 0.1 as the lower one, three cold walks in four fell back to
// one helper for their last 0.7 to 1.2 s (2.5 to 2.9 s against 2.15 s). Only
// listings wait where the kernel still knows every name (storage_bench's
// names row), 0.1 to 0.25 of the time: read as CPU work by two threads, the
// tree took 1.33 s, with helpers 1.19 s (floor 0.80 s); warm loads alike.
// Where the CPU clock ticks, a warm walk's share wobbles past 0.1 (the
// replay test): there a quarter.
inline constexpr double kWaitingAbove = 0.1;
inline constexpr double kWaitingAboveTicking = 0.25;
inline constexpr double kCpuBelow = 0.03;
// Nor while more than this share of the last kListingsCounted to twice as
// many listings waited on the device (kWaitedSeconds; exact clocks only).
// Late in a cold walk the share falls to 0.01, as helpers read sizes from
// inode blocks read long before, yet 4 to 23% of listings still waited:
// back to one helper, seven cold walks in twelve left a CPU a fifth idle for
// 0.5 to 0.7 s. Sixteen helpers reading the page cache: at most 0.8%.
inline constexpr double kListingsWaitingAbove = 0.02;
inline constexpr double kListingsCounted = 256;
// Read time, summed over threads, before the share is trusted, and after
// which older reads count for half. Where the CPU clock ticks (Windows:
// 15.6 ms) a read's CPU time is 0 or a whole tick, right only summed over
// many: there both are at least kTicksToTrust ticks.
inline constexpr double kTrustAfterSeconds = 0.02;
inline constexpr double kHalveAfterSeconds = 0.2;
inline constexpr double kTicksToTrust = 16;
// With an exact clock, reads plainly CPU work are trusted after this much:
// until then the window's thread reads nothing, which at 20 ms cost a warm
// first load 6% (0.475 s against 0.447 s).
inline constexpr double kTrustCpuWorkAfterSeconds = 0.002;
// While reads are CPU work one in this many is timed in full (that costs
// system calls), and the one after a read slower than kSlowReadSeconds per
// entry, which no read from the page cache comes near. Where reads wait each
// is timed: one in eight, counted for eight, cost a cold walk 0.1 s less CPU
// time, but its folder reads wait and its size reads do not, and the share,
// taken from fewer reads, fell below kCpuBelow in two cold walks in three.
// The walking thread looks at the clock every kReadsPerClock reads (after
// each: 2% of a warm walk).
inline constexpr unsigned kUnsampledReads = 64;
inline constexpr double kSlowReadSeconds = 0.002;
inline constexpr std::size_t kReadsPerClock = 16;
// The newest item's weight in the running cost of a size read: about the
// last hundred items count.
inline constexpr double kSizeReadWeight = 0.01;

// ---- How much is read at once -------------------------------------------
// Reads that are CPU work: four children read ahead per open listing, items
// of 512 size reads. Reads that wait: enough children that every helper finds
// a read to wait on, and items of about 2 ms, so that a small folder's sizes
// are read side by side (one entry on a slow mount, hundreds on a cold disk).
inline constexpr std::size_t kCpuWindow = 4;
inline constexpr std::size_t kCpuChunk = 512;
inline constexpr std::size_t kWaitingWindow = 64;
inline constexpr double kItemSeconds = 0.002;

// ---- How many read at once where reads wait -----------------------------
// kMaxHelpers for a network root, and for reads that hardly touch the CPU
// (blocked above kLatencyBoundAbove: shares and FUSE mounts 0.95 and more)
// whose size reads each wait (over kLatencySizeReadSeconds: 1 ms and more on
// a 1 ms mount), as a far end serves many at once. A cold local disk is
// blocked up to 0.91 at moments, but its sizes come in 16 us from inode
// blocks read with its folders; read with 64 once past 0.9, it took 2.86 s
// against 2.2 to 2.4 s with 16. Other disks: kDeviceReaders, as each helper
// more costs CPU in switches and in looking for work (cold: 1.7 to 1.9 s with
// 32, 1.3 s with 16). A rotational disk whose head seeks: two, in inode order.
inline constexpr unsigned kMaxHelpers = 64;
inline constexpr unsigned kDeviceReaders = 16;
inline constexpr unsigned kRotationalReaders = 2;
inline constexpr double kLatencyBoundAbove = 0.9;
inline constexpr double kLatencySizeReadSeconds = 0.00025;
// Under wine every file open waits for its one server, which the window
// needs for every message (platform.h): closing during a load of a 1 ms
// share took 45 s with 16 readers and more, 2.09 s with two, 2.05 s with one.
inline constexpr unsigned kReadersUnderWine = 1;

// ---- Whether a folder's reads run side by side ------------------------
// On a share just mounted the kernel serves the first lookups of names in
// one folder largely in turn, so reads must spread over folders. Told when
// size reads that ran with at least kCrowd of their folder's took
// kCrowdedSlowdown times as long as reads alone, kSpreadSamples of each. A
// fresh 5 ms mount, 20 files a folder: 38 ms a read at 7.6 a folder, 17 ms
// alone; once its names were known: 9.0 and 9.5 ms.
inline constexpr unsigned kCrowd = 4;
inline constexpr double kCrowdedSlowdown = 1.5;
inline constexpr unsigned kSpreadSamples = 16;

// ---- Whether a disk that calls itself rotational seeks ------------------
// A listing blocked less than kWaitedSeconds was answered from a cache. Of
// the first kSeekSamples that waited longer, a median below kSeekSeconds
// means no head moved (half a turn at 15,000 rpm takes 2 ms). This virtual
// disk calls itself rotational and answers in 0.15 to 0.6 ms; the check
// reads it with 16 readers 15 ms into a cold walk.
inline constexpr double kWaitedSeconds = 0.00005;
inline constexpr double kSeekSeconds = 0.001;
inline constexpr std::size_t kSeekSamples = 16;

// ---- Bounds ---------------------------------------------------------------
// Descriptors held by listings read ahead, beyond one per open listing: at
// most an eighth of the soft limit, which deep walks need for their own.
inline constexpr std::size_t kMaxDescriptorsAhead = 256;
inline constexpr std::size_t kDescriptorShare = 8;
// Listings one search for work looks at, per child read ahead below a
// listing, so a search stays short however much lies ahead.
inline constexpr std::size_t kSearchedPerChild = 32;
// How often a size read looks whether its listing was dropped (in reads),
// and a Windows folder read (in entries).
inline constexpr std::size_t kReadsPerCancelCheck = 64;
inline constexpr std::size_t kEntriesPerCancelCheck = 256;
// A getdents64 buffer: a folder of a few hundred entries in one call.
inline constexpr std::size_t kListingBufferBytes = 32 * 1024;

// ---- The walking thread and the helpers ---------------------------------
// How often the waiting walking thread lets window events through (the
// window must not go 50 ms without them), and how many priority steps
// helpers run below it, so the window never waits for dozens of them.
inline constexpr double kHookIntervalSeconds = 0.005;
inline constexpr int kHelperNiceness = 5;

}  // namespace tallyroot::platform::ahead::tuning

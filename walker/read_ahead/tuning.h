// Every number that tunes the read-ahead, in one table, each with what chose
// it. Figures are from this project's benchmarks (bench/) on a 2-CPU virtual
// machine: a 500,000-entry tree warm and with the page cache dropped, and
// slowfs mounts that answer each request after 1 to 20 ms.
#pragma once

#include <cstddef>

namespace tallyroot::platform::ahead::tuning {

// ---- What the reads cost: CPU work, or waiting on the device ------------
// Above this share of read time blocked, reads wait on the device; below the
// lower one they are CPU work again. Reads the page cache answers are
// blocked a few per cent of their time at most; a cold local disk, whose
// folders wait while most sizes come from inode blocks read with them, for
// a quarter to a half.
inline constexpr double kWaitingAbove = 0.25;
inline constexpr double kCpuBelow = 0.1;
// Read time, summed over threads, before the share is trusted, and after
// which older reads count for half, so that the share follows what the walk
// meets now. Where the CPU clock ticks (Windows: 15.6 ms), both are at least
// this many ticks: a read's CPU time is then 0 or a whole tick, right only
// summed over many reads.
inline constexpr double kTrustAfterSeconds = 0.02;
inline constexpr double kHalveAfterSeconds = 0.2;
inline constexpr double kTicksToTrust = 16;
// With an exact clock, reads plainly CPU work (blocked under kCpuBelow) are
// trusted after this much: until the share is known the window's thread
// reads nothing, which cost a warm first load 6% (0.475 s against 0.447 s)
// at 20 ms.
inline constexpr double kTrustCpuWorkAfterSeconds = 0.002;
// While reads are CPU work only one read in this many is timed in full (its
// CPU time and run delay cost system calls), and the one after a read that
// took longer than kSlowReadSeconds per entry.
inline constexpr unsigned kUnsampledReads = 64;
// A size read that takes longer than this waited on the device: none that
// the page cache answers comes near it, nor do kReadsPerClock of them. The
// walking thread, where it reads, looks at the clock after every
// kReadsPerClock reads (after each, a warm walk spent 2% of its time on it).
inline constexpr double kSlowReadSeconds = 0.002;
inline constexpr std::size_t kReadsPerClock = 16;
// The weight of the newest read in the running cost of a size read: about
// the last hundred work items, so a slow one weighs no more than a fast one.
inline constexpr double kSizeReadWeight = 0.01;

// ---- How much is read at once -------------------------------------------
// While reads are CPU work: four children read ahead per open listing and
// work items of 512 size reads, with one helper fewer than the CPUs.
inline constexpr std::size_t kCpuWindow = 4;
inline constexpr std::size_t kCpuChunk = 512;
// While they wait: enough children read ahead that every helper finds a read
// to wait on, and items of about 2 ms, so that a small folder's sizes are
// read side by side (one entry on a slow mount, hundreds on a cold disk).
inline constexpr std::size_t kWaitingWindow = 64;
inline constexpr double kItemSeconds = 0.002;

// ---- Whether reads within one folder run side by side (FolderSpread) ------
// On a share just mounted the kernel serves the first lookups of names in
// one folder largely in turn, so the reads in flight must spread over
// folders, as an unordered walk with a thread per folder does. Told from
// size reads that ran with at least kCrowd of the same folder's at once:
// when they took kCrowdedSlowdown times as long as reads alone in their
// folder, crowding a folder costs more than it gains. A fresh 5 ms slowfs
// mount, 20 files a folder: 38 ms a read at 7.6 a folder, 17 ms alone; the
// same mount once its names were known: 9.0 ms and 9.5 ms. Decided after
// kSpreadSamples of each kind.
inline constexpr unsigned kCrowd = 4;
inline constexpr double kCrowdedSlowdown = 1.5;
inline constexpr unsigned kSpreadSamples = 16;

// ---- How many read at once where reads wait -----------------------------
// A share or FUSE mount, whose reads hardly touch the CPU (blocked above
// kLatencyBoundAbove: 0.95 and more; a cold local disk: a quarter to a
// half), or a network root: kMaxHelpers, as a far end serves many at once.
// A local disk: kDeviceReaders; this virtual disk on two CPUs reads fastest
// with 16, as each helper more costs CPU time in switches and in looking
// for work (cold walks took 1.7 to 1.9 s with 32 against 1.3 s with 16). A
// rotational disk whose head seeks: two helpers, each item in inode order.
inline constexpr unsigned kMaxHelpers = 64;
inline constexpr unsigned kDeviceReaders = 16;
inline constexpr unsigned kRotationalReaders = 2;
inline constexpr double kLatencyBoundAbove = 0.9;
// Under wine every file open waits for its one server, which the window
// needs for every message: more readers only queue there (platform.h;
// closing during a load of a 1 ms share: 45 s with 16 and more, 2.09 s with
// two, 2.05 s with one).
inline constexpr unsigned kReadersUnderWine = 1;

// ---- Whether a disk that calls itself rotational seeks (SeekCheck) ------
// A listing blocked for less than this was answered from a cache. Of the
// first kSeekSamples listings that waited longer, a median below kSeekSeconds
// means no head moved: half a turn of a 15,000 rpm disk alone takes 2 ms.
// This virtual disk calls itself rotational and answers in 0.15 to 0.6 ms;
// the check reads it with 16 readers 15 ms into a cold walk, where shorter
// probe periods from two readers reached 16 only after 0.09 s.
inline constexpr double kWaitedSeconds = 0.00005;
inline constexpr double kSeekSeconds = 0.001;
inline constexpr std::size_t kSeekSamples = 16;

// ---- Bounds ---------------------------------------------------------------
// Descriptors held by listings read ahead, beyond one per open listing, and
// at most an eighth of the soft limit, which deep walks need for their own.
inline constexpr std::size_t kMaxDescriptorsAhead = 256;
inline constexpr std::size_t kDescriptorShare = 8;  // 1 / kDescriptorShare of the limit
// Listings looked at in one search for work, per child read ahead below a
// listing, so that a search stays short however much lies ahead; the walking
// thread does what nobody reached itself when it gets there.
inline constexpr std::size_t kSearchedPerChild = 32;
// A size read looks at whether its listing was dropped after this many reads,
// a Windows folder read after this many entries listed.
inline constexpr std::size_t kReadsPerCancelCheck = 64;
inline constexpr std::size_t kEntriesPerCancelCheck = 256;
// A helper's getdents64 buffer: a folder of a few hundred entries in one call.
inline constexpr std::size_t kListingBufferBytes = 32 * 1024;

// ---- The walking thread and the helpers ---------------------------------
// How often, in seconds, the walking thread lets window events through while
// it waits (the window must not go 50 ms without them).
inline constexpr double kHookIntervalSeconds = 0.005;
// Priority steps a helper gets below the walking thread, which is the
// window's: with dozens runnable at once, the window must not wait for them.
inline constexpr int kHelperNiceness = 5;

}  // namespace tallyroot::platform::ahead::tuning

// What a walk showed its caller (ordered hash of each entry, callback counts), to compare walks.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "walker/find_files.h"

namespace tallyroot::testing {

struct WalkTrace {
  std::uint64_t hash = 14695981039346656037u;  // FNV-1a
  std::uint64_t entries = 0, dones = 0;
  bool stopped = false;  // AbortScan was left set
  bool operator==(const WalkTrace&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const WalkTrace& trace) {
  return out << trace.entries << " entries, " << trace.dones << " done, hash " << trace.hash
             << (trace.stopped ? ", stopped" : "");
}

struct WalkWay {
  bool nested = false;       // a walk per folder met, from the callback; else AllDeep
  unsigned skipEvery = 0;    // nested: pass over every n-th folder met, as if cached; 0: none
  std::uint64_t stopAt = 0;  // set AbortScan in the callback of this entry; 0: never
  std::string instead = {};  // nested: walk this folder instead of each folder met
};

namespace trace_detail {

inline WalkTrace gTrace;
inline WalkWay gWay;
inline std::uint64_t gFoldersMet = 0;
inline bool gAbort = false;

inline void Mix(std::string_view bytes) {
  for (const unsigned char c : bytes) gTrace.hash = (gTrace.hash ^ c) * 1099511628211u;
  gTrace.hash = (gTrace.hash ^ 0x100) * 1099511628211u;
}

inline bool Record() {
  using FindFilesModule::FoundEntry;
  const bool folder = (FoundEntry.Attributes & FindFilesModule::kFolderAttribute) != 0;
  const std::uint64_t size = FoundEntry.Size;
  Mix(FoundEntry.FolderPath);
  Mix(FoundEntry.Name);
  Mix({reinterpret_cast<const char*>(&size), sizeof size});
  Mix(folder ? "/" : "");
  if (++gTrace.entries == gWay.stopAt) gAbort = true;
  return folder;
}

inline void Done() { ++gTrace.dones; }
inline void Entry() { Record(); }
inline void NestedEntry() {  // as the size analysis walks
  if (!Record() || gAbort) return;
  if (gWay.skipEvery != 0 && ++gFoldersMet % gWay.skipEvery == 0) return;
  FindFilesModule::FindFiles(
      NestedEntry, Done, gWay.instead.empty() ? FindFilesModule::FoundEntry.FullPath : gWay.instead,
      FindFilesModule::AllHere, gAbort);
}

}  // namespace trace_detail

// One walk at a time per process: the callbacks take no arguments, so the trace is global.
inline WalkTrace TraceWalk(const std::string& root, const WalkWay& way = {}) {
  using namespace trace_detail;
  gTrace = {};
  gWay = way;
  gFoldersMet = 0;
  FindFilesModule::FindFiles(way.nested ? NestedEntry : Entry, Done, root,
                             way.nested ? FindFilesModule::AllHere : FindFilesModule::AllDeep,
                             gAbort);
  gTrace.stopped = gAbort;
  return gTrace;
}

}  // namespace tallyroot::testing

// FindFilesModule: the program's only reader of the file system.
//
// FindFiles goes through the entries of one folder (and, in the deep and
// below modes, of the folders beneath it) in the order the file system lists
// them. For each entry the mode reports it fills the record FoundEntry and
// calls OnEntry; after the last entry it calls OnDone, if given.
//
// Contract, as callers rely on it:
//  - Callbacks take no arguments. What they need stands in FoundEntry, and
//    only until the next entry is reported by any walk: a callback that starts
//    a nested FindFiles reads what it needs first.
//  - Walks nest: a callback may call FindFiles again, with FoundEntry.FullPath
//    as Folder. Each walk takes Folder before anything else. Callers only
//    read FoundEntry, never write it, so a walk knows what it holds. A walk
//    costs the same at any depth: nested walks of folders below the one
//    around them share its path instead of copying it.
//  - AbortScan is cleared when a walk starts and tested after every OnEntry
//    and after each folder entry (descent included). Found set, the walk
//    returns at once without OnDone and leaves it set, so every enclosing
//    walk stops in turn and the outermost caller sees it.
//  - OnDone comes only after a complete walk, after every OnEntry of the walk
//    and of the walks it started; nothing is called after FindFiles returns.
//  - A folder whose name begins with "." is never reported nor entered; a
//    file whose name begins with "." is an ordinary file. A symbolic link is
//    a file with its own size, whatever it points to.
//  - A folder that cannot be listed yields no entries; the walk still ends
//    with OnDone. Nothing is reported as an error through the callbacks;
//    WalkEnd tells whether the folder could not be read.
//  - While a walk waits on the device for an entry (slow or cold storage,
//    with read-ahead), it calls the wait hook (SetWaitHook), if one is set,
//    every few milliseconds. AbortScan is tested after it as after a
//    callback: found set, the walk stops, without OnDone.
//  - A walk of a folder that is already open in an enclosing walk (a bind
//    mount of an ancestor) would never end, so it yields no entries. It ends
//    without OnDone, like a stopped walk but leaving AbortScan clear, and so
//    does every walk around it that began below the folder it repeats: what
//    they found depends on where the outermost walk began, so no total may
//    be kept from them. The same holds for every walk around one that
//    reaches a folder above the outermost walk's path (its parent, through a
//    bind mount): a walk begun there would have cut it short. A walk that
//    nothing encloses always gets OnDone, and WalkEnd tells whether what it
//    found may be kept.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "walker/folder_listing.h"

namespace FindFilesModule {

// Value = 3 * kind (files, folders, both) + scope (deep, here, below).
enum WalkMode : std::int16_t {
  FilesDeep = 0,
  FilesHere = 1,
  FilesBelow = 2,
  FoldersDeep = 3,
  FoldersHere = 4,
  FoldersBelow = 5,
  AllDeep = 6,
  AllHere = 7,
  AllBelow = 8,
};

// Bit of FoundEntryRecord::Attributes that marks a folder.
inline constexpr std::uint32_t kFolderAttribute = 0x10;

struct FoundEntryRecord {
  std::string FullPath;    // FolderPath + Name, never with a trailing separator
  std::string Name;        // the entry's name, the bytes the file system gives
  std::string FolderPath;  // the walked folder, always ending with the separator
  std::uint32_t Attributes = 0;
  std::uint64_t Size = 0;  // a file's byte count; 0 for a folder
};

// The entry just reported. Lives until exit; overwritten by every walk.
extern FoundEntryRecord FoundEntry;

// How the walk that ended last went: filled as it ends, before its OnDone,
// and standing when FindFiles returns, until another walk ends. Not filled
// by a stopped walk.
struct WalkEndRecord {
  // What the walk found is what a walk of the same path finds wherever it
  // began, so a total made of it may be kept. False only for a walk that
  // nothing encloses (the others end without OnDone then).
  bool ReadInFull = true;
  // The folder could not be listed, or not to its end (no permission,
  // vanished, an I/O error): it holds more than the walk reported. A folder
  // of a kernel file system and a cut cycle are empty on purpose, not unread.
  bool Unread = false;
};
extern WalkEndRecord WalkEnd;

using WalkCallback = void (*)();

// `Folder` is read before anything else and never after, so callers may pass
// FoundEntry.FullPath, which the walk overwrites. Passing it for a folder that
// the innermost walk has just reported costs the same at any depth; any
// other path below that walk's folder is compared with it once. An empty
// Folder means the folder of the running program. A Mode outside 0..8
// reports nothing and enters nothing, but still ends with OnDone.
void FindFiles(WalkCallback OnEntry, WalkCallback OnDone, const std::string& Folder, WalkMode Mode,
               bool& AbortScan);

// The procedure called while a walk waits on the device, on the walking
// thread; none by default. It lets the caller keep its window answering.
void SetWaitHook(WalkCallback hook);

// The given text up to its first NUL, or all of it when it holds none.
std::string_view TrimAtNul(std::string_view text);

}  // namespace FindFilesModule

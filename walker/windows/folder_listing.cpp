// The Windows folder listing: one FindFirstFileExW search per folder, which
// gives each entry's name, attributes and size, so no file is ever opened;
// or the listing read ahead (read_ahead.h, windows/ahead_reads.cpp) when
// read-ahead serves the walk.
//
// Only real folders are entered (every reparse point that stands for another
// name is a file, see JudgeEntry), and only the outermost folder is reached
// through a link. A server that follows links itself still hands a link to
// a folder above as a plain folder, so each folder's identity is read before
// it is searched (folder_checks.h): one that is already open further up this
// thread's chain of listings, or that lies above the outermost listing's
// path, yields nothing and cuts the listings around it short, as a bind
// mount's repeat does on POSIX (see FolderListing::ReadInFull).
#include <windows.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "walker/child_name.h"
#include "walker/folder_listing.h"
#include "walker/read_ahead/read_ahead.h"
#include "walker/read_ahead/windows/folder_handle.h"
#include "walker/windows/folder_checks.h"
#include "walker/windows/listing_calls.h"
#include "walker/windows/wide_names.h"

namespace tallyroot::platform {
namespace {

struct FindBuffer {
  WIN32_FIND_DATAW data;
  std::string name;  // the entry's name in WTF-8; its capacity is kept
};

}  // namespace

struct FolderListing::State {
  HANDLE find = nullptr;         // the search, when the folder could be listed
  FindBuffer* buffer = nullptr;  // borrowed from a per-thread pool: the entry and its name
  bool pending = false;          // the buffer holds an entry not given out yet
  std::size_t cutAbove = 0;      // the cycle mark of the listing around this one, kept for it
  std::unique_ptr<ReadAheadLevel> ahead;  // set when read-ahead serves this listing
};

namespace {

using windows::AppendWide;
using windows::AppendWtf8;

// The listings open on this thread, innermost last: the path each was given
// and its long form as the system takes it ("\\?\C:\x\"). A child of the
// innermost one gets its long form by appending its name, with no second
// look at the whole path. The long forms are kept per level, so that their
// capacity is reused and a walk allocates nothing per folder once it has
// reached its deepest level; a level read ahead holds its own.
struct OpenFolder {
  const std::string* path;  // the folder's path is its first pathLength bytes
  std::size_t pathLength;
  ReadAheadLevel* level;  // when read-ahead serves the listing
};

// What this thread's listings share, made when its outermost listing opens
// and freed when that closes. It is held through a plain pointer: mingw's
// runtime frees a thread's thread_local storage before it destroys the
// objects in it, so a thread_local with a destructor would crash the program
// when a thread that walked ends.
struct ThreadListings {
  std::vector<OpenFolder> open;   // innermost last
  std::vector<FolderId> openIds;  // their identities, in the same order
  std::vector<std::wstring> systemPaths;
  std::vector<std::unique_ptr<FindBuffer>> freeBuffers;
  // The outermost level at which a cycle was cut since the innermost
  // listing opened (kNoCycle if none): a listing deeper than it was cut
  // short at a folder open around it. Levels count the open folders from 1
  // at the outermost; level 0 stands for the folders above the outermost
  // listing's path (`above`), which a walk begun higher up would have cut
  // short.
  std::size_t cutAt = kNoCycle;
  std::vector<FolderId> above;
};
thread_local ThreadListings* tListings = nullptr;

// The level a listing opening now on this thread takes.
std::size_t OpeningLevel() {
  if (!tListings) tListings = new ThreadListings;
  return tListings->open.size() + 1;
}

FindBuffer* TakeBuffer() {
  if (tListings->freeBuffers.empty()) return new FindBuffer;
  FindBuffer* buffer = tListings->freeBuffers.back().release();
  tListings->freeBuffers.pop_back();
  return buffer;
}

void ReturnBuffer(FindBuffer* buffer) { tListings->freeBuffers.emplace_back(buffer); }

// The name of `folderPath` in the innermost open folder, when it is a direct
// child of it.
std::optional<std::string_view> ChildOfInnermost(const std::string& folderPath) {
  if (tListings->open.empty()) return std::nullopt;
  const OpenFolder& parent = tListings->open.back();
  return ChildName(folderPath, *parent.path, parent.pathLength);
}

// The long form of the innermost open folder; none for a level read ahead
// that ended before its folder was read.
const std::wstring* InnermostSystemPath() {
  const OpenFolder& open = tListings->open.back();
  if (!open.level) return &tListings->systemPaths[tListings->open.size() - 1];
  const ahead::FolderHandle* const folder = open.level->Folder();
  return folder ? &folder->get() : nullptr;
}

// The long form of `folderPath` (ending with the separator) into `out`;
// `child` tells whether it was made from the innermost listing's.
bool SystemPath(const std::string& folderPath, std::wstring& out, bool& child) {
  out.clear();
  child = false;
  if (const std::optional<std::string_view> name = ChildOfInnermost(folderPath)) {
    if (const std::wstring* const parent = InnermostSystemPath()) {
      out = *parent;
      AppendWide(out, *name);
      out += L'\\';
      child = true;
      return true;
    }
  }
  return windows::LongFolderPath(folderPath, out);
}

void PushOpen(const OpenFolder& open, const FolderId& id) {
  tListings->open.push_back(open);
  tListings->openIds.push_back(id);
}

void PopOpen() {
  tListings->open.pop_back();
  tListings->openIds.pop_back();
}

// Cuts every open listing short, as a walk begun higher up would, when the
// folder `id` lies above the outermost listing's path.
void NoteIfAbove(const FolderId& id) {
  for (const FolderId& above : tListings->above) {
    if (windows::SameFolder(above, id)) tListings->cutAt = 0;
  }
}

}  // namespace

FolderListing::FolderListing(const std::string& folderPath) : level_(OpeningLevel()) {
  static_assert(sizeof(State) <= kStateBytes && alignof(State) <= alignof(std::max_align_t));
  new (storage_) State;
  ThreadListings& t = *tListings;
  if (t.systemPaths.size() < level_) t.systemPaths.resize(level_);
  state().cutAbove = std::exchange(t.cutAt, kNoCycle);
  std::size_t cycleAt = kNoCycle;
  // Whatever way it was found, a cycle is noted for every listing around.
  struct NoteCycle {
    ThreadListings& t;
    std::size_t& at;
    ~NoteCycle() { t.cutAt = std::min(t.cutAt, at == kNoCycle ? at : at + 1); }
  } noteCycle{t, cycleAt};

  std::wstring& systemPath = t.systemPaths[level_ - 1];
  bool child = false, pathMade = false;
  if (level_ == 1) {
    pathMade = SystemPath(folderPath, systemPath, child);
    t.above.clear();
    if (pathMade) windows::ReadFoldersAbove(systemPath, t.above);
  }

  // A child that the innermost listing has just given out, or the outermost
  // listing of a walk, may have its listing read ahead; it then holds what
  // the listing gives. Any other listing (a walk of a folder elsewhere from
  // a callback) is read here, as without read-ahead.
  ReadAheadLevel* const around = t.open.empty() ? nullptr : t.open.back().level;
  TakenChild ahead = TakeReadAhead(folderPath, level_, around,
                                   around ? ChildOfInnermost(folderPath) : std::nullopt);
  if (ahead.matched) {
    cycleAt = ahead.cycleAt;
    unread_ = ahead.unread;
    if (!ahead.level) return;  // not listable, a cycle, an empty drive root, a WSL kernel folder
    NoteIfAbove(ahead.level->Id());
    PushOpen({&folderPath, folderPath.size(), ahead.level.get()}, ahead.level->Id());
    state().ahead = std::move(ahead.level);
    return;
  }

  if (level_ != 1) pathMade = SystemPath(folderPath, systemPath, child);
  if (!pathMade) {
    unread_ = true;
    return;
  }
  FolderId id;
  if (windows::JudgeFolder(systemPath, !child, t.openIds, id, cycleAt) != windows::Verdict::List)
    return;
  NoteIfAbove(id);
  systemPath += L'*';
  FindBuffer* buffer = TakeBuffer();
  const HANDLE find = windows::FindFirst(systemPath.c_str(), buffer->data);
  systemPath.pop_back();
  if (find == INVALID_HANDLE_VALUE) {
    // A drive root with nothing on it has no entry to match; anything else
    // that fails (missing, not a folder, no permission) could not be read.
    unread_ = GetLastError() != ERROR_FILE_NOT_FOUND;
    ReturnBuffer(buffer);
    return;
  }
  state().find = find;
  state().buffer = buffer;
  state().pending = true;
  PushOpen({&folderPath, folderPath.size(), nullptr}, id);
}

FolderListing::~FolderListing() {
  struct Destroy {
    State& state;
    ~Destroy() { state.~State(); }
  } destroy{state()};
  struct Release {
    bool outermost;
    ~Release() {
      if (outermost) delete std::exchange(tListings, nullptr);
    }
  } release{level_ == 1};
  tListings->cutAt = std::min(tListings->cutAt, state().cutAbove);
  if (state().ahead) {
    PopOpen();
    return;  // the level drops what was read ahead below it
  }
  if (!state().find) return;
  PopOpen();
  windows::FindEnd(state().find);
  ReturnBuffer(state().buffer);
}

bool FolderListing::ReadInFull() const { return tListings->cutAt >= level_; }

bool FolderListing::Unread() const { return unread_ || (state().ahead && state().ahead->Unread()); }

bool FolderListing::Refill() {
  if (windows::FindNext(state().find, state().buffer->data)) return true;
  unread_ = unread_ || GetLastError() != ERROR_NO_MORE_FILES;
  return false;
}

bool FolderListing::Next(ListedEntry& entry) {
  if (state().ahead) return state().ahead->Next(entry);
  if (!state().find) return false;
  if (!state().pending && !Refill()) return false;
  state().pending = false;
  const WIN32_FIND_DATAW& data = state().buffer->data;
  const windows::JudgedEntry judged = windows::JudgeFound(data);
  std::string& name = state().buffer->name;
  name.clear();
  AppendWtf8(name, data.cFileName, wcsnlen(data.cFileName, MAX_PATH));
  entry.name = name;
  entry.isFolder = judged.isFolder;
  entry.size = judged.size;
  return true;
}

std::string ExecutableFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
  std::string folder;
  // The user never sees the long-path prefix.
  std::wstring_view shown = path;
  if (shown.starts_with(LR"(\\?\UNC\)")) {
    folder = R"(\\)";
    shown.remove_prefix(8);
  } else if (shown.starts_with(LR"(\\?\)")) {
    shown.remove_prefix(4);
  }
  AppendWtf8(folder, shown.data(), shown.size());
  const std::size_t cut = folder.rfind(kSeparator);
  if (cut == std::string::npos) return {};
  folder.resize(cut);
  if (folder.size() == 2 && folder[1] == ':') folder += kSeparator;  // a drive's root: "C:\"
  return folder;
}

void RaiseOpenFileLimit() {}

}  // namespace tallyroot::platform

// A typed path made the program's own with the system's help: made absolute
// by GetFullPathNameW, and each folder's stored name read with one search
// of that name alone (see StoredCase). Runs once per "load", never in a walk.
// The searches run on a thread of their own (typed_path.h).
#include "walker/typed_path.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <optional>

#include "walker/read_ahead/tuning.h"
#include "walker/wait_hook.h"
#include "walker/windows/listing_calls.h"
#include "walker/windows/path_rules.h"
#include "walker/windows/wide_names.h"

namespace tallyroot::platform {
namespace {

// The absolute form the system makes of `path`, or `path` itself when it
// cannot. A path in the long form is absolute already, and is not
// rewritten.
std::wstring Absolute(const std::wstring& path) {
  if (path.starts_with(LR"(\\?\)")) return path;
  std::wstring full(path.size() + MAX_PATH, L'\0');
  DWORD length = windows::FullPath(path.c_str(), static_cast<DWORD>(full.size()), full.data());
  if (length >= full.size()) {
    full.resize(length);
    length = windows::FullPath(path.c_str(), static_cast<DWORD>(full.size()), full.data());
  }
  if (length == 0 || length >= full.size()) return path;
  full.resize(length);
  return full;
}

// The name of the entry `longPath` names, as its folder stores it.
std::optional<std::wstring> StoredName(const std::wstring& longPath) {
  WIN32_FIND_DATAW data;
  const HANDLE find = windows::FindFirst(longPath.c_str(), data);
  if (find == INVALID_HANDLE_VALUE) return std::nullopt;
  windows::FindEnd(find);
  return std::wstring(data.cFileName, wcsnlen(data.cFileName, MAX_PATH));
}

// One asking of the stored names, shared by the thread that asks and the one
// that waits, which may give up first.
struct Asking {
  const std::wstring path;
  std::wstring stored;  // written by the asking thread before it ends
  // The waiting thread gave up: no further name is asked, as under wine the
  // process ends only once every file request in flight has.
  std::atomic<bool> abandoned{false};
};

DWORD WINAPI Ask(void* parameter) {
  const std::unique_ptr<std::shared_ptr<Asking>> held(
      static_cast<std::shared_ptr<Asking>*>(parameter));
  Asking& asking = **held;
  asking.stored = windows::StoredCase(asking.path, [&](const std::wstring& longPath) {
    return asking.abandoned.load(std::memory_order_relaxed) ? std::nullopt : StoredName(longPath);
  });
  return 0;
}

// StoredCase asked on a thread of its own while this one calls the wait hook.
// On a share each name's search may wait seconds (under wine 10 s on a mount
// that answers each request after 5 s), which the window would spend without
// answering, not even a close.
std::optional<std::wstring> StoredCaseAside(std::wstring path, const bool& stop) {
  const auto asking = std::make_shared<Asking>(std::move(path));
  auto held = std::make_unique<std::shared_ptr<Asking>>(asking);
  const HANDLE thread = CreateThread(nullptr, 0, Ask, held.get(), 0, nullptr);
  if (!thread) return windows::StoredCase(asking->path, StoredName);
  held.release();  // the thread's now
  const std::unique_ptr<void, decltype(&CloseHandle)> handle(thread, CloseHandle);
  const auto waitMs = static_cast<DWORD>(ahead::tuning::kHookIntervalSeconds * 1000);
  for (;;) {
    const DWORD waited = WaitForSingleObject(thread, waitMs);
    // Waiting for the thread's end makes what it wrote visible here.
    if (waited == WAIT_OBJECT_0) return std::move(asking->stored);
    // Every name as typed, as where none is found.
    if (waited != WAIT_TIMEOUT) return asking->path;
    CallWaitHook();
    if (stop) {
      asking->abandoned.store(true, std::memory_order_relaxed);
      return std::nullopt;
    }
  }
}

}  // namespace

std::optional<std::string> TypedFolderPath(std::string_view typed, const bool& stop) {
  if (typed.find('\0') != std::string_view::npos) return std::string(typed);
  std::wstring path;
  windows::AppendWide(path, typed);
  path = windows::UnquotedPath(std::move(path));
  if (path.empty()) return std::string();
  // A folder: "C:" is the drive's root here, not the folder the drive was
  // last in.
  if (path.back() != L'\\') path += L'\\';
  const std::optional<std::wstring> stored = StoredCaseAside(Absolute(path), stop);
  if (!stored) return std::nullopt;
  std::string out;
  windows::AppendWtf8(out, stored->data(), stored->size());
  return out;
}

}  // namespace tallyroot::platform

// What the size analysis needs of the window it fills, and nothing more: the
// two paths that name the listed folder and the root, the folder list, and
// one pass of the event pump. The main window implements it; tests and the
// benchmark implement it with no widgets at all.
#pragma once

#include <QString>

namespace tallyroot {
class FolderList;
}

namespace TallyrootModule {

class ListingWindow {
 public:
  virtual QString PathText() const = 0;  // the listed folder, ending with the separator
  virtual QString RootText() const = 0;  // the loaded root, ending with the separator
  virtual tallyroot::FolderList& List() = 0;

  // Lets pending window events be handled. Called once per reported entry,
  // so it must cost next to nothing when there is nothing to do.
  virtual void PassEvents() = 0;

  // Lets pending window events be handled while a walk waits on the device;
  // called every few milliseconds then, so it may look at the clock. No
  // entry has been reported since the last call of either. A window with no
  // events to pass (a test's, a benchmark's) need not.
  virtual void PassEventsWhileWaiting() {}

 protected:
  ~ListingWindow() = default;
};

}  // namespace TallyrootModule

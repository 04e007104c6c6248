#include "analysis/event_pass.h"

#include <QCoreApplication>

#include "list/folder_list.h"

namespace TallyrootModule {

ThrottledEventPass::ThrottledEventPass(tallyroot::FolderList& list, Clock::duration interval)
    : list_(list), interval_(interval), lastEnd_(Clock::now()) {}

void ThrottledEventPass::RunNow() {
  list_.Flush();
  QCoreApplication::processEvents();
  lastEnd_ = Clock::now();
}

}  // namespace TallyrootModule

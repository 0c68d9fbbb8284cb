#include "ui/main_loop.h"

#include "platform/log.h"
#include "platform/qt/qt_run_loop.h"

namespace est::ui {

RunLoop& mainLoop() {
  if (RunLoop* loop = RunLoop::main()) return *loop;
  // Never destroyed: its Qt timer must not outlive the application object at exit.
  static QtRunLoop* fallback = [] {
    logLine("ui: no main run loop set; timers and animations run on Qt's event loop");
    return new QtRunLoop;
  }();
  return *fallback;
}

}  // namespace est::ui

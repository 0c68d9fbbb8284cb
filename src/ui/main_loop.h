#pragma once

#include "platform/run_loop.h"

namespace est::ui {

// The loop that every timer and animation of the UI layer runs on: RunLoop::main() when the
// application (or a test, with a ManualRunLoop) has set one; otherwise a loop on Qt's event
// loop, created on first use, so that a forgotten setMain() still gives correct real time.
RunLoop& mainLoop();

}  // namespace est::ui

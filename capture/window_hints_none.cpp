// Window systems without a task-bar hint: nothing to do.
#include "capture/window_hints.h"

namespace snapvane {

void KeepOffTaskBar(QWidget&) {}

}  // namespace snapvane

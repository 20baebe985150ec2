#pragma once
// Hints to the window manager that Qt has no call for.
class QWidget;

namespace snapvane {

// Asks the window manager to leave window out of the task bar (it belongs to its
// owner, whose button stands for both). Call before the window is first shown;
// does nothing where the window system has no such hint.
void KeepOffTaskBar(QWidget& window);

}  // namespace snapvane

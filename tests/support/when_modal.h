#pragma once
// Acts on the next modal window a test is about to open (each runs its own loop),
// and takes the focus from an edit as tabbing away would.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFocusEvent>
#include <QTimer>
#include <functional>

namespace snapvane::test {

// Runs act on the modal window of type T once it is shown; another window
// showing first is a failure, and is closed so the test cannot hang on it.
template <typename T>
void WhenModal(std::function<void(T*)> act) {
  QTimer::singleShot(1, [act] {
    QWidget* top = QApplication::activeModalWidget();
    if (auto* window = qobject_cast<T*>(top)) return act(window);
    if (!top) return WhenModal<T>(act);
    ADD_FAILURE() << "another window opened: " << top->metaObject()->className();
    top->close();
  });
}

inline void LoseFocus(QWidget* widget) {
  QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
  QApplication::sendEvent(widget, &out);
}

}  // namespace snapvane::test

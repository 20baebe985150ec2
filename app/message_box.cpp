#include "app/message_box.h"

#include <cstdio>

namespace snapvane {
namespace {
MessageBoxHandler& BoxHandler() {
  static MessageBoxHandler handler;
  return handler;
}
BeepHandler& TheBeepHandler() {
  static BeepHandler handler;
  return handler;
}
}  // namespace

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  MessageBoxHandler old = std::move(BoxHandler());
  BoxHandler() = std::move(handler);
  return old;
}

BeepHandler SetBeepHandler(BeepHandler handler) {
  BeepHandler old = std::move(TheBeepHandler());
  TheBeepHandler() = std::move(handler);
  return old;
}

void ShowMessageBox(const std::string& text, const std::string& title, MessageIcon icon) {
  if (BoxHandler()) {
    BoxHandler()(MessageBoxRequest{text, title, icon});
    return;
  }
  std::fprintf(stderr, "%s%s%s\n", title.c_str(), title.empty() ? "" : ": ", text.c_str());
}

void Beep() {
  if (TheBeepHandler()) TheBeepHandler()();
}

}  // namespace snapvane

#pragma once
// Modal messages and the error beep, reachable from plain logic. The window layer
// installs handlers that show real boxes; without one, text goes to standard error.
#include <functional>
#include <string>

namespace snapvane {

enum class MessageIcon { kNone, kStop };

struct MessageBoxRequest {
  std::string text;
  std::string title;  // empty: the toolkit's default title
  MessageIcon icon = MessageIcon::kNone;
};

using MessageBoxHandler = std::function<void(const MessageBoxRequest&)>;
using BeepHandler = std::function<void()>;

// UI thread only. Returns the previous handler (tests restore it).
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);
BeepHandler SetBeepHandler(BeepHandler handler);

void ShowMessageBox(const std::string& text, const std::string& title = {},
                    MessageIcon icon = MessageIcon::kNone);
void Beep();

}  // namespace snapvane

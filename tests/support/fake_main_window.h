#pragma once
// The main window's controls as plain maps, for logic tests.
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/main_window_port.h"

namespace snapvane::test {

class FakeMainWindow : public MainWindowPort {
 public:
  bool IsChecked(int id) const override {
    auto it = checked.find(id);
    return it != checked.end() && it->second;
  }
  void SetChecked(int id, bool c) override { checked[id] = c; }
  std::string GetText(int id) const override {
    auto it = texts.find(id);
    return it == texts.end() ? std::string() : it->second;
  }
  void SetText(int id, std::string_view t) override { texts[id] = std::string(t); }
  void SetEnabled(int id, bool e) override { enabled[id] = e; }
  int GetSelection(int id) const override {
    auto it = selection.find(id);
    return it == selection.end() ? -1 : it->second;
  }
  void SetSelection(int id, int index) override { selection[id] = index; }
  bool SetTrayIcon(int iconId, std::string_view tip) override {
    tray.push_back({iconId, std::string(tip)});
    return trayIconsLoad;
  }
  void ResizePreview(int width, int height) override { previewSizes.push_back({width, height}); }
  void ShowPreview(bool visible) override { previewVisible = visible; }
  void WatchListenSocket(int fd, AcceptHandler onAcceptable) override {
    watchedFd = fd;
    onAccept = std::move(onAcceptable);
  }

  struct Tray {
    int iconId;
    std::string tip;
  };
  std::map<int, bool> checked;
  std::map<int, std::string> texts;
  std::map<int, bool> enabled;
  std::map<int, int> selection;
  std::vector<Tray> tray;
  bool trayIconsLoad = true;
  std::vector<std::pair<int, int>> previewSizes;
  bool previewVisible = true;
  int watchedFd = -1;
  AcceptHandler onAccept;
};

}  // namespace snapvane::test

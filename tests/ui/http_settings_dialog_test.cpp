// Dialog 113: what it shows, and what OK and Cancel leave in the settings.
#include "publish/http_settings_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <string>
#include <tuple>

#include "app/app_state.h"
#include "publish/http_auth.h"
#include "resources/dialog_ids.h"

namespace snapvane {
namespace {

// OK stores the port's low sixteen bits and the refresh only when ticked; the
// password only as its hash (an empty edit keeps it, no user name drops it); the
// stream's rate within 1..30. Cancel stores nothing.
TEST(HttpSettingsDialog, WhatOkStoresAndCancelDoesNot) {
  using namespace http_control;
  auto state = MakeAppState();
  state->httpPort = 40000;
  state->httpRefresh = 5;
  auto run = [&](const char* port, bool tick, const char* user, const char* password,
                 const char* fps, int button) {
    HttpSettingsDialog dialog(nullptr, *state);
    const BuiltDialog& b = dialog.Built();
    auto edit = [&](int id) { return b.ControlAs<QLineEdit>(id); };
    EXPECT_EQ(edit(kPort)->text(), QString::number(state->httpPort));
    EXPECT_TRUE(edit(http_control::kPassword)->text().isEmpty());
    EXPECT_TRUE(edit(kRefreshInterval)->isEnabled());  // whatever the box shows
    edit(kPort)->setText(port);
    b.ControlAs<QCheckBox>(kRefresh)->setChecked(tick);
    edit(kRefreshInterval)->setText("9");
    edit(kAddress)->setText(" ::1 ");
    edit(kUser)->setText(user);
    edit(http_control::kPassword)->setText(password);
    b.ControlAs<QCheckBox>(kStream)->setChecked(true);
    edit(kStreamFps)->setText(fps);
    b.ControlAs<QPushButton>(button)->click();
    EXPECT_EQ(dialog.result(), 1);
  };
  run("1", false, "cam", "s3cret", "99", 2);
  EXPECT_EQ(std::tuple(state->httpPort, state->httpRefresh, std::string(state->httpUser)),
            std::tuple(40000, 5, ""));
  run("70000", false, "cam", "s3cret", "99", 1);
  EXPECT_EQ(std::tuple(state->httpPort, state->httpRefresh, state->httpStream, state->httpStreamFps,
                       std::string(state->httpAddress)),
            std::tuple(4464, 0, 1, 30, "::1"));
  EXPECT_STREQ(state->httpUser, "cam");
  EXPECT_EQ(std::string(state->httpPassHash).find("s3cret"), std::string::npos);
  EXPECT_TRUE(CheckHttpPassword(state->httpPassHash, "s3cret"));
  const std::string stored = state->httpPassHash;
  run("80", true, "cam", "", "0", 1);
  EXPECT_EQ(std::tuple(state->httpPort, state->httpRefresh, std::string(state->httpPassHash),
                       state->httpStreamFps),
            std::tuple(80, 9, stored, 1));
  run("80", true, "", "", "5", 1);
  EXPECT_STREQ(state->httpPassHash, "");
}

}  // namespace
}  // namespace snapvane

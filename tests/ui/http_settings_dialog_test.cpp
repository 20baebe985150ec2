// Dialog 113: what it shows, and what OK and Cancel leave in the settings.
#include "publish/http_settings_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include "app/app_state.h"
#include "publish/http_auth.h"
#include "resources/dialog_ids.h"

namespace snapvane {
namespace {

TEST(HttpSettingsDialog, OkStoresLowSixteenBitsAndRefreshOnlyWhenTickedCancelNothing) {
  auto state = MakeAppState();
  state->httpPort = 40000;
  state->httpRefresh = 5;
  // {port typed, box ticked, button}: the port and refresh stored afterwards.
  const struct {
    const char* port;
    bool tick;
    int button;
    int storedPort, storedRefresh;
  } cases[] = {{"1", false, 2, 40000, 5}, {"70000", false, 1, 4464, 0}, {"80", true, 1, 80, 9}};
  for (const auto& c : cases) {
    HttpSettingsDialog dialog(nullptr, *state);
    const BuiltDialog& b = dialog.Built();
    EXPECT_EQ(b.ControlAs<QLineEdit>(http_control::kPort)->text(),
              QString::number(state->httpPort));
    EXPECT_TRUE(b.ControlAs<QLineEdit>(http_control::kRefreshInterval)
                    ->isEnabled());  // whatever the box shows
    b.ControlAs<QLineEdit>(http_control::kPort)->setText(c.port);
    b.ControlAs<QCheckBox>(http_control::kRefresh)->setChecked(c.tick);
    b.ControlAs<QLineEdit>(http_control::kRefreshInterval)->setText("9");
    b.ControlAs<QPushButton>(c.button)->click();
    EXPECT_EQ(dialog.result(), 1);
    EXPECT_EQ(state->httpPort, c.storedPort) << c.port;
    EXPECT_EQ(state->httpRefresh, c.storedRefresh) << c.port;
  }
}

// The password is stored only as its hash; an empty edit keeps it, no user
// name drops it. The stream's rate stays within 1..30.
TEST(HttpSettingsDialog, PasswordStoredAsHashAddressAndStreamRate) {
  auto state = MakeAppState();
  auto run = [&](const char* user, const char* password, const char* fps) {
    HttpSettingsDialog dialog(nullptr, *state);
    const BuiltDialog& b = dialog.Built();
    EXPECT_TRUE(b.ControlAs<QLineEdit>(http_control::kPassword)->text().isEmpty());
    b.ControlAs<QLineEdit>(http_control::kAddress)->setText(" ::1 ");
    b.ControlAs<QLineEdit>(http_control::kUser)->setText(user);
    b.ControlAs<QLineEdit>(http_control::kPassword)->setText(password);
    b.ControlAs<QCheckBox>(http_control::kStream)->setChecked(true);
    b.ControlAs<QLineEdit>(http_control::kStreamFps)->setText(fps);
    b.ControlAs<QPushButton>(1)->click();
  };
  run("cam", "s3cret", "99");
  EXPECT_STREQ(state->httpAddress, "::1");
  EXPECT_STREQ(state->httpUser, "cam");
  EXPECT_EQ(std::string(state->httpPassHash).find("s3cret"), std::string::npos);
  EXPECT_TRUE(CheckHttpPassword(state->httpPassHash, "s3cret"));
  EXPECT_EQ(state->httpStream, 1);
  EXPECT_EQ(state->httpStreamFps, 30);
  const std::string stored = state->httpPassHash;
  run("cam", "", "0");
  EXPECT_EQ(state->httpPassHash, stored);
  EXPECT_EQ(state->httpStreamFps, 1);
  run("", "", "5");
  EXPECT_STREQ(state->httpPassHash, "");
}

}  // namespace
}  // namespace snapvane

// Dialog 113: what it shows, and what OK and Cancel leave in the settings.
#include "publish/http_settings_dialog.h"
#include "resources/dialog_ids.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include "app/app_state.h"

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
    HttpSettingsDialog dialog(nullptr, state->httpPort, state->httpRefresh);
    const BuiltDialog& b = dialog.Built();
    EXPECT_EQ(b.ControlAs<QLineEdit>(http_control::kPort)->text(), QString::number(state->httpPort));
    EXPECT_TRUE(b.ControlAs<QLineEdit>(http_control::kRefreshInterval)->isEnabled());  // whatever the box shows
    b.ControlAs<QLineEdit>(http_control::kPort)->setText(c.port);
    b.ControlAs<QCheckBox>(http_control::kRefresh)->setChecked(c.tick);
    b.ControlAs<QLineEdit>(http_control::kRefreshInterval)->setText("9");
    b.ControlAs<QPushButton>(c.button)->click();
    EXPECT_EQ(dialog.result(), 1);
    EXPECT_EQ(state->httpPort, c.storedPort) << c.port;
    EXPECT_EQ(state->httpRefresh, c.storedRefresh) << c.port;
  }
}

}  // namespace
}  // namespace snapvane

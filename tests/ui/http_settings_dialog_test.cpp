// Dialog 113: what it shows, and what OK and Cancel leave in the settings.
#include "publish/http_settings_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/app_state.h"
#include "publish/http_server.h"
#include "tests/support/fake_main_window.h"

namespace snapvane {
namespace {

struct Controls {
  QLineEdit* port;
  QCheckBox* refresh;
  QLineEdit* interval;
  QPushButton* ok;
  QPushButton* cancel;
};

Controls Find(const HttpSettingsDialog& dialog) {
  const BuiltDialog& b = dialog.Built();
  return {b.ControlAs<QLineEdit>(1011), b.ControlAs<QCheckBox>(1014), b.ControlAs<QLineEdit>(1015),
          b.ControlAs<QPushButton>(1), b.ControlAs<QPushButton>(2)};
}

TEST(HttpSettingsDialog, ShowsTheSettingsWithItsLabels) {
  auto state = MakeAppState();
  state->httpPort = 40000;
  state->httpRefresh = 5;
  HttpSettingsDialog dialog(nullptr, *state);
  EXPECT_EQ(dialog.windowTitle(), "HTTP server settings");
  Controls c = Find(dialog);
  ASSERT_TRUE(c.port && c.refresh && c.interval && c.ok && c.cancel);
  EXPECT_EQ(c.port->text(), "40000");
  EXPECT_EQ(c.interval->text(), "5");
  EXPECT_TRUE(c.refresh->isChecked());
  EXPECT_EQ(c.refresh->text(), "Client Pull Refresh");
  EXPECT_TRUE(c.ok->isDefault());
  QStringList labels;
  for (QWidget* w : dialog.Built().controls)
    if (auto* label = qobject_cast<QLabel*>(w)) labels << label->text();
  EXPECT_EQ(labels, (QStringList{"Port Number", "[80]", "Refresh Interval", "Seconds"}));
}

TEST(HttpSettingsDialog, OkStoresLowSixteenBitsAndRefreshOnlyWhenTicked) {
  auto state = MakeAppState();
  state->httpPort = 80;
  state->httpRefresh = 0;
  {
    HttpSettingsDialog dialog(nullptr, *state);
    Controls c = Find(dialog);
    EXPECT_FALSE(c.refresh->isChecked());
    EXPECT_TRUE(c.interval->isEnabled());  // stays enabled whatever the box shows
    c.port->setText("70000");
    c.interval->setText("9");
    c.ok->click();
    EXPECT_EQ(dialog.result(), 1);
  }
  EXPECT_EQ(state->httpPort, 4464);
  EXPECT_EQ(state->httpRefresh, 0);  // not ticked
  {
    HttpSettingsDialog dialog(nullptr, *state);
    Controls c = Find(dialog);
    c.refresh->setChecked(true);
    c.interval->setText("9");
    c.ok->click();
  }
  EXPECT_EQ(state->httpRefresh, 9);
}

TEST(HttpSettingsDialog, CancelChangesNothing) {
  auto state = MakeAppState();
  state->httpPort = 8080;
  state->httpRefresh = 3;
  HttpSettingsDialog dialog(nullptr, *state);
  Controls c = Find(dialog);
  c.port->setText("1");
  c.refresh->setChecked(false);
  c.cancel->click();
  EXPECT_EQ(dialog.result(), 1);
  EXPECT_EQ(state->httpPort, 8080);
  EXPECT_EQ(state->httpRefresh, 3);
}

TEST(HttpSettingsDialog, PortZeroShowsThePortTheSystemChose) {
  auto state = MakeAppState();
  test::FakeMainWindow window;
  state->mainWindow = &window;
  state->httpPort = 0;
  ASSERT_EQ(EnableHttp(*state), 0);
  ASSERT_NE(state->httpPort, 0);
  {
    HttpSettingsDialog dialog(nullptr, *state);
    EXPECT_EQ(Find(dialog).port->text(), QString::number(state->httpPort));
  }
  DisableHttp(*state);
  EXPECT_EQ(state->listenSocket, kNoSocket);
  EXPECT_EQ(window.watchedFd, -1);
}

}  // namespace
}  // namespace snapvane

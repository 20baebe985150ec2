// 8-bit text in a Latin-1 locale: converted with the locale's own character set
// wherever it meets the widgets (caption, caption dialog, main window), not read
// as UTF-8.
#include "common/locale_text.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QTest>
#include <clocale>
#include <cstdlib>
#include <ctime>

#include "app/app_state.h"
#include "app/main_window.h"
#include "capture/caption_dialog.h"
#include "capture/caption_overlay.h"
#include "capture/caption_style.h"
#include "resources/dialog_ids.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

constexpr char kLatin1Locale[] = "fr_FR.ISO-8859-1";

// The process runs in fr_FR.ISO-8859-1, generated into the sandbox when the
// system does not have it.
class Latin1Locale : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::UseLocale(kLatin1Locale, locales_))
      GTEST_SKIP() << "no " << kLatin1Locale << " (packages locales and libc-bin make it)";
    ASSERT_FALSE(LocaleIsUtf8()) << LocaleCodeset();
  }
  void TearDown() override {
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
  }
  test::Sandbox locales_;
};

TEST_F(Latin1Locale, ConvertsBothWaysAndReplacesWhatTheOtherSideLacks) {
  EXPECT_EQ(LocaleToUtf8("Caf\xE9 d\xE9"
                         "cembre"),
            "Caf\xC3\xA9 d\xC3\xA9"
            "cembre");
  EXPECT_EQ(Utf8ToLocale("Caf\xC3\xA9"), "Caf\xE9");
  // The euro sign is not Latin-1; a stray byte is no UTF-8.
  EXPECT_EQ(Utf8ToLocale("1\xE2\x82\xAC \xFF!"), "1? ?!");
  std::string every;
  for (int c = 1; c < 256; ++c) every += static_cast<char>(c);
  EXPECT_EQ(Utf8ToLocale(LocaleToUtf8(every)), every);
  std::setlocale(LC_ALL, "C");  // ASCII is taken as UTF-8: nothing changes
  EXPECT_EQ(Utf8ToLocale("Caf\xC3\xA9"), "Caf\xC3\xA9");
  EXPECT_EQ(LocaleToUtf8("Caf\xC3\xA9"), "Caf\xC3\xA9");
}

// The user's text and strftime's month name are drawn as they read.
TEST_F(Latin1Locale, CaptionIsDrawnFromLocaleText) {
  auto style = MakeLoadedDefaultCaptionStyle();
  SetCaptionText(*style, "Caf\xE9 %B");
  std::tm december{};
  december.tm_year = 126, december.tm_mon = 11, december.tm_mday = 6;
  const QRect rect(0, 0, 200, 30);
  QImage drawn(rect.size(), QImage::Format_RGB32), expected = drawn;
  drawn.fill(Qt::gray), expected.fill(Qt::gray);
  {
    QPainter painter(&drawn);
    DrawCaptionAt(style.get(), painter, rect, december);
    QPainter reference(&expected);
    PaintCaptionPlan(PlanCaption(*style, rect, QStringLiteral("Café décembre")), reference);
  }
  QImage blank(rect.size(), QImage::Format_RGB32);
  blank.fill(Qt::gray);
  ASSERT_NE(drawn, blank);
  EXPECT_EQ(drawn, expected);

  // The dialog shows the stored text and stores what is typed in the locale's set.
  auto state = MakeAppState();
  state->captionStyle = std::move(style);
  CaptionSettingsDialog dialog(nullptr, state->captionStyle);
  dialog.show();
  auto* edit = dialog.Built().ControlAs<QLineEdit>(caption_control::kText);
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(edit->text(), QStringLiteral("Café %B"));
  edit->setFocus();
  edit->setText(QStringLiteral("Thé à %H:%M"));
  QTest::keyClick(edit, Qt::Key_Return);
  EXPECT_STREQ(state->captionStyle->text, "Th\xE9 \xE0 %H:%M");
}

// The window's boxes and log read and write locale text.
TEST_F(Latin1Locale, MainWindowTextIsLocaleText) {
  test::Sandbox config;
  setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
  setenv("SNAPVANE_CAPTURE", "pattern", 1);
  MainWindow::Options options;
  options.trayAvailable = false;
  MainWindow window(std::move(options));
  window.SetText(main_control::kFileName, "/tmp/caf\xE9.jpg");
  auto* box = window.Dialog().ControlAs<QLineEdit>(main_control::kFileName);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->text(), QStringLiteral("/tmp/café.jpg"));
  box->setText(QStringLiteral("/tmp/thé.jpg"));
  EXPECT_EQ(window.GetText(main_control::kFileName), "/tmp/th\xE9.jpg");
  window.RequestClose();
  unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace snapvane

// The main window's log list follows the activity log edit by edit: what it
// shows is what the log holds, also after the oldest lines were dropped and
// visits were completed in place.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QListView>
#include <QListWidget>
#include <cstdlib>

#include "app/activity_log.h"
#include "app/app_state.h"
#include "app/main_commands.h"
#include "app/main_window.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

TEST(LogView, ShowsExactlyTheLogAfterDropsAndCompletions) {
  test::Sandbox sandbox;
  setenv("XDG_CONFIG_HOME", sandbox.path().c_str(), 1);
  setenv("SNAPVANE_CAPTURE", "pattern", 1);
  {
    MainWindow window;
    window.show();
    auto* list = qobject_cast<QListView*>(window.Control(main_control::kLog));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(qobject_cast<QListWidget*>(list), nullptr);  // no item object per line
    const QAbstractItemModel& model = *list->model();
    ActivityLog& log = *window.State()->log;
    auto matches = [&] {
      QCoreApplication::processEvents();
      const auto lines = log.Lines();
      if (model.rowCount() != static_cast<int>(lines.size())) return false;
      for (int i = 0; i < model.rowCount(); ++i)
        if (model.index(i, 0).data().toString().toStdString() != lines[static_cast<size_t>(i)].text)
          return false;
      return true;
    };
    for (int i = 0; i < ActivityLog::kCapacity + 250; ++i) {
      log.AddVisitLine(i, "HTTP 10.0.0.1 - %s - now");
      if (i % 2) log.CompleteVisitLine(i - 1, "host" + std::to_string(i));
      if (i % 10000 == 0) QCoreApplication::processEvents();
    }
    log.AddLogLine(0, "first");
    EXPECT_TRUE(test::WaitFor(matches));
    window.RequestClose();
  }
  unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace snapvane

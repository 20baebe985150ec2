// The reference for the idle benchmark: a Qt Widgets window that does nothing.
#include <QApplication>
#include <QLabel>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QLabel label(QStringLiteral("idle"));
  label.resize(640, 480);
  label.show();
  return app.exec();
}

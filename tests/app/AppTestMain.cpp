// main of the window program's tests: one QApplication for the whole test program.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  // The tests never need a screen; the offscreen platform also serves test discovery.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Lombkalauz"));
  return RUN_ALL_TESTS();
}

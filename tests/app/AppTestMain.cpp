// main of the window program's tests: one QApplication for the whole test program.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  // The tests never need a screen; the offscreen platform also serves test discovery.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The windows of the tests, and the programs they start, stay on this machine: the
  // connectivity probe goes to a closed local port and no ad server is configured, whatever the
  // user's settings say. Tests that need either set them up themselves.
  qputenv("LOMBKALAUZ_PROBE", "127.0.0.1:9");
  qputenv("LOMBKALAUZ_ADSERVER", "");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Lombkalauz"));
  return RUN_ALL_TESTS();
}

// The end request takes effect only when control is back in the main loop.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include "MainLoop.h"

namespace {

constexpr int kSafetyMs = 10000;

TEST(MainLoopTest, EndRequestedInANestedModalLoopWaitsForThatLoopToFinish) {
  TMainLoop mainLoop;
  bool nestedLoopRanOn = false;
  bool modalEndedEarly = false;
  bool mainLoopEndedLate = false;
  QTimer safety;
  safety.setSingleShot(true);
  QObject::connect(&safety, &QTimer::timeout, [&] {
    mainLoopEndedLate = true;
    QCoreApplication::exit(1);
  });
  safety.start(kSafetyMs);

  QTimer::singleShot(0, [&] {
    QEventLoop modal;  // stands for a modal message box
    QTimer::singleShot(0, [&] { mainLoop.RequestEnd(); });
    QTimer::singleShot(50, [&] {
      nestedLoopRanOn = true;
      modal.exit(0);
    });
    modal.exec();
    modalEndedEarly = !nestedLoopRanOn;
  });
  EXPECT_EQ(mainLoop.Run(), 0);
  EXPECT_TRUE(nestedLoopRanOn);
  EXPECT_FALSE(modalEndedEarly);
  EXPECT_FALSE(mainLoopEndedLate);
  EXPECT_TRUE(mainLoop.EndRequested());
}

TEST(MainLoopTest, EndRequestedBeforeTheLoopRunsEndsItAtOnce) {
  TMainLoop mainLoop;
  mainLoop.RequestEnd();  // e.g. from a handler that ran before the loop started
  QTimer safety;
  safety.setSingleShot(true);
  bool late = false;
  QObject::connect(&safety, &QTimer::timeout, [&] {
    late = true;
    QCoreApplication::exit(1);
  });
  safety.start(kSafetyMs);
  EXPECT_EQ(mainLoop.Run(), 0);
  EXPECT_FALSE(late);
}

}  // namespace

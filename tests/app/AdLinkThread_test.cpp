// The ad server link's own thread: jobs run there, one after another, their results and their
// exceptions come back to the caller, and the caller's events are handled while it waits.
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "AdLinkThread.h"

namespace {

TAdConfig NoServer() { return {{QStringLiteral("127.0.0.1"), 9}, std::nullopt}; }

TEST(AdLinkThreadTest, JobsRunOnTheLinksThreadInOrderAndTheirResultsComeBack) {
  TAdLinkThread link(NoServer());
  std::vector<int> order;
  QThread* const caller = QThread::currentThread();
  QThread* worker = nullptr;
  for (int job = 1; job <= 3; ++job) {
    const int result = link.Run([&, job](TAdServerLink& server) {
      worker = QThread::currentThread();
      order.push_back(job);
      EXPECT_FALSE(server.LinkTest());
      return job * 10;
    });
    EXPECT_EQ(result, job * 10);
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_NE(worker, nullptr);
  EXPECT_NE(worker, caller);
}

TEST(AdLinkThreadTest, AnExceptionOfTheJobIsRaisedAgainForTheCaller) {
  TAdLinkThread link(NoServer());
  EXPECT_THROW(link.Run([](TAdServerLink&) -> int { throw std::runtime_error("job failed"); }),
               std::runtime_error);
  // The thread goes on serving.
  EXPECT_EQ(link.Run([](TAdServerLink&) { return 7; }), 7);
}

TEST(AdLinkThreadTest, TheCallersEventsAreHandledWhileItWaits) {
  TAdLinkThread link(NoServer());
  bool waiting = false;
  bool handledWhileWaiting = false;
  QTimer::singleShot(0, [&] {
    handledWhileWaiting = waiting;
    EXPECT_TRUE(link.Waiting());
  });
  waiting = true;
  link.Run([](TAdServerLink&) { QThread::msleep(300); });
  waiting = false;
  EXPECT_TRUE(handledWhileWaiting);
  EXPECT_FALSE(link.Waiting());
}

}  // namespace

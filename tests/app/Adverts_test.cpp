// The adverts of the main window against a real ad server: the banner rotation, the built-in
// adverts, the popup with its picture, link, next advert and click, the banner click, a window
// that keeps answering while the link waits, a server that goes away and comes back, and the
// close-down.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "AdBanner.h"
#include "AdTestServer.h"
#include "AppTestSupport.h"
#include "MainLoop.h"
#include "MessageDialogs.h"
#include "Resources.h"
#include "TimeOfDayText.h"
#include "Unit1.h"
#include "Unit3.h"

using apptest::TAdTestServer;
using apptest::TProbeHost;
using apptest::TTestAdvert;
using apptest::TTestClock;
using ::testing::ElementsAre;

namespace {

// 2026-12-11 is a Friday.
const QDateTime kNoon(QDate(2026, 12, 11), QTime(12, 0, 0));
const QString kPictureError = QStringLiteral("A hirdetés képe nem olvasható JPEG kép.");

// The shell's "open" verb, recording its targets.
struct TRecordingOpener {
  QStringList opened;
  TShellOpen Open() {
    return [this](const QString& target) { opened.push_back(target); };
  }
};

void Click(QWidget* control) {
  const QPointF point(2, 2);
  QMouseEvent release(QEvent::MouseButtonRelease, point, control->mapToGlobal(point),
                      Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(control, &release);
}

// The colour in the middle of the popup's picture.
QRgb PictureColour(const TForm3& popup) {
  const QImage image = popup.Image1->pixmap().toImage();
  return image.isNull() ? 0 : image.pixel(image.width() / 2, image.height() / 2);
}

bool IsReddish(QRgb colour) { return qRed(colour) > 200 && qBlue(colour) < 60; }
bool IsBluish(QRgb colour) { return qBlue(colour) > 200 && qRed(colour) < 60; }

class AdvertsTest : public ::testing::Test {
 protected:
  AdvertsTest() {
    form.Timer2->stop();  // the test makes the ticks
    form.AttachWindows(nullptr, &popup);
    form.Adverts().SetClock(clock);
    form.Adverts().SetShellOpen(opener.Open());
  }

  void SetUp() override { server.ClearAdverts(); }

  void UseServer() { form.Adverts().Configure({probe.Target(), server.Settings()}); }

  // A popup advert for the whole day with a picture of one colour; its AZON.
  int AddPopup(const QString& link, Qt::GlobalColor colour) {
    TTestAdvert advert;
    advert.tip = 3;
    advert.link = link;
    advert.kep = apptest::JpegPicture(321, 441, colour);
    return server.AddAdvert(advert);
  }

  // Runs Inside while the popup window shows modally during Tick, then closes the popup. A
  // popup that never shows fails the test instead of waiting.
  void WhileThePopupShows(const std::function<void()>& tick, const std::function<void()>& inside) {
    bool ran = false;
    QTimer watcher;
    watcher.setInterval(20);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
      if (!popup.isVisible() || ran) return;
      ran = true;
      inside();
      popup.close();
    });
    watcher.start();
    tick();
    watcher.stop();
    EXPECT_TRUE(ran) << "the popup was not shown";
  }

  bool ShowsABuiltInAdvert() const {
    for (const auto& advert : form.v_hird)
      if (form.Label13->text() == advert[TForm1::kHirdTitle] &&
          form.Label14->text() == advert[TForm1::kHirdDescription] &&
          form.Label17->text() == advert[TForm1::kHirdLink])
        return true;
    return false;
  }

  TAdTestServer& server = TAdTestServer::Get();
  apptest::TScratchDirectory scratch;
  apptest::TCurrentDirectory cwd{scratch.Path()};
  TScriptedMessageDialogs dialogs;
  TMainLoop mainLoop;
  TEmbeddedResources resources;
  TTestClock clock{kNoon};
  TRecordingOpener opener;
  TProbeHost probe;
  TForm1 form{dialogs, mainLoop, resources};
  TForm3 popup;
};

TEST_F(AdvertsTest, WithoutALinkTheBoxShowsABuiltInAdvertDrawnAnewEachTickAndNoPopup) {
  apptest::ShowWithTheFirstAdvert(form);
  EXPECT_FALSE(form.v_conn);
  EXPECT_EQ(form.Adverts().LastRefreshProbes(), 3);
  EXPECT_TRUE(ShowsABuiltInAdvert());
  std::set<QString> titles;
  for (int tick = 0; tick < 40; ++tick) {
    clock.Advance(14 * 60);  // popups would be due every time
    form.Timer2Timer();
    ASSERT_TRUE(ShowsABuiltInAdvert()) << form.Label13->text().toStdString();
    titles.insert(form.Label13->text());
  }
  EXPECT_GT(titles.size(), 1u);
  EXPECT_FALSE(popup.isVisible());
  EXPECT_TRUE(dialogs.Messages().isEmpty());
}

TEST_F(AdvertsTest, TheSavedPopupTimeMovesOnlyWhenMoreThanTwoWholeMinutesHavePassed) {
  clock.Set(QDateTime(kNoon.date(), QTime(23, 58, 0)));
  apptest::ShowWithTheFirstAdvert(form);
  EXPECT_EQ(form.SavedPopupTime(), TimeOfDayToText(QTime(23, 58, 0)));
  struct Tick {
    QTime now;
    QTime savedAfter;
  };
  const Tick ticks[] = {
      {QTime(23, 59, 0), QTime(23, 58, 0)},   // one whole minute
      {QTime(0, 0, 30), QTime(0, 0, 30)},     // times of day: almost a whole day apart
      {QTime(0, 3, 29), QTime(0, 0, 30)},     // two whole minutes
      {QTime(0, 3, 30), QTime(0, 3, 30)},     // three
  };
  for (const Tick& tick : ticks) {
    SCOPED_TRACE(tick.now.toString().toStdString());
    clock.Set(QDateTime(tick.now < QTime(12, 0) ? kNoon.date().addDays(1) : kNoon.date(), tick.now));
    form.Timer2Timer();
    EXPECT_EQ(form.SavedPopupTime(), TimeOfDayToText(tick.savedAfter));
  }
}

TEST_F(AdvertsTest, AScheduledBannerIsShownCountedAndSwitchesTheAboutLabels) {
  TTestAdvert advert;
  advert.cim = QStringLiteral("Őszi vadásznapok");
  advert.sora = QStringLiteral("Hajtóvadászat");
  advert.sorb = QStringLiteral("a Bakonyban");
  advert.sorc = QStringLiteral("hétvégén");
  advert.link = QStringLiteral("https://vadasznapok.example.org/");
  advert.amegjelen = false;
  advert.bmegjelen = true;
  advert.cmegjelen = false;
  const int azon = server.AddAdvert(advert);
  UseServer();
  apptest::ShowWithTheFirstAdvert(form);

  EXPECT_TRUE(form.v_conn);
  EXPECT_EQ(form.Label13->text(), QStringLiteral("Őszi vadásznapok"));
  EXPECT_EQ(form.Label14->text(), QStringLiteral("Hajtóvadászat a Bakonyban hétvégén"));
  EXPECT_EQ(form.Label17->text(), QStringLiteral("https://vadasznapok.example.org/"));
  EXPECT_TRUE(form.Label3->isHidden());
  EXPECT_FALSE(form.Label4->isHidden());
  EXPECT_TRUE(form.Label5->isHidden());
  EXPECT_FALSE(form.GroupBox1->isHidden());
  EXPECT_EQ(server.Counters(azon)[0], 1);  // the show handler's banner

  form.Timer2Timer();
  form.Timer2Timer();
  EXPECT_EQ(server.Counters(azon), (std::array<int, 3>{3, 0, 10}));
  EXPECT_TRUE(dialogs.Messages().isEmpty());
}

TEST_F(AdvertsTest, BannersRotateWithoutShowingTheSameTwiceRunning) {
  for (const char* title : {"egy", "kettő", "három", "négy"}) {
    TTestAdvert advert;
    advert.cim = QString::fromUtf8(title);
    server.AddAdvert(advert);
  }
  UseServer();
  apptest::ShowWithTheFirstAdvert(form);
  std::set<QString> seen{form.Label13->text()};
  for (int tick = 0; tick < 40; ++tick) {
    const QString previous = form.Label13->text();
    form.Timer2Timer();
    ASSERT_NE(form.Label13->text(), previous) << "tick " << tick;
    seen.insert(form.Label13->text());
  }
  EXPECT_EQ(seen.size(), 4u);
  EXPECT_EQ(server.Value("SELECT SUM(MEGJELENITVE) FROM tbl_Hdetes_sum").toInt(), 41);
}

TEST_F(AdvertsTest, NoScheduledBannerLeavesTheBoxEmptyAndCountsNothing) {
  TTestAdvert evening;
  evening.kezd = QStringLiteral("20:00");
  const int azon = server.AddAdvert(evening);
  UseServer();
  form.Label4->hide();
  apptest::ShowWithTheFirstAdvert(form);
  EXPECT_TRUE(form.v_conn);
  EXPECT_FALSE(form.GroupBox1->isHidden());
  EXPECT_TRUE(form.Label13->text().isEmpty());
  EXPECT_TRUE(form.Label14->text().isEmpty());
  EXPECT_TRUE(form.Label17->text().isEmpty());
  EXPECT_TRUE(form.Label4->isHidden());  // the about page keeps what it had
  EXPECT_FALSE(form.Label3->isHidden());
  EXPECT_EQ(server.Counters(azon)[0], 0);

  clock.Set(QDateTime(kNoon.date(), QTime(20, 30)));
  form.Timer2Timer();  // popup due, but there is no popup advert
  EXPECT_EQ(form.Label13->text(), QStringLiteral("Cím"));
  EXPECT_EQ(server.Counters(azon)[0], 1);
}

TEST_F(AdvertsTest, ThePopupComesAfterThreeWholeMinutesWithItsPictureAndLinkAndCountsAClick) {
  TTestAdvert banner;
  const int bannerAzon = server.AddAdvert(banner);
  const int popupAzon = AddPopup(QStringLiteral("https://felugro.example.org/"), Qt::red);
  UseServer();
  apptest::ShowWithTheFirstAdvert(form);

  clock.Set(kNoon.addSecs(2 * 60 + 59));  // two whole minutes: not yet
  form.Timer2Timer();
  EXPECT_FALSE(popup.isVisible());
  EXPECT_EQ(server.Counters(popupAzon)[0], 0);

  clock.Set(kNoon.addSecs(3 * 60));
  WhileThePopupShows([&] { form.Timer2Timer(); }, [&] {
    EXPECT_EQ(popup.Label1->text(), QStringLiteral("https://felugro.example.org/"));
    EXPECT_TRUE(IsReddish(PictureColour(popup)));
    EXPECT_EQ(popup.Image1->size(), QSize(321, 441));
    EXPECT_TRUE(popup.Image1->hasScaledContents());
    EXPECT_EQ(server.Counters(popupAzon)[0], 1);

    // Rotations go on under the popup, but no second popup opens while it shows.
    clock.Advance(10 * 60);
    form.Timer2Timer();
    EXPECT_EQ(server.Counters(popupAzon)[0], 1);

    Click(popup.Image1);
    EXPECT_EQ(server.Counters(popupAzon), (std::array<int, 3>{1, 1, 9}));
    EXPECT_THAT(opener.opened, ElementsAre("https://felugro.example.org/"));
    Click(popup.Label1);
    EXPECT_EQ(server.Counters(popupAzon), (std::array<int, 3>{1, 2, 8}));
  });
  // The rotation that showed the popup goes on with the banner when it closes. The clicks
  // counted for the popup's advert, though the rotation under the popup had selected the banner.
  EXPECT_EQ(form.Label13->text(), QStringLiteral("Cím"));
  // At show, at 2:59, under the popup, after the popup.
  EXPECT_EQ(server.Counters(bannerAzon), (std::array<int, 3>{4, 0, 10}));
  EXPECT_TRUE(dialogs.Messages().isEmpty());
}

TEST_F(AdvertsTest, NextAdvertShowsAnotherPopupAndCountsIt) {
  const Qt::GlobalColor colours[] = {Qt::red, Qt::blue, Qt::green};
  for (int n = 0; n < 3; ++n)
    AddPopup(QStringLiteral("https://felugro%1.example.org/").arg(n), colours[n]);
  UseServer();
  apptest::ShowWithTheFirstAdvert(form);
  clock.Advance(5 * 60);
  WhileThePopupShows([&] { form.Timer2Timer(); }, [&] {
    QString previous = popup.Label1->text();
    for (int click = 0; click < 6; ++click) {
      popup.BitBtn1->click();
      EXPECT_NE(popup.Label1->text(), previous);
      previous = popup.Label1->text();
      EXPECT_TRUE(popup.isVisible());
    }
    EXPECT_FALSE(form.GroupBox1->isHidden());  // the box form of the refresh: link up
  });
  EXPECT_EQ(server.Value("SELECT SUM(MEGJELENITVE) FROM tbl_Hdetes_sum").toInt(), 7);
  EXPECT_EQ(server.Value("SELECT SUM(KLIKKELVE) FROM tbl_Hdetes_sum").toInt(), 0);
}

TEST_F(AdvertsTest, APictureThatIsNotAJpegKeepsThePreviousPicture) {
  AddPopup(QStringLiteral("https://elso.example.org/"), Qt::red);
  UseServer();
  apptest::ShowWithTheFirstAdvert(form);
  clock.Advance(5 * 60);
  WhileThePopupShows([&] { form.Timer2Timer(); }, [&] {
    ASSERT_TRUE(IsReddish(PictureColour(popup)));
    for (const char* picture : {"'nem kép'", "''", "NULL", "0xFFD8FFE000"}) {
      SCOPED_TRACE(picture);
      server.Exec(QStringLiteral("UPDATE tbl_Hdetes SET KEP = %1, LINK = 'https://masik.example.org/'")
                      .arg(QString::fromLatin1(picture)));
      popup.BitBtn1->click();
      EXPECT_EQ(popup.Label1->text(), QStringLiteral("https://masik.example.org/"));
      EXPECT_TRUE(IsReddish(PictureColour(popup)));
      EXPECT_EQ(dialogs.Messages().last(), kPictureError);
    }
    server.Exec(QStringLiteral("UPDATE tbl_Hdetes SET KEP = 0x%1")
                    .arg(QString::fromLatin1(apptest::JpegPicture(321, 441, Qt::blue).toHex())));
    popup.BitBtn1->click();
    EXPECT_TRUE(IsBluish(PictureColour(popup)));
  });
  EXPECT_EQ(dialogs.Messages().size(), 4);
}

TEST_F(AdvertsTest, NextAdvertWithTheServerGoneHidesTheBoxAndKeepsThePopupsAdvert) {
  const int azon = AddPopup(QStringLiteral("https://felugro.example.org/"), Qt::red);
  UseServer();
  apptest::ShowWithTheFirstAdvert(form);
  clock.Advance(5 * 60);
  WhileThePopupShows([&] { form.Timer2Timer(); }, [&] {
    server.Stop();
    popup.BitBtn1->click();
    EXPECT_TRUE(form.GroupBox1->isHidden());
    EXPECT_FALSE(form.v_conn);
    EXPECT_EQ(popup.Label1->text(), QStringLiteral("https://felugro.example.org/"));
    EXPECT_TRUE(IsReddish(PictureColour(popup)));
    EXPECT_TRUE(popup.isVisible());
    // A click with the link down still leads to the advertiser; it cannot be counted.
    Click(popup.Image1);
    EXPECT_THAT(opener.opened, ElementsAre("https://felugro.example.org/"));

    server.Start();
    popup.BitBtn1->click();
    EXPECT_FALSE(form.GroupBox1->isHidden());
    EXPECT_TRUE(form.v_conn);
  });
  // The popup, and the next advert once back; the click went uncounted.
  EXPECT_EQ(server.Counters(azon), (std::array<int, 3>{2, 0, 10}));
  EXPECT_TRUE(dialogs.Messages().isEmpty()) << dialogs.Messages().join("; ").toStdString();
}

TEST_F(AdvertsTest, ABannerClickOpensTheLinkWithoutCounting) {
  TTestAdvert advert;
  advert.link = QStringLiteral("https://banner.example.org/");
  const int azon = server.AddAdvert(advert);
  UseServer();
  apptest::ShowWithTheFirstAdvert(form);
  for (QLabel* label : {form.Label13, form.Label14, form.Label17}) Click(label);
  EXPECT_THAT(opener.opened, ElementsAre("https://banner.example.org/", "https://banner.example.org/",
                                         "https://banner.example.org/"));
  EXPECT_EQ(server.Counters(azon), (std::array<int, 3>{1, 0, 10}));
}

TEST_F(AdvertsTest, TheWindowKeepsAnsweringWhileAProbeWaitsForAnAddressThatNeverAnswers) {
  apptest::TSilentHost silent;
  form.Adverts().Configure({silent.Target(), server.Settings()});
  bool refreshing = false;
  int ticksDuringTheRefresh = 0;
  QTimer ticker;
  ticker.setInterval(50);
  QObject::connect(&ticker, &QTimer::timeout, [&] { ticksDuringTheRefresh += refreshing; });
  ticker.start();

  QElapsedTimer elapsed;
  elapsed.start();
  refreshing = true;
  form.Adverts().RefreshLink();
  refreshing = false;

  // The probes did wait (each up to its two seconds), and the window's own timers ran meanwhile.
  EXPECT_GE(elapsed.elapsed(), 4000);
  EXPECT_GT(ticksDuringTheRefresh, 10);
  EXPECT_FALSE(form.v_conn);
  EXPECT_EQ(form.Adverts().LastRefreshProbes(), 3);
}

TEST_F(AdvertsTest, AServerThatStopsUnderARunningWindowGivesBuiltInAdvertsUntilItIsBack) {
  TTestAdvert advert;
  advert.cim = QStringLiteral("A szerverről");
  server.AddAdvert(advert);
  UseServer();
  apptest::ShowWithTheFirstAdvert(form);
  ASSERT_EQ(form.Label13->text(), QStringLiteral("A szerverről"));

  server.Stop();
  for (int tick = 0; tick < 2; ++tick) {
    form.Timer2Timer();
    EXPECT_FALSE(form.v_conn);
    EXPECT_TRUE(ShowsABuiltInAdvert());
  }
  server.Start();
  form.Timer2Timer();
  EXPECT_TRUE(form.v_conn);
  EXPECT_EQ(form.Label13->text(), QStringLiteral("A szerverről"));
  EXPECT_TRUE(dialogs.Messages().isEmpty()) << dialogs.Messages().join("; ").toStdString();
}

TEST_F(AdvertsTest, ClosingTheWindowClosesTheDetailTableThenTheSummaryTableThenTheConnection) {
  UseServer();
  apptest::ShowWithTheFirstAdvert(form);
  ASSERT_TRUE(form.v_conn);
  dialogs.AddAnswer(true);
  ASSERT_TRUE(form.close());
  const QStringList journal = form.Adverts().Journal();
  EXPECT_THAT(journal.mid(journal.size() - 3),
              ElementsAre("close tbl_Hdetes", "close tbl_Hdetes_sum", "disconnect"));
  // Closed for good: a late tick neither reconnects nor shows anything.
  form.Timer2Timer();
  EXPECT_EQ(form.Adverts().Journal(), journal);
}

}  // namespace

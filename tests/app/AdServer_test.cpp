// The link to a real ad server (the local MariaDB server of scripts/adserver.sh): the link
// refresh and its probes, the schedule filter evaluated by the server, the draw, the counters
// and the faults of the server.
#include <QSet>
#include <QSqlDatabase>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "AdSelection.h"
#include "AdServer.h"
#include "AdTestServer.h"

using apptest::TAdTestServer;
using apptest::TProbeHost;
using apptest::TTestAdvert;
using ::testing::ElementsAre;

namespace {

// 2026-12-11 is a Friday.
const QDate kFriday(2026, 12, 11);

class AdServerTest : public ::testing::Test {
 protected:
  void SetUp() override { server.ClearAdverts(); }

  TAdConfig Config() const { return {probe.Target(), server.Settings()}; }

  // The titles of the adverts the link selects for Kind at Now over enough draws to see each.
  QSet<QString> Selected(TAdServerLink& link, int kind, const QDateTime& now, int* candidates) {
    QSet<QString> titles;
    for (int draw = 0; draw < 40; ++draw) {
      const TAdSelection selection = link.Select(kind, now, QLatin1Char(':'));
      EXPECT_FALSE(selection.failed) << selection.error.toStdString();
      *candidates = selection.candidates;
      if (!selection.selected) break;
      titles.insert(selection.row.cim);
    }
    return titles;
  }

  TAdTestServer& server = TAdTestServer::Get();
  TProbeHost probe;
};

// Renames a table for the life of the object, as if the server did not have it.
class TMissingTable {
 public:
  TMissingTable(TAdTestServer& server, const QString& table) : server_(server), table_(table) {
    server_.Exec(QStringLiteral("RENAME TABLE %1 TO %1_away").arg(table_));
  }
  ~TMissingTable() { Restore(); }
  void Restore() {
    if (restored_) return;
    restored_ = true;
    server_.Exec(QStringLiteral("RENAME TABLE %1_away TO %1").arg(table_));
  }

 private:
  TAdTestServer& server_;
  QString table_;
  bool restored_ = false;
};

TEST_F(AdServerTest, TheScheduleFilterPassesTheAdvertsOfTheDateTimeWeekdayAndKind) {
  auto add = [this](const char* title, const std::function<void(TTestAdvert&)>& change) {
    TTestAdvert advert;
    advert.cim = QString::fromUtf8(title);
    advert.datkezd = QStringLiteral("2026-12-01");
    advert.datveg = QStringLiteral("2026-12-31");
    change(advert);
    server.AddAdvert(advert);
  };
  auto only = [](std::initializer_list<int> days) {
    std::array<QVariant, 7> flags = {false, false, false, false, false, false, false};
    for (int day : days) flags[static_cast<std::size_t>(day)] = true;
    return flags;
  };
  add("egész hónap", [](TTestAdvert&) {});
  add("tegnap lejárt", [](TTestAdvert& a) { a.datkezd = "2026-11-01"; a.datveg = "2026-12-10"; });
  add("holnap kezdődik", [](TTestAdvert& a) { a.datkezd = "2026-12-12"; });
  add("ma ér véget", [](TTestAdvert& a) { a.datveg = "2026-12-11"; });
  add("esti", [](TTestAdvert& a) { a.kezd = "20:00"; a.vege = "23:59"; });
  add("reggeli", [](TTestAdvert& a) { a.kezd = "06:00"; a.vege = "09:00"; });
  add("hétvégi", [&](TTestAdvert& a) { a.days = only({0, 6}); });
  add("pénteki", [&](TTestAdvert& a) { a.days = only({5}); });
  add("felugró", [](TTestAdvert& a) { a.tip = 3; });
  add("elfogyott", [](TTestAdvert& a) { a.hatralevo = 0; });
  add("üres keret", [](TTestAdvert& a) { a.hatralevo = QVariant(); });
  add("nincs dátuma", [](TTestAdvert& a) { a.datkezd = QVariant(); a.datveg = QVariant(); });
  add("nincs napja", [](TTestAdvert& a) { a.days[5] = QVariant(); a.days[6] = QVariant(); });

  struct Case {
    QDateTime now;
    int kind;
    QStringList expected;
  };
  const Case cases[] = {
      {QDateTime(kFriday, QTime(12, 0)), kBannerAdvert,
       {"egész hónap", "ma ér véget", "pénteki"}},
      {QDateTime(kFriday, QTime(23, 59, 30)), kBannerAdvert,
       {"egész hónap", "ma ér véget", "esti", "pénteki"}},
      {QDateTime(kFriday, QTime(7, 0)), kBannerAdvert,
       {"egész hónap", "ma ér véget", "reggeli", "pénteki"}},
      {QDateTime(kFriday, QTime(9, 0, 59)), kBannerAdvert,
       {"egész hónap", "ma ér véget", "reggeli", "pénteki"}},
      {QDateTime(kFriday, QTime(9, 1)), kBannerAdvert, {"egész hónap", "ma ér véget", "pénteki"}},
      {QDateTime(kFriday.addDays(1), QTime(12, 0)), kBannerAdvert,
       {"egész hónap", "holnap kezdődik", "hétvégi"}},
      {QDateTime(kFriday.addDays(-1), QTime(12, 0)), kBannerAdvert,
       {"egész hónap", "tegnap lejárt", "ma ér véget", "nincs napja"}},
      {QDateTime(kFriday, QTime(12, 0)), kPopupAdvert, {"felugró"}},
      {QDateTime(QDate(2027, 1, 1), QTime(12, 0)), kBannerAdvert, {}},
  };
  TAdServerLink link(Config());
  ASSERT_TRUE(link.Refresh().conn);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.now.toString(Qt::ISODate).toStdString() + " kind " + std::to_string(c.kind));
    int candidates = -1;
    const QSet<QString> selected = Selected(link, c.kind, c.now, &candidates);
    EXPECT_EQ(candidates, c.expected.size());
    EXPECT_EQ(selected, QSet<QString>(c.expected.begin(), c.expected.end()));
  }
}

TEST_F(AdServerTest, WithThreeAdvertsNoTwoDrawsRunningAreTheSame) {
  for (const char* title : {"egy", "kettő", "három"}) {
    TTestAdvert advert;
    advert.cim = QString::fromUtf8(title);
    server.AddAdvert(advert);
  }
  TAdServerLink link(Config());
  ASSERT_TRUE(link.Refresh().conn);
  QString previous;
  for (int tick = 0; tick < 60; ++tick) {
    const TAdSelection selection = link.Select(kBannerAdvert, QDateTime(kFriday, QTime(12, 0)),
                                               QLatin1Char(':'));
    ASSERT_TRUE(selection.selected);
    ASSERT_NE(selection.row.cim, previous) << "tick " << tick;
    previous = selection.row.cim;
  }
}

TEST_F(AdServerTest, CountersAreWrittenToTheServer) {
  TTestAdvert advert;
  advert.tip = 3;
  advert.hatralevo = 2;
  advert.megjelenitve = 7;
  const int azon = server.AddAdvert(advert);
  TAdServerLink link(Config());
  ASSERT_TRUE(link.Refresh().conn);
  const QDateTime now(kFriday, QTime(12, 0));

  const TAdSelection selection = link.Select(kPopupAdvert, now, QLatin1Char(':'));
  ASSERT_TRUE(selection.selected);
  EXPECT_EQ(selection.azon.toInt(), azon);
  EXPECT_FALSE(link.CountDisplay(selection.azon).failed);
  EXPECT_FALSE(link.CountDisplay(selection.azon).failed);
  EXPECT_FALSE(link.CountClick(selection.azon).failed);
  // Read back through the test's own connection.
  EXPECT_EQ(server.Counters(azon), (std::array<int, 3>{9, 1, 1}));

  // The last click left: afterwards the advert no longer passes the filter.
  EXPECT_FALSE(link.CountClick(selection.azon).failed);
  EXPECT_EQ(server.Counters(azon), (std::array<int, 3>{9, 2, 0}));
  const TAdSelection after = link.Select(kPopupAdvert, now, QLatin1Char(':'));
  EXPECT_FALSE(after.failed);
  EXPECT_FALSE(after.selected);
  // Nothing selected: nothing is counted.
  EXPECT_FALSE(link.CountDisplay(after.azon).failed);
  EXPECT_EQ(server.Counters(azon), (std::array<int, 3>{9, 2, 0}));
}

TEST_F(AdServerTest, TwoWindowsCountingAtOnceLoseNoCount) {
  TTestAdvert advert;
  advert.megjelenitve = 5;
  advert.hatralevo = 100;
  const int azon = server.AddAdvert(advert);
  TAdServerLink first(Config());
  TAdServerLink second(Config());
  ASSERT_TRUE(first.Refresh().conn);
  ASSERT_TRUE(second.Refresh().conn);
  const QDateTime now(kFriday, QTime(12, 0));
  // Both read the row, then both count: each starts from the value it read.
  const TAdSelection a = first.Select(kBannerAdvert, now, QLatin1Char(':'));
  const TAdSelection b = second.Select(kBannerAdvert, now, QLatin1Char(':'));
  ASSERT_TRUE(a.selected);
  ASSERT_TRUE(b.selected);
  for (int round = 0; round < 10; ++round) {
    ASSERT_FALSE(first.CountDisplay(a.azon).failed);
    ASSERT_FALSE(second.CountDisplay(b.azon).failed);
    ASSERT_FALSE(second.CountClick(b.azon).failed);
    ASSERT_FALSE(first.CountClick(a.azon).failed);
  }
  EXPECT_EQ(server.Counters(azon), (std::array<int, 3>{25, 20, 80}));
}

TEST_F(AdServerTest, NullsInAnyColumnReadAsEmptyAndCountFromZero) {
  TTestAdvert advert;
  advert.megjelenitve = QVariant();
  advert.klikkelve = QVariant();
  advert.cim = advert.sora = advert.sorb = advert.sorc = advert.link = QVariant();
  advert.kep = QVariant();
  advert.amegjelen = advert.bmegjelen = advert.cmegjelen = QVariant();
  const int azon = server.AddAdvert(advert);
  TAdServerLink link(Config());
  ASSERT_TRUE(link.Refresh().conn);
  const TAdSelection selection =
      link.Select(kBannerAdvert, QDateTime(kFriday, QTime(12, 0)), QLatin1Char(':'));
  ASSERT_TRUE(selection.selected);
  EXPECT_TRUE(selection.row.cim.isEmpty());
  EXPECT_TRUE(selection.row.link.isEmpty());
  EXPECT_TRUE(selection.row.kep.isEmpty());
  EXPECT_FALSE(selection.row.amegjelen);
  EXPECT_FALSE(link.CountDisplay(selection.azon).failed);
  EXPECT_FALSE(link.CountClick(selection.azon).failed);
  EXPECT_EQ(server.Counters(azon), (std::array<int, 3>{1, 1, 9}));
}

TEST_F(AdServerTest, ACampaignWithoutItsDetailRowIsSelectedWithEmptyTexts) {
  TTestAdvert advert;
  advert.withDetail = false;
  server.AddAdvert(advert);
  TAdServerLink link(Config());
  ASSERT_TRUE(link.Refresh().conn);
  const TAdSelection selection =
      link.Select(kBannerAdvert, QDateTime(kFriday, QTime(12, 0)), QLatin1Char(':'));
  EXPECT_FALSE(selection.failed);
  ASSERT_TRUE(selection.selected);
  EXPECT_TRUE(selection.row.cim.isEmpty());
}

TEST_F(AdServerTest, WithTheLinkUpARefreshMakesTwoProbesAndLeavesTheLinkAlone) {
  TAdServerLink link(Config());
  const TLinkRefresh first = link.Refresh();
  EXPECT_TRUE(first.conn);
  EXPECT_EQ(first.probes, 3);
  const TLinkRefresh second = link.Refresh();
  EXPECT_TRUE(second.conn);
  EXPECT_EQ(second.probes, 2);
  EXPECT_EQ(probe.Connections(), 5);
  EXPECT_THAT(link.Journal(), ElementsAre("connect", "open tbl_Hdetes_sum", "open tbl_Hdetes"));
}

TEST_F(AdServerTest, AProbeThatIsRefusedKeepsTheLinkDownAfterThreeProbes) {
  TAdServerLink link({apptest::ClosedPort(), server.Settings()});
  for (int refresh = 0; refresh < 2; ++refresh) {
    const TLinkRefresh outcome = link.Refresh();
    EXPECT_FALSE(outcome.conn);
    EXPECT_EQ(outcome.probes, 3);
  }
  // Without the internet the ad server is not even tried.
  EXPECT_TRUE(link.Journal().isEmpty());
}

TEST_F(AdServerTest, AServerThatCannotBeUsedLeavesTheLinkDownAndIsTriedAgain) {
  struct Case {
    const char* name;
    std::function<std::optional<TAdServerSettings>(TAdServerSettings)> settings;
  };
  const Case cases[] = {
      {"no server configured", [](TAdServerSettings) { return std::nullopt; }},
      {"wrong password", [](TAdServerSettings s) { s.password += "x"; return s; }},
      {"unknown account", [](TAdServerSettings s) { s.user = "nobody"; return s; }},
      {"refused", [](TAdServerSettings s) { s.port = apptest::ClosedPort().port; return s; }},
      {"no such database", [](TAdServerSettings s) { s.database = "nincs"; return s; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TAdServerLink link({probe.Target(), c.settings(server.Settings())});
    for (int refresh = 0; refresh < 2; ++refresh) {
      const TLinkRefresh outcome = link.Refresh();
      EXPECT_FALSE(outcome.conn);
      EXPECT_EQ(outcome.probes, 3);
    }
    EXPECT_THAT(link.Journal(), ElementsAre("connect", "connect"));
  }
}

TEST_F(AdServerTest, ALinkThatFailsForLongKeepsOnlyItsLatestEvents) {
  TAdServerSettings refusing = server.Settings();
  refusing.port = apptest::ClosedPort().port;
  TAdServerLink link({probe.Target(), refusing});
  for (int refresh = 0; refresh < 150; ++refresh) {
    ASSERT_FALSE(link.Refresh().conn);
    probe.Connections();  // takes the probes' connections: no event loop turns here
  }
  EXPECT_EQ(link.Journal().size(), 100);
  EXPECT_EQ(link.Journal().count(QStringLiteral("connect")), 100);
}

TEST_F(AdServerTest, AMissingSummaryTableKeepsTheLinkDown) {
  TMissingTable missing(server, QStringLiteral("tbl_Hdetes_sum"));
  TAdServerLink link(Config());
  EXPECT_FALSE(link.Refresh().conn);
  missing.Restore();
  EXPECT_TRUE(link.Refresh().conn);
  // The connection stayed; the summary table was opened again, then the detail table.
  EXPECT_THAT(link.Journal(), ElementsAre("connect", "open tbl_Hdetes_sum", "open tbl_Hdetes_sum",
                                          "open tbl_Hdetes"));
}

TEST_F(AdServerTest, ADetailTableThatFailsToOpenIsOpenedAgainAtTheNextRefresh) {
  TMissingTable missing(server, QStringLiteral("tbl_Hdetes"));
  TAdServerLink link(Config());
  EXPECT_FALSE(link.Refresh().conn);
  EXPECT_FALSE(link.Refresh().conn);
  missing.Restore();
  EXPECT_TRUE(link.Refresh().conn);
  EXPECT_THAT(link.Journal(), ElementsAre("connect", "open tbl_Hdetes_sum", "open tbl_Hdetes",
                                          "open tbl_Hdetes", "open tbl_Hdetes"));
}

TEST_F(AdServerTest, CloseClosesTheDetailTableThenTheSummaryTableThenTheConnection) {
  TAdServerLink link(Config());
  ASSERT_TRUE(link.Refresh().conn);
  link.Close();
  EXPECT_FALSE(link.LinkTest());
  EXPECT_THAT(link.Journal(),
              ElementsAre("connect", "open tbl_Hdetes_sum", "open tbl_Hdetes", "close tbl_Hdetes",
                          "close tbl_Hdetes_sum", "disconnect"));
}

TEST_F(AdServerTest, AServerThatStopsAndComesBackIsConnectedAgain) {
  TTestAdvert advert;
  const int azon = server.AddAdvert(advert);
  TAdServerLink link(Config());
  const QDateTime now(kFriday, QTime(12, 0));
  ASSERT_TRUE(link.Refresh().conn);
  ASSERT_TRUE(link.Select(kBannerAdvert, now, QLatin1Char(':')).selected);

  server.Stop();
  const TAdSelection lost = link.Select(kBannerAdvert, now, QLatin1Char(':'));
  EXPECT_TRUE(lost.failed);
  EXPECT_TRUE(lost.connectionLost) << lost.error.toStdString();
  EXPECT_FALSE(link.LinkTest());
  EXPECT_FALSE(link.Refresh().conn);

  server.Start();
  ASSERT_TRUE(link.Refresh().conn);
  const TAdSelection again = link.Select(kBannerAdvert, now, QLatin1Char(':'));
  ASSERT_TRUE(again.selected);
  EXPECT_FALSE(link.CountDisplay(again.azon).failed);
  EXPECT_EQ(server.Counters(azon)[0], 1);
}

TEST_F(AdServerTest, AStatementTheServerRefusesIsReportedAndKeepsTheConnection) {
  TAdServerLink link(Config());
  ASSERT_TRUE(link.Refresh().conn);
  server.Exec(QStringLiteral("ALTER TABLE tbl_Hdetes_sum RENAME COLUMN TIP TO TIPUS"));
  const TAdSelection refused =
      link.Select(kBannerAdvert, QDateTime(kFriday, QTime(12, 0)), QLatin1Char(':'));
  server.Exec(QStringLiteral("ALTER TABLE tbl_Hdetes_sum RENAME COLUMN TIPUS TO TIP"));
  EXPECT_TRUE(refused.failed);
  EXPECT_FALSE(refused.connectionLost);
  EXPECT_THAT(refused.error.toStdString(), ::testing::HasSubstr("TIP"));
  EXPECT_TRUE(link.LinkTest());
}

}  // namespace

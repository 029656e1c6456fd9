// The ad server of the tests: the local MariaDB server of scripts/adserver.sh, started when it is
// not running, with a connection of the test's own for setting adverts up and reading the
// counters back; and local hosts for the connectivity probe.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QSqlDatabase>
#include <QString>
#include <QTcpServer>
#include <QVariant>

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "AdClock.h"
#include "AdConfig.h"

namespace apptest {

// One advert: its summary row (campaign, schedule, counters) and its detail row.
struct TTestAdvert {
  QVariant datkezd = QStringLiteral("2026-01-01");
  QVariant datveg = QStringLiteral("2026-12-31");
  QVariant kezd = QStringLiteral("00:00");
  QVariant vege = QStringLiteral("23:59");
  QVariant tip = 1;
  std::array<QVariant, 7> days = {true, true, true, true, true, true, true};  // Sunday first
  QVariant hatralevo = 10;
  QVariant megjelenitve = 0;
  QVariant klikkelve = 0;
  bool withDetail = true;
  QVariant cim = QStringLiteral("Cím");
  QVariant sora = QStringLiteral("A");
  QVariant sorb = QStringLiteral("B");
  QVariant sorc = QStringLiteral("C");
  QVariant link = QStringLiteral("https://hirdeto.example.org/");
  QVariant kep;
  QVariant amegjelen = true;
  QVariant bmegjelen = true;
  QVariant cmegjelen = true;
};

class TAdTestServer {
 public:
  // The server, started on first use in this process.
  static TAdTestServer& Get();

  const TAdServerSettings& Settings() const { return settings_; }
  void Start();
  void Stop();

  // Runs Sql on the test's own connection; throws with the server's message when it fails.
  void Exec(const QString& sql);
  QVariant Value(const QString& sql);
  // The counters of advert Azon: MEGJELENITVE, KLIKKELVE, HATRALEVOKLIKK.
  std::array<int, 3> Counters(int azon);

  // Empties both ad tables.
  void ClearAdverts();
  // Inserts Advert and returns its AZON.
  int AddAdvert(const TTestAdvert& advert);

 private:
  TAdTestServer();
  QString RunScript(const QString& command);
  QSqlDatabase& Admin();

  TAdServerSettings settings_;
};

// A probe host on 127.0.0.1 that answers and counts the connections made to it.
class TProbeHost {
 public:
  TProbeHost();
  TProbeTarget Target() const;
  int Connections();  // handles pending connections first

 private:
  void Drain();

  QTcpServer server_;
  int connections_ = 0;
};

// A port on 127.0.0.1 where nothing listens: a connect is refused at once.
TProbeTarget ClosedPort();

// An address on 127.0.0.1 that takes no connection and never refuses one: a listening socket
// whose backlog is full and that never accepts, so a connect waits for its time-out.
class TSilentHost {
 public:
  TSilentHost();
  TSilentHost(const TSilentHost&) = delete;
  TSilentHost& operator=(const TSilentHost&) = delete;
  ~TSilentHost();
  TProbeTarget Target() const { return {QStringLiteral("127.0.0.1"), port_}; }

 private:
  int listener_ = -1;
  std::vector<int> fillers_;
  std::uint16_t port_ = 0;
};

// A JPEG picture of Width x Height in one colour.
QByteArray JpegPicture(int width, int height, Qt::GlobalColor colour);

// A clock the test sets.
class TTestClock final : public TAdClock {
 public:
  explicit TTestClock(QDateTime now) : now_(std::move(now)) {}
  QDateTime Now() const override { return now_; }
  void Set(const QDateTime& now) { now_ = now; }
  void Advance(int seconds) { now_ = now_.addSecs(seconds); }

 private:
  QDateTime now_;
};

}  // namespace apptest

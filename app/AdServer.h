// The link to the ad server: the connectivity probe (IdTCPClient1), the connection
// (UniConnection1) and the two ad tables (tbl_Hdetes_sum and its detail tbl_Hdetes), with the link
// refresh, the selection of an advert and the counters.
//
// Everything here blocks: a probe waits up to two seconds, a connect up to the client's time-out.
// The window therefore runs these objects on a thread of their own (TAdLinkThread); they may be
// used from any one thread at a time, the thread that created them.
#pragma once

#include <QByteArray>
#include <QChar>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlRecord>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "AdConfig.h"

// A failed operation of the ad server. ConnectionLost: the server cannot be reached any more (or
// never could), as opposed to a statement the server refused.
class EAdServer : public std::runtime_error {
 public:
  EAdServer(const QString& message, bool connectionLost)
      : std::runtime_error(message.toStdString()), connectionLost_(connectionLost) {}
  bool ConnectionLost() const { return connectionLost_; }

 private:
  bool connectionLost_;
};

// The connectivity probe: a TCP connect with a 2000 ms time-out, closed at once. IPv4.
bool CheckInternet(const TProbeTarget& target);

// UniConnection1: the connection to the ad server, UTF-8 throughout.
class TAdServerConnection {
 public:
  explicit TAdServerConnection(std::optional<TAdServerSettings> settings);
  TAdServerConnection(const TAdServerConnection&) = delete;
  TAdServerConnection& operator=(const TAdServerConnection&) = delete;
  ~TAdServerConnection();

  bool Connected() const;
  void Connect();  // EAdServer when no server is configured or it cannot be reached
  void Disconnect();
  QSqlDatabase& Database() { return database_; }

 private:
  std::optional<TAdServerSettings> settings_;
  QString name_;
  QSqlDatabase database_;
};

// A table of the ad server as the link uses it: its rows (those passing the filter, or the
// detail rows of the master's current row), a current row, field reads and counter updates by
// the key AZON. Reads see the rows as of the last open or refresh.
class TAdTable {
 public:
  TAdTable(TAdServerConnection& connection, QString tableName);

  const QString& TableName() const { return tableName_; }
  // The detail table follows this table's current AZON.
  void SetDetail(TAdTable* detail) { detail_ = detail; }
  // The condition of the rows (an SQL condition), or none.
  void SetFilter(const QString& condition) { filter_ = condition; }

  bool Active() const { return active_; }
  void Open();     // EAdServer; the rows, positioned on the first
  void Close();
  void Refresh();  // reads the rows again, positioned on the first; EAdServer

  int RecordCount() const { return static_cast<int>(rows_.size()); }
  void First();
  void MoveBy(int distance);
  // The current row's value of Column; a null QVariant without a current row or for NULL.
  QVariant Field(const QString& column) const;

  // Adds each Delta to its column of the row with the key Azon in one UPDATE, so that windows
  // counting at once lose no count (a NULL counts as 0), then reads the current row back when it
  // is that row. Nothing for a null key. EAdServer.
  void AddToCounters(const QVariant& azon, const std::vector<std::pair<QString, int>>& deltas);

 private:
  friend class TAdServerLink;
  void Load();
  void MasterMoved(const QVariant& key);
  void CurrentChanged();

  TAdServerConnection& connection_;
  QString tableName_;
  TAdTable* detail_ = nullptr;
  QString filter_;
  std::optional<QVariant> masterKey_;  // set on a detail table
  bool active_ = false;
  std::vector<QSqlRecord> rows_;
  int current_ = -1;
};

// The detail row of a selected advert, as the window shows it.
struct TAdvertRow {
  QString cim;
  QString sora;
  QString sorb;
  QString sorc;
  QString link;
  QByteArray kep;
  bool amegjelen = false;
  bool bmegjelen = false;
  bool cmegjelen = false;
};

// The outcome of an operation on the ad server, for the window: a failure carries the message and
// whether it was the connection that failed.
struct TAdOutcome {
  bool failed = false;
  bool connectionLost = false;
  QString error;
};

struct TAdSelection : TAdOutcome {
  bool selected = false;
  QVariant azon;       // key of the selected summary row
  int candidates = 0;  // rows that passed the filter
  int position = 0;    // 1-based, among them
  TAdvertRow row;
};

struct TLinkRefresh {
  bool conn = false;  // v_conn
  int probes = 0;     // probes made
};

class TAdServerLink {
 public:
  explicit TAdServerLink(TAdConfig config);
  TAdServerLink(const TAdServerLink&) = delete;
  TAdServerLink& operator=(const TAdServerLink&) = delete;
  ~TAdServerLink();

  bool LinkTest() const;
  // The link refresh: two or three probes, bringing the connection and the tables up when it
  // can. Never raises.
  TLinkRefresh Refresh();
  // Filters the summary table for Kind at Now and draws one of its rows; the detail table
  // follows. Never raises: a failure is in the outcome, and a lost connection is closed so that
  // the next refresh connects again.
  TAdSelection Select(int kind, const QDateTime& now, QChar timeSeparator);
  // MEGJELENITVE + 1 on the summary row Azon (a selection's azon).
  TAdOutcome CountDisplay(const QVariant& azon);
  // KLIKKELVE + 1 and HATRALEVOKLIKK - 1 on the summary row Azon.
  TAdOutcome CountClick(const QVariant& azon);
  // Closes tbl_Hdetes, then tbl_Hdetes_sum, then the connection.
  void Close();

  // What the link opened and closed, in order ("connect", "open tbl_Hdetes_sum", ...); the
  // latest hundred events.
  const QStringList& Journal() const { return journal_; }
  int LastDraw() const { return lastDraw_; }

 private:
  void Note(const QString& event);
  bool Probe(TLinkRefresh& refresh);
  void BringUp();
  TAdOutcome Counting(const QVariant& azon, const std::vector<std::pair<QString, int>>& deltas);
  TAdOutcome Failure(const EAdServer& error);
  TAdvertRow DetailRow() const;

  TAdConfig config_;
  TAdServerConnection UniConnection1;
  TAdTable tbl_Hdetes_sum;
  TAdTable tbl_Hdetes;
  int lastDraw_ = 0;
  QStringList journal_;
};

#include "AdServer.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QUuid>

#include <algorithm>

#include "AdSelection.h"

namespace {

constexpr int kProbeTimeoutMs = 2000;
// The client's own time-outs: a server that stops answering ends an operation with an error
// instead of holding the link's thread.
const QString kConnectOptions =
    QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=5;MYSQL_OPT_READ_TIMEOUT=10;MYSQL_OPT_WRITE_TIMEOUT=10");
const QString kKey = QStringLiteral("AZON");
constexpr qsizetype kJournalLength = 100;

// Client error numbers that mean the server is gone rather than that it refused a statement:
// cannot connect (2002, 2003, 2005), server gone away (2006), connection lost (2013, 2055).
bool IsConnectionError(const QSqlError& error) {
  static const QStringList kLost = {QStringLiteral("2002"), QStringLiteral("2003"),
                                    QStringLiteral("2005"), QStringLiteral("2006"),
                                    QStringLiteral("2013"), QStringLiteral("2055")};
  return error.type() == QSqlError::ConnectionError || kLost.contains(error.nativeErrorCode());
}

EAdServer ErrorOf(const QSqlError& error, const QString& what) {
  return EAdServer(what + ": " + error.text(), IsConnectionError(error));
}

}  // namespace

bool CheckInternet(const TProbeTarget& target) {
  QTcpSocket client;
  client.connectToHost(target.host, target.port, QIODevice::ReadWrite,
                       QAbstractSocket::IPv4Protocol);
  const bool connected = client.waitForConnected(kProbeTimeoutMs);
  client.abort();
  return connected;
}

// --- TAdServerConnection -------------------------------------------------------------------------

TAdServerConnection::TAdServerConnection(std::optional<TAdServerSettings> settings)
    : settings_(std::move(settings)),
      name_(QStringLiteral("lombkalauz-ads-") + QUuid::createUuid().toString(QUuid::WithoutBraces)) {
  database_ = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name_);
}

TAdServerConnection::~TAdServerConnection() {
  database_.close();
  database_ = QSqlDatabase();
  QSqlDatabase::removeDatabase(name_);
}

bool TAdServerConnection::Connected() const { return database_.isOpen(); }

void TAdServerConnection::Connect() {
  if (!settings_) throw EAdServer(QStringLiteral("No ad server is configured"), true);
  database_.setHostName(settings_->host);
  database_.setPort(settings_->port);
  database_.setDatabaseName(settings_->database);
  database_.setUserName(settings_->user);
  database_.setPassword(settings_->password);
  database_.setConnectOptions(kConnectOptions);
  if (!database_.open()) {
    const QSqlError error = database_.lastError();
    database_.close();
    // Every failure to connect (refused, wrong account, no driver) leaves the link down.
    throw EAdServer(QStringLiteral("Connecting to the ad server: ") + error.text(), true);
  }
  QSqlQuery(database_).exec(QStringLiteral("SET NAMES utf8mb4"));
}

void TAdServerConnection::Disconnect() { database_.close(); }

// --- TAdTable ------------------------------------------------------------------------------------

TAdTable::TAdTable(TAdServerConnection& connection, QString tableName)
    : connection_(connection), tableName_(std::move(tableName)) {}

void TAdTable::Load() {
  if (!connection_.Connected())
    throw EAdServer(QStringLiteral("No connection to the ad server"), true);
  QSqlQuery query(connection_.Database());
  query.setForwardOnly(true);
  QString sql = QStringLiteral("SELECT * FROM ") + tableName_;
  bool ok = false;
  if (masterKey_) {
    // The detail rows of the master's current row; none when the master has no row.
    query.prepare(sql + QStringLiteral(" WHERE AZON = ? ORDER BY AZON"));
    query.addBindValue(*masterKey_);
    ok = query.exec();
  } else {
    if (!filter_.isEmpty()) sql += QStringLiteral(" WHERE ") + filter_;
    ok = query.exec(sql + QStringLiteral(" ORDER BY AZON"));
  }
  if (!ok) throw ErrorOf(query.lastError(), QStringLiteral("Reading ") + tableName_);
  rows_.clear();
  while (query.next()) rows_.push_back(query.record());
}

void TAdTable::Open() {
  Load();
  active_ = true;
  First();
}

void TAdTable::Close() {
  active_ = false;
  rows_.clear();
  current_ = -1;
}

void TAdTable::Refresh() {
  if (!active_) throw EAdServer(tableName_ + QStringLiteral(" is not open"), true);
  Load();
  First();
}

void TAdTable::First() {
  current_ = rows_.empty() ? -1 : 0;
  CurrentChanged();
}

void TAdTable::MoveBy(int distance) {
  if (rows_.empty()) return;
  current_ = std::clamp(current_ + distance, 0, RecordCount() - 1);
  CurrentChanged();
}

QVariant TAdTable::Field(const QString& column) const {
  if (current_ < 0) return {};
  return rows_[static_cast<std::size_t>(current_)].value(column);
}

void TAdTable::CurrentChanged() {
  if (detail_) detail_->MasterMoved(Field(kKey));
}

void TAdTable::MasterMoved(const QVariant& key) {
  masterKey_ = key;
  if (!active_) return;
  Load();
  First();
}

void TAdTable::AddToCounters(const QVariant& key,
                             const std::vector<std::pair<QString, int>>& deltas) {
  // No advert selected: nothing to count.
  if (key.isNull()) return;
  if (!connection_.Connected())
    throw EAdServer(QStringLiteral("No connection to the ad server"), true);
  QStringList assignments;
  for (const auto& [column, delta] : deltas)
    assignments << QStringLiteral("%1 = COALESCE(%1, 0) + ?").arg(column);
  QSqlQuery update(connection_.Database());
  update.prepare(QStringLiteral("UPDATE %1 SET %2 WHERE AZON = ?")
                     .arg(tableName_, assignments.join(QStringLiteral(", "))));
  for (const auto& [column, delta] : deltas) update.addBindValue(delta);
  update.addBindValue(key);
  if (!update.exec()) throw ErrorOf(update.lastError(), QStringLiteral("Posting ") + tableName_);

  QSqlQuery reread(connection_.Database());
  reread.prepare(QStringLiteral("SELECT * FROM %1 WHERE AZON = ?").arg(tableName_));
  reread.addBindValue(key);
  if (!reread.exec()) throw ErrorOf(reread.lastError(), QStringLiteral("Reading ") + tableName_);
  if (reread.next() && Field(kKey) == key)
    rows_[static_cast<std::size_t>(current_)] = reread.record();
}

// --- TAdServerLink -------------------------------------------------------------------------------

TAdServerLink::TAdServerLink(TAdConfig config)
    : config_(std::move(config)),
      UniConnection1(config_.server),
      tbl_Hdetes_sum(UniConnection1, QStringLiteral("tbl_Hdetes_sum")),
      tbl_Hdetes(UniConnection1, QStringLiteral("tbl_Hdetes")) {
  tbl_Hdetes_sum.SetDetail(&tbl_Hdetes);
  tbl_Hdetes.masterKey_ = QVariant();
}

TAdServerLink::~TAdServerLink() {
  tbl_Hdetes.Close();
  tbl_Hdetes_sum.Close();
  UniConnection1.Disconnect();
}

void TAdServerLink::Note(const QString& event) {
  // A link that fails for days keeps trying: only the latest events are kept.
  if (journal_.size() >= kJournalLength) journal_.removeFirst();
  journal_ << event;
}

bool TAdServerLink::LinkTest() const {
  return UniConnection1.Connected() && tbl_Hdetes_sum.Active() && tbl_Hdetes.Active();
}

bool TAdServerLink::Probe(TLinkRefresh& refresh) {
  ++refresh.probes;
  return CheckInternet(config_.probe);
}

TLinkRefresh TAdServerLink::Refresh() {
  TLinkRefresh refresh;
  if (!(Probe(refresh) && LinkTest()) && Probe(refresh)) BringUp();
  refresh.conn = Probe(refresh) && LinkTest();
  return refresh;
}

void TAdServerLink::BringUp() {
  try {
    if (!UniConnection1.Connected()) {
      Note(QStringLiteral("connect"));
      UniConnection1.Connect();
    }
    if (!UniConnection1.Connected()) return;
    if (!tbl_Hdetes_sum.Active()) {
      Note(QStringLiteral("open tbl_Hdetes_sum"));
      tbl_Hdetes_sum.Open();
    }
    if (!tbl_Hdetes.Active()) {
      Note(QStringLiteral("open tbl_Hdetes"));
      try {
        tbl_Hdetes.Open();
      } catch (const EAdServer&) {
        // The link test finds the detail table closed; the next refresh opens it again.
      }
    }
  } catch (const EAdServer&) {
    // The link stays down; the next refresh starts again from what is open now.
  }
}

TAdOutcome TAdServerLink::Failure(const EAdServer& error) {
  TAdOutcome outcome{true, error.ConnectionLost(), QString::fromStdString(error.what())};
  if (error.ConnectionLost()) {
    // The connection no longer answers: closed, so that the link test fails and the next
    // refresh connects again.
    Note(QStringLiteral("connection lost"));
    tbl_Hdetes.Close();
    tbl_Hdetes_sum.Close();
    UniConnection1.Disconnect();
  }
  return outcome;
}

TAdvertRow TAdServerLink::DetailRow() const {
  auto text = [this](const char* column) {
    return tbl_Hdetes.Field(QString::fromLatin1(column)).toString();
  };
  auto flag = [this](const char* column) {
    return tbl_Hdetes.Field(QString::fromLatin1(column)).toBool();
  };
  return TAdvertRow{text("CIM"),
                    text("SORA"),
                    text("SORB"),
                    text("SORC"),
                    text("LINK"),
                    tbl_Hdetes.Field(QStringLiteral("KEP")).toByteArray(),
                    flag("AMEGJELEN"),
                    flag("BMEGJELEN"),
                    flag("CMEGJELEN")};
}

TAdSelection TAdServerLink::Select(int kind, const QDateTime& now, QChar timeSeparator) {
  TAdSelection selection;
  try {
    tbl_Hdetes_sum.SetFilter(AdvertFilter(kind, now, timeSeparator));
    tbl_Hdetes_sum.Refresh();
    tbl_Hdetes.Refresh();
    const int count = tbl_Hdetes_sum.RecordCount();
    selection.candidates = count;
    if (count == 0) return selection;
    tbl_Hdetes_sum.First();
    const int position = DrawPosition(count, lastDraw_, ClockSeededUniform());
    if (position > 1) tbl_Hdetes_sum.MoveBy(position - 1);
    selection.selected = true;
    selection.azon = tbl_Hdetes_sum.Field(kKey);
    selection.position = position;
    selection.row = DetailRow();
  } catch (const EAdServer& error) {
    static_cast<TAdOutcome&>(selection) = Failure(error);
  }
  return selection;
}

TAdOutcome TAdServerLink::Counting(const QVariant& azon,
                                   const std::vector<std::pair<QString, int>>& deltas) {
  try {
    tbl_Hdetes_sum.AddToCounters(azon, deltas);
    return {};
  } catch (const EAdServer& error) {
    return Failure(error);
  }
}

TAdOutcome TAdServerLink::CountDisplay(const QVariant& azon) {
  return Counting(azon, {{QStringLiteral("MEGJELENITVE"), 1}});
}

TAdOutcome TAdServerLink::CountClick(const QVariant& azon) {
  return Counting(azon,
                  {{QStringLiteral("KLIKKELVE"), 1}, {QStringLiteral("HATRALEVOKLIKK"), -1}});
}

void TAdServerLink::Close() {
  Note(QStringLiteral("close tbl_Hdetes"));
  tbl_Hdetes.Close();
  Note(QStringLiteral("close tbl_Hdetes_sum"));
  tbl_Hdetes_sum.Close();
  Note(QStringLiteral("disconnect"));
  UniConnection1.Disconnect();
}

#include "AdTestServer.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace apptest {

namespace {

const QString kAdminConnection = QStringLiteral("lombkalauz-test-admin");

}  // namespace

TAdTestServer& TAdTestServer::Get() {
  static TAdTestServer server;
  return server;
}

TAdTestServer::TAdTestServer() { Start(); }

QString TAdTestServer::RunScript(const QString& command) {
  QProcess script;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("LOMBKALAUZ_ADSERVER_DIR"), QStringLiteral(ADSERVER_DIR));
  environment.insert(QStringLiteral("LOMBKALAUZ_ADVERT_PICTURES"),
                     QStringLiteral(ADVERT_PICTURES_DIR));
  script.setProcessEnvironment(environment);
  script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  script.start(QStringLiteral("bash"), {QStringLiteral(ADSERVER_SCRIPT), command});
  // Installing the server on a first start may take a while; a hung script still ends the test.
  if (!script.waitForFinished(300000) || script.exitCode() != 0)
    throw std::runtime_error("adserver.sh " + command.toStdString() + " failed");
  return QString::fromUtf8(script.readAllStandardOutput()).trimmed();
}

void TAdTestServer::Start() {
  const QString url = RunScript(QStringLiteral("start"));
  const auto settings = ParseAdServerUrl(url);
  if (!settings) throw std::runtime_error("adserver.sh start printed no server address");
  settings_ = *settings;
}

void TAdTestServer::Stop() {
  if (QSqlDatabase::contains(kAdminConnection)) QSqlDatabase::database(kAdminConnection).close();
  RunScript(QStringLiteral("stop"));
}

QSqlDatabase& TAdTestServer::Admin() {
  static QSqlDatabase admin = [] {
    return QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), kAdminConnection);
  }();
  if (!admin.isOpen()) {
    admin.setHostName(settings_.host);
    admin.setPort(settings_.port);
    admin.setDatabaseName(settings_.database);
    admin.setUserName(settings_.user);
    admin.setPassword(settings_.password);
    if (!admin.open())
      throw std::runtime_error("test connection: " + admin.lastError().text().toStdString());
  }
  return admin;
}

void TAdTestServer::Exec(const QString& sql) {
  QSqlQuery query(Admin());
  if (!query.exec(sql))
    throw std::runtime_error(sql.toStdString() + ": " + query.lastError().text().toStdString());
}

QVariant TAdTestServer::Value(const QString& sql) {
  QSqlQuery query(Admin());
  if (!query.exec(sql) || !query.next())
    throw std::runtime_error(sql.toStdString() + ": " + query.lastError().text().toStdString());
  return query.value(0);
}

std::array<int, 3> TAdTestServer::Counters(int azon) {
  QSqlQuery query(Admin());
  query.prepare(QStringLiteral(
      "SELECT MEGJELENITVE, KLIKKELVE, HATRALEVOKLIKK FROM tbl_Hdetes_sum WHERE AZON = ?"));
  query.addBindValue(azon);
  if (!query.exec() || !query.next()) throw std::runtime_error("no advert " + std::to_string(azon));
  return {query.value(0).toInt(), query.value(1).toInt(), query.value(2).toInt()};
}

void TAdTestServer::ClearAdverts() {
  Exec(QStringLiteral("DELETE FROM tbl_Hdetes"));
  Exec(QStringLiteral("DELETE FROM tbl_Hdetes_sum"));
}

int TAdTestServer::AddAdvert(const TTestAdvert& advert) {
  QSqlQuery summary(Admin());
  summary.prepare(QStringLiteral(
      "INSERT INTO tbl_Hdetes_sum (DATKEZD, DATVEG, NAPIMEGJKEZDTIME, NAPIMEGJVEGETIME, TIP, "
      "VASARNAP, HETFO, KEDD, SZERDA, CSUTORTOK, PENTEK, SZOMBAT, HATRALEVOKLIKK, MEGJELENITVE, "
      "KLIKKELVE) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
  for (const QVariant& value : {advert.datkezd, advert.datveg, advert.kezd, advert.vege, advert.tip})
    summary.addBindValue(value);
  for (const QVariant& day : advert.days) summary.addBindValue(day);
  for (const QVariant& value : {advert.hatralevo, advert.megjelenitve, advert.klikkelve})
    summary.addBindValue(value);
  if (!summary.exec())
    throw std::runtime_error("adding an advert: " + summary.lastError().text().toStdString());
  const int azon = summary.lastInsertId().toInt();
  if (!advert.withDetail) return azon;
  QSqlQuery detail(Admin());
  detail.prepare(QStringLiteral(
      "INSERT INTO tbl_Hdetes (AZON, CIM, SORA, SORB, SORC, LINK, KEP, AMEGJELEN, BMEGJELEN, "
      "CMEGJELEN) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
  detail.addBindValue(azon);
  for (const QVariant& value : {advert.cim, advert.sora, advert.sorb, advert.sorc, advert.link,
                                advert.kep, advert.amegjelen, advert.bmegjelen, advert.cmegjelen})
    detail.addBindValue(value);
  if (!detail.exec())
    throw std::runtime_error("adding an advert: " + detail.lastError().text().toStdString());
  return azon;
}

// --- Probe hosts ---------------------------------------------------------------------------------

TProbeHost::TProbeHost() {
  if (!server_.listen(QHostAddress::LocalHost)) throw std::runtime_error("probe host: no port");
  // Connections are taken as they come (the window's event loop turns while a probe waits), so
  // that the server's queue of pending connections never fills.
  QObject::connect(&server_, &QTcpServer::newConnection, [this] { Drain(); });
}

void TProbeHost::Drain() {
  while (QTcpSocket* connection = server_.nextPendingConnection()) {
    ++connections_;
    connection->abort();
    connection->deleteLater();
  }
}

TProbeTarget TProbeHost::Target() const {
  return {QStringLiteral("127.0.0.1"), server_.serverPort()};
}

int TProbeHost::Connections() {
  QCoreApplication::processEvents();
  Drain();
  return connections_;
}

TProbeTarget ClosedPort() {
  QTcpServer server;
  server.listen(QHostAddress::LocalHost);
  const std::uint16_t port = server.serverPort();
  server.close();
  return {QStringLiteral("127.0.0.1"), port};
}

TSilentHost::TSilentHost() {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener_, 0) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("silent host: cannot listen");
  port_ = ntohs(address.sin_port);
  // Connections that fill the backlog; from then on the kernel drops new handshakes unanswered.
  for (int i = 0; i < 4; ++i) {
    const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
    ::fcntl(filler, F_SETFL, O_NONBLOCK);
    ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
    fillers_.push_back(filler);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

TSilentHost::~TSilentHost() {
  for (int filler : fillers_) ::close(filler);
  if (listener_ >= 0) ::close(listener_);
}

QByteArray JpegPicture(int width, int height, Qt::GlobalColor colour) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(colour);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "JPEG");
  return bytes;
}

}  // namespace apptest

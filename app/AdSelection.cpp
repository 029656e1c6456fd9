#include "AdSelection.h"

#include <QLocale>

#include <array>
#include <chrono>
#include <memory>
#include <random>

QString QuotedSqlText(const QString& text) {
  QString quoted = text;
  quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
  return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString WeekdayColumn(const QDate& date) {
  // QDate counts Monday as 1 and Sunday as 7.
  static const std::array<const char*, 7> kColumns = {"HETFO",     "KEDD",   "SZERDA", "CSUTORTOK",
                                                      "PENTEK",    "SZOMBAT", "VASARNAP"};
  return QString::fromLatin1(kColumns[static_cast<std::size_t>(date.dayOfWeek() - 1)]);
}

QChar UserTimeSeparator() {
  const QString format = QLocale::system().timeFormat(QLocale::ShortFormat);
  const qsizetype hours = format.indexOf(QLatin1Char('h'), 0, Qt::CaseInsensitive);
  if (hours < 0) return QLatin1Char(':');
  for (qsizetype i = hours; i < format.size(); ++i) {
    const QChar c = format[i];
    if (c.toLower() != QLatin1Char('h')) return c.isLetter() ? QLatin1Char(':') : c;
  }
  return QLatin1Char(':');
}

QString AdvertFilter(int kind, const QDateTime& now, QChar timeSeparator) {
  const QString date = QuotedSqlText(now.date().toString(QStringLiteral("yyyy.MM.dd")).left(10));
  const QTime time = now.time();
  const QString clock = QStringLiteral("%1%2%3%4%5")
                            .arg(time.hour(), 2, 10, QLatin1Char('0'))
                            .arg(timeSeparator)
                            .arg(time.minute(), 2, 10, QLatin1Char('0'))
                            .arg(timeSeparator)
                            .arg(time.second(), 2, 10, QLatin1Char('0'));
  const QString hourMinute = QuotedSqlText(clock.left(5));
  return "(DATKEZD <= " + date + ") and (DATVEG >= " + date +
         ") and (NAPIMEGJKEZDTIME <= " + hourMinute + ") and (NAPIMEGJVEGETIME >=" + hourMinute +
         ") and (TIP = " + QString::number(kind) + ") and (" + WeekdayColumn(now.date()) +
         " = true) and (HATRALEVOKLIKK > 0)";
}

int DrawPosition(int count, int& lastDraw, const std::function<int(int)>& uniform) {
  int position = uniform(count);
  while (count >= 3 && position == lastDraw) position = uniform(count);
  lastDraw = position;
  return position;
}

std::function<int(int)> ClockSeededUniform() {
  auto generator = std::make_shared<std::mt19937>(static_cast<std::mt19937::result_type>(
      std::chrono::steady_clock::now().time_since_epoch().count()));
  return [generator](int n) { return std::uniform_int_distribution<int>(1, n)(*generator); };
}

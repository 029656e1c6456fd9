#include "TimeOfDayText.h"

#include <QLocale>
#include <QRegularExpression>

QString DefaultTimeFormat() {
  // The long format carries the seconds; its time-zone part would not read back as a time of
  // day, so it is dropped.
  QString format = QLocale::system().timeFormat(QLocale::LongFormat);
  format.remove(QRegularExpression(QStringLiteral("\\s*\\(?t+\\)?")));
  format = format.trimmed();
  return format.isEmpty() ? QStringLiteral("HH:mm:ss") : format;
}

QString TimeOfDayToText(const QTime& time) {
  return QLocale::system().toString(time, DefaultTimeFormat());
}

QTime TimeOfDayFromText(const QString& text) {
  return QLocale::system().toTime(text, DefaultTimeFormat());
}

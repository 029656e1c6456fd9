// Times of day as text in the user's default time format, and back. The saved popup time is
// kept in this form.
#pragma once

#include <QString>
#include <QTime>

// The user's time format with seconds and without a time zone, e.g. "14:05:09".
QString DefaultTimeFormat();

QString TimeOfDayToText(const QTime& time);

// The time of day a text of TimeOfDayToText stands for; an invalid QTime when it is not one.
QTime TimeOfDayFromText(const QString& text);

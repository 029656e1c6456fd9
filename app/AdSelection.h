// Choosing an advert: the schedule filter over the summary table and the draw of a position.
#pragma once

#include <QChar>
#include <QDateTime>
#include <QString>

#include <functional>

// Advert kinds (column TIP).
inline constexpr int kBannerAdvert = 1;
inline constexpr int kPopupAdvert = 3;

// Text as an SQL string literal: in single quotes, inner quotes doubled.
QString QuotedSqlText(const QString& text);

// The weekday column for Date: VASARNAP for Sunday, HETFO ... SZOMBAT for Monday to Saturday.
QString WeekdayColumn(const QDate& date);

// The separator between hours and minutes in the user's time format (":" when it has none).
QChar UserTimeSeparator();

// The filter of the summary table for advert kind Kind at Now: today's campaigns, inside their
// daily window, on today's weekday, with clicks left.
QString AdvertFilter(int kind, const QDateTime& now, QChar timeSeparator = UserTimeSeparator());

// Draws a position 1..Count with Uniform(n) (a uniform number 1..n). With three or more rows the
// position of the previous draw, LastDraw, is never drawn twice running; LastDraw becomes the
// result. Count must be at least 1.
int DrawPosition(int count, int& lastDraw, const std::function<int(int)>& uniform);

// A uniform draw 1..n from a generator freshly seeded from the clock, for one DrawPosition.
std::function<int(int)> ClockSeededUniform();

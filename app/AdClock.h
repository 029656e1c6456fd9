// The clock the adverts read: the schedule filter, the time between popups. The window uses the
// system clock; tests set the date and the time of day they need.
#pragma once

#include <QDateTime>

class TAdClock {
 public:
  virtual ~TAdClock() = default;
  virtual QDateTime Now() const = 0;
};

class TSystemClock final : public TAdClock {
 public:
  QDateTime Now() const override { return QDateTime::currentDateTime(); }
};

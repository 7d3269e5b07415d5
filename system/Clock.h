#pragma once

#include <QDateTime>

namespace zdb {

// The local date-time.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

class SystemClock : public Clock {
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

// A date-time as a day count from 1899-12-30 with the time of day as fraction.
double toDayCount(const QDateTime &dt);

} // namespace zdb

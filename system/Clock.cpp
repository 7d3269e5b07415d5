#include "Clock.h"

namespace zdb {

double toDayCount(const QDateTime &dt)
{
    static const QDate epoch(1899, 12, 30);
    const qint64 days = epoch.daysTo(dt.date());
    const double fraction = dt.time().msecsSinceStartOfDay() / 86400000.0;
    return double(days) + fraction;
}

} // namespace zdb

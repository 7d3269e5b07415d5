#include "EventLog.h"

#include <QLocale>

namespace zdb {

EventLogEntry eventLogEntry(const HistoryRecord &r)
{
    EventLogEntry e;
    e.level = r.ok ? EventLogEntry::Information : EventLogEntry::Error;
    e.eventId = r.ok ? 1 : 2;
    QStringList lines{QString(r.finalText).replace(u'\r', u'\n'),
                      QStringLiteral("結果: %1").arg(r.ok ? QStringLiteral("正常") : QStringLiteral("異常"))};
    // A run that never stopped the service cost it nothing.
    if (r.downtimeMs >= 0)
        lines << QStringLiteral("ＤＢサービスの停止時間: %1 秒").arg(double(r.downtimeMs) / 1000.0, 0, 'f', 3);
    const QString day =
        r.row >= 0 && r.row < 7 ? QLocale(QLocale::Japanese).dayName(r.row + 1) : QStringLiteral("その他");
    lines << QStringLiteral("ＤＢサービス名: %1").arg(r.service)
          << QStringLiteral("設定番号: %1　退避先: %2").arg(r.settingsNumber, day);
    for (const QString &m : r.messages)
        lines << QString(m).replace(u'\r', u'\n');
    e.text = lines.join(u'\n');
    return e;
}

} // namespace zdb

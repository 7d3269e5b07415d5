#include "RunHistory.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>

namespace zdb {

namespace {

QString hex(quint64 v) { return QStringLiteral("%1").arg(v, 16, 16, QLatin1Char('0')); }

QJsonObject copyObject(const FileDigest &d)
{
    // The MiB digests as one string: a large file's record stays compact.
    QString blocks;
    blocks.reserve(qsizetype(d.blocks.size()) * 16);
    for (const quint64 b : d.blocks)
        blocks += hex(b);
    return {{QStringLiteral("size"), double(d.size)},
            {QStringLiteral("xxh3"), hex(d.whole)},
            {QStringLiteral("mib"), blocks}};
}

std::optional<FileDigest> copyFrom(const QJsonValue &v)
{
    if (!v.isObject())
        return std::nullopt;
    const QJsonObject o = v.toObject();
    FileDigest d;
    bool ok = false;
    d.size = qint64(o.value(QStringLiteral("size")).toDouble(-1));
    d.whole = o.value(QStringLiteral("xxh3")).toString().toULongLong(&ok, 16);
    const QString blocks = o.value(QStringLiteral("mib")).toString();
    if (!ok || d.size < 0 || blocks.size() % 16 != 0
        || blocks.size() / 16 != (d.size + FileDigest::kBlock - 1) / FileDigest::kBlock)
        return std::nullopt;
    for (qsizetype i = 0; i < blocks.size() && ok; i += 16)
        d.blocks.push_back(blocks.mid(i, 16).toULongLong(&ok, 16));
    if (!ok)
        return std::nullopt;
    return d;
}

} // namespace

QByteArray HistoryRecord::toLine() const
{
    QJsonObject o{
        {QStringLiteral("start"), start.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("end"), end.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("settings"), settingsNumber},
        {QStringLiteral("row"), row},
        {QStringLiteral("service"), service},
        {QStringLiteral("dataTarget"), dataTarget},
        {QStringLiteral("logTarget"), logTarget},
        {QStringLiteral("downtimeMs"), double(downtimeMs)},
        {QStringLiteral("ok"), ok},
        {QStringLiteral("committed"), committed},
        {QStringLiteral("final"), finalText},
        {QStringLiteral("messages"), QJsonArray::fromStringList(messages)},
    };
    if (removed)
        o.insert(QStringLiteral("removed"), true);
    if (open) {
        o.insert(QStringLiteral("open"), true);
        o.insert(QStringLiteral("pid"), double(pid));
        o.insert(QStringLiteral("boot"), bootId);
        o.insert(QStringLiteral("pidStart"), double(pidStart));
    }
    if (committed && noLog)
        o.insert(QStringLiteral("noLog"), true);
    if (committed && !dataFile.isEmpty()) {
        o.insert(QStringLiteral("dataFile"), dataFile);
        o.insert(QStringLiteral("logFile"), logFile);
    }
    if (committed && data.error == 0)
        o.insert(QStringLiteral("data"), copyObject(data));
    if (committed && hasLog && log.error == 0)
        o.insert(QStringLiteral("log"), copyObject(log));
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<HistoryRecord> HistoryRecord::fromLine(const QByteArray &line)
{
    // Only a whole line is a record: one torn by a crash is not.
    if (!line.endsWith('\n'))
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    HistoryRecord r;
    r.start = QDateTime::fromString(o.value(QStringLiteral("start")).toString(), Qt::ISODateWithMs);
    r.end = QDateTime::fromString(o.value(QStringLiteral("end")).toString(), Qt::ISODateWithMs);
    if (!r.start.isValid() || !r.end.isValid())
        return std::nullopt;
    r.settingsNumber = o.value(QStringLiteral("settings")).toString();
    r.row = o.value(QStringLiteral("row")).toInt(-1);
    r.service = o.value(QStringLiteral("service")).toString();
    r.dataTarget = o.value(QStringLiteral("dataTarget")).toString();
    r.logTarget = o.value(QStringLiteral("logTarget")).toString();
    r.downtimeMs = qint64(o.value(QStringLiteral("downtimeMs")).toDouble(-1));
    r.ok = o.value(QStringLiteral("ok")).toBool();
    r.committed = o.value(QStringLiteral("committed")).toBool();
    r.finalText = o.value(QStringLiteral("final")).toString();
    r.open = o.value(QStringLiteral("open")).toBool();
    r.removed = o.value(QStringLiteral("removed")).toBool();
    r.pid = qint64(o.value(QStringLiteral("pid")).toDouble());
    r.bootId = o.value(QStringLiteral("boot")).toString();
    r.pidStart = qint64(o.value(QStringLiteral("pidStart")).toDouble());
    r.noLog = o.value(QStringLiteral("noLog")).toBool();
    r.dataFile = o.value(QStringLiteral("dataFile")).toString();
    r.logFile = o.value(QStringLiteral("logFile")).toString();
    for (const QJsonValue v : o.value(QStringLiteral("messages")).toArray())
        r.messages << v.toString();
    const auto data = copyFrom(o.value(QStringLiteral("data")));
    const auto log = copyFrom(o.value(QStringLiteral("log")));
    r.data = data.value_or(FileDigest{EINVAL, 0, 0, {}});
    r.hasLog = log.has_value();
    r.log = log.value_or(FileDigest{EINVAL, 0, 0, {}});
    return r;
}

RunHistory::RunHistory(QString folder, QString name) : folder_(std::move(folder)), name_(std::move(name)) {}

QString RunHistory::path() const { return folder_ + u'/' + name_; }

QString RunHistory::pairPath(const HistoryRecord &record) const
{
    // Only the backups' history keeps pairs.
    if (name_ != QLatin1String(kHistoryName) || (record.dataTarget.isEmpty() && record.logTarget.isEmpty()))
        return {};
    const QByteArray key = record.dataTarget.toUtf8() + '\0' + record.logTarget.toUtf8();
    return folder_ + QStringLiteral("/pairs/")
        + QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(32))
        + QStringLiteral(".json");
}

bool RunHistory::append(const HistoryRecord &record, QString *fault) const
{
    if (!appendLine(record.toLine(), fault))
        return false;
    // The pair now at the targets, or its removal, kept whatever the bound
    // drops.
    const QString pair = pairPath(record);
    QString why;
    if ((!record.committed && !record.removed) || record.open || pair.isEmpty())
        return true;
    if (!QDir().mkpath(folder_ + QStringLiteral("/pairs")) || !replaceRegularFile(pair, record.toLine(), 0600, &why)) {
        if (fault)
            *fault = pair + QStringLiteral(": ") + why;
        return false;
    }
    return true;
}

QList<HistoryRecord> RunHistory::read(QString *fault) const
{
    const auto parse = [&](const QString &name) {
        QList<HistoryRecord> into;
        QByteArray bytes;
        QString why;
        if (!readRegularFile(name, &bytes, &why) && fault && fault->isEmpty())
            *fault = why;
        for (qsizetype at = 0; at < bytes.size();) {
            const qsizetype newline = bytes.indexOf('\n', at);
            const qsizetype end = newline < 0 ? bytes.size() : newline + 1;
            if (auto r = HistoryRecord::fromLine(bytes.mid(at, end - at)))
                into << *r;
            at = end;
        }
        return into;
    };
    QList<HistoryRecord> records = parse(path() + QStringLiteral(".1")) + parse(path());
    // A kept pair the history still holds is there already, in its place.
    QList<HistoryRecord> kept;
    const QDir pairs(folder_ + QStringLiteral("/pairs"));
    for (const QString &name : name_ != QLatin1String(kHistoryName)
             ? QStringList()
             : pairs.entryList({QStringLiteral("*.json")}, QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        for (const HistoryRecord &r : parse(pairs.filePath(name)))
            if (std::none_of(records.cbegin(), records.cend(), [&](const HistoryRecord &h) {
                    return !h.open && h.start == r.start && h.settingsNumber == r.settingsNumber && h.row == r.row;
                }))
                kept << r;
    std::sort(kept.begin(), kept.end(), [](const HistoryRecord &a, const HistoryRecord &b) { return a.end < b.end; });
    records = kept + records;
    for (qsizetype i = records.size() - 1; i >= 0; --i) {
        if (!records[i].removed)
            continue;
        const QString data = records[i].dataTarget, log = records[i].logTarget;
        for (qsizetype j = 0; j < i; ++j)
            for (const QString &t : {records[j].dataTarget, records[j].logTarget})
                if (t == data || t == log)
                    records[j].committed = false;
        records.removeAt(i);
    }
    for (qsizetype i = records.size() - 1; i >= 0; --i) {
        if (!records[i].open)
            continue;
        const auto closes = [&](const HistoryRecord &c) {
            return !c.open && c.start == records[i].start && c.settingsNumber == records[i].settingsNumber;
        };
        if (std::any_of(records.cbegin() + i + 1, records.cend(), closes))
            records.removeAt(i);
    }
    return records;
}

QString rowName(int row)
{
    static const QStringList names{QStringLiteral("月"), QStringLiteral("火"),    QStringLiteral("水"),
                                   QStringLiteral("木"), QStringLiteral("金"),    QStringLiteral("土"),
                                   QStringLiteral("日"), QStringLiteral("その他")};
    return row >= 0 && row < names.size() ? names[row] : QStringLiteral("?");
}

} // namespace zdb

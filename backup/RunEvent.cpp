#include "RunEvent.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace zdb {

namespace {

constexpr const char *kKindNames[] = {"stage", "progress", "message", "restarted", "finished"};

QByteArray line(const QJsonObject &o) { return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n'; }

std::optional<QJsonObject> object(const QByteArray &line)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(line.trimmed(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

} // namespace

QByteArray encodeEvent(const RunEvent &event)
{
    QJsonObject o{{QStringLiteral("event"), QString::fromLatin1(kKindNames[event.kind])}};
    switch (event.kind) {
    case RunEvent::Stage:
    case RunEvent::Message: o.insert(QStringLiteral("text"), event.text); break;
    case RunEvent::Progress:
        o.insert(QStringLiteral("done"), double(event.done));
        o.insert(QStringLiteral("total"), double(event.total));
        break;
    case RunEvent::Finished: o.insert(QStringLiteral("ok"), event.ok); break;
    case RunEvent::Restarted: o.insert(QStringLiteral("done"), double(event.done)); break;
    }
    return line(o);
}

std::optional<RunEvent> decodeEvent(const QByteArray &text)
{
    const auto o = object(text);
    if (!o)
        return std::nullopt;
    const QString name = o->value(QStringLiteral("event")).toString();
    for (int k = 0; k <= RunEvent::Finished; ++k) {
        if (name != QLatin1String(kKindNames[k]))
            continue;
        RunEvent e;
        e.kind = RunEvent::Kind(k);
        e.text = o->value(QStringLiteral("text")).toString();
        e.done = qint64(o->value(QStringLiteral("done")).toDouble());
        e.total = qint64(o->value(QStringLiteral("total")).toDouble());
        e.ok = o->value(QStringLiteral("ok")).toBool();
        return e;
    }
    return std::nullopt;
}

QByteArray encodeRequest(const BackupRequest &r)
{
    return line(QJsonObject{
        {QStringLiteral("service"), r.serviceName},
        {QStringLiteral("dataSource"), r.dataSource},
        {QStringLiteral("logSource"), r.logSource},
        {QStringLiteral("dataTarget"), r.dataTarget},
        {QStringLiteral("logTarget"), r.logTarget},
        {QStringLiteral("allTargets"), QJsonArray::fromStringList(r.allTargets)},
        {QStringLiteral("settings"), r.settingsNumber},
        {QStringLiteral("row"), r.row},
    });
}

std::optional<BackupRequest> decodeRequest(const QByteArray &text)
{
    const auto o = object(text);
    if (!o || !o->value(QStringLiteral("service")).isString())
        return std::nullopt;
    BackupRequest r;
    r.serviceName = o->value(QStringLiteral("service")).toString();
    r.dataSource = o->value(QStringLiteral("dataSource")).toString();
    r.logSource = o->value(QStringLiteral("logSource")).toString();
    r.dataTarget = o->value(QStringLiteral("dataTarget")).toString();
    r.logTarget = o->value(QStringLiteral("logTarget")).toString();
    for (const QJsonValue v : o->value(QStringLiteral("allTargets")).toArray())
        r.allTargets << v.toString();
    r.settingsNumber = o->value(QStringLiteral("settings")).toString();
    r.row = o->value(QStringLiteral("row")).toInt(-1);
    return r;
}

} // namespace zdb

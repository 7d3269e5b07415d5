#include "RunRecords.h"

#include "FileOps.h"
#include "PlatformError.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>

namespace zdb {

namespace {

const QString kMarkPrefix = QStringLiteral("service-down-");
const QString kOutcomeName = QStringLiteral("last-outcome.json");

} // namespace

RunRecords::RunRecords(QString folder) : folder_(std::move(folder)) {}

QString RunRecords::markPath(const QString &service) const
{
    // Any name, even one with "/" in it, is one file name.
    return folder_ + u'/' + kMarkPrefix + QString::fromLatin1(service.toUtf8().toHex());
}

void RunRecords::markServiceDown(const QString &service)
{
    if (!writeFileDurably(folder_, markPath(service), service.toUtf8()))
        throw PlatformError(errorNumberForErrno(errno, false));
}

void RunRecords::clearServiceDown(const QString &service) noexcept { QFile::remove(markPath(service)); }

QStringList RunRecords::servicesMarkedDown() const
{
    QStringList names;
    const QStringList files = QDir(folder_).entryList({kMarkPrefix + u'*'}, QDir::Files | QDir::Hidden);
    for (const QString &file : files) {
        const QByteArray hex = file.mid(kMarkPrefix.size()).toLatin1();
        if (!hex.isEmpty() && !file.endsWith(QStringLiteral(".new")))
            names << QString::fromUtf8(QByteArray::fromHex(hex));
    }
    return names;
}

void RunRecords::keepOutcome(const Outcome &outcome) noexcept
{
    const QJsonObject o{{QStringLiteral("final"), outcome.finalText},
                        {QStringLiteral("messages"), QJsonArray::fromStringList(outcome.messages)}};
    writeFileDurably(folder_, folder_ + u'/' + kOutcomeName, QJsonDocument(o).toJson());
}

void RunRecords::forgetOutcome() noexcept { QFile::remove(folder_ + u'/' + kOutcomeName); }

bool RunRecords::takeOutcome(Outcome *outcome)
{
    QFile f(folder_ + u'/' + kOutcomeName);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject o = QJsonDocument::fromJson(f.read(1 << 20)).object();
    f.close();
    forgetOutcome();
    outcome->finalText = o.value(QStringLiteral("final")).toString();
    outcome->messages.clear();
    for (const QJsonValue v : o.value(QStringLiteral("messages")).toArray())
        outcome->messages << v.toString();
    return !outcome->finalText.isEmpty();
}

} // namespace zdb

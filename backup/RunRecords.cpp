#include "RunRecords.h"

#include "FileOps.h"
#include "PlatformError.h"
#include "RunHistory.h"
#include "SystemInfo.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>

namespace zdb {

namespace {

const QString kMarkPrefix = QStringLiteral("service-down-");
const QString kRestorePrefix = QStringLiteral("restore-");
const QString kOutcomeName = QStringLiteral("last-outcome.json");

} // namespace

bool writeFileDurably(const QString &folder, const QString &path, const QByteArray &bytes)
{
    QString why;
    return QDir().mkpath(folder) && replaceRegularFile(path, bytes, 0600, &why);
}

RunRecords::RunRecords(QString folder) : folder_(std::move(folder)) {}

QString RunRecords::markPath(const QString &service) const
{
    // Any name, even one with "/" in it, is one file name.
    return folder_ + u'/' + kMarkPrefix + QString::fromLatin1(service.toUtf8().toHex());
}

void RunRecords::markServiceDown(const QString &service)
{
    if (!writeFileDurably(folder_, markPath(service), service.toUtf8())) {
        const int number = errorNumberForErrno(errno, false);
        throw PlatformError(number, errorText(number) + u'\r' + markPath(service));
    }
}

void RunRecords::clearServiceDown(const QString &service) noexcept { QFile::remove(markPath(service)); }

QStringList RunRecords::servicesMarkedDown() const
{
    QStringList names;
    const QStringList files =
        QDir(folder_).entryList({kMarkPrefix + u'*'}, QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QString &file : files) {
        const QByteArray hex = file.mid(kMarkPrefix.size()).toLatin1();
        if (!hex.isEmpty() && !file.endsWith(QStringLiteral(".new")))
            names << QString::fromUtf8(QByteArray::fromHex(hex));
    }
    return names;
}

QString RunRecords::restorePath(const QString &service) const
{
    return folder_ + u'/' + kRestorePrefix + QString::fromLatin1(service.toUtf8().toHex());
}

void RunRecords::markRestore(const QString &service, const QByteArray &state)
{
    if (!writeFileDurably(folder_, restorePath(service), state))
        throw PlatformError(errorNumberForErrno(errno, false));
}

QByteArray RunRecords::restoreMark(const QString &service) const
{
    QFile f(restorePath(service));
    return f.open(QIODevice::ReadOnly) ? f.read(1 << 20) : QByteArray();
}

void RunRecords::clearRestore(const QString &service) noexcept
{
    // Gone for good before the next step: a mark that came back would
    // repeat a restore's renames on a database running since.
    removeFileDurably(folder_, restorePath(service));
}

QStringList RunRecords::servicesMidRestore() const
{
    QStringList names;
    for (const QString &file : QDir(folder_).entryList({kRestorePrefix + u'*'}, QDir::Files)) {
        const QByteArray hex = file.mid(kRestorePrefix.size()).toLatin1();
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
    QByteArray bytes;
    QString fault;
    // Read only where it is an ordinary file of its own name: a pipe there
    // would hold the start up, a link lead elsewhere.
    if (!readRegularFile(folder_ + u'/' + kOutcomeName, &bytes, &fault) || bytes.isEmpty()) {
        forgetOutcome();
        return false;
    }
    const QJsonObject o = QJsonDocument::fromJson(bytes).object();
    forgetOutcome();
    outcome->finalText = o.value(QStringLiteral("final")).toString();
    outcome->messages.clear();
    for (const QJsonValue v : o.value(QStringLiteral("messages")).toArray())
        outcome->messages << v.toString();
    return !outcome->finalText.isEmpty();
}

} // namespace zdb

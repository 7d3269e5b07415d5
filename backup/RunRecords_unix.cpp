#include "RunRecords.h"

#include "FileOps.h"
#include "PlatformError.h"
#include "SystemInfo.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zdb {

namespace {

const QString kMarkPrefix = QStringLiteral("service-down-");
const QString kRestorePrefix = QStringLiteral("restore-");
const QString kOutcomeName = QStringLiteral("last-outcome.json");

// Writes the whole file and puts it and its name on disk.
bool writeDurably(const QString &folder, const QString &path, const QByteArray &bytes)
{
    if (!QDir().mkpath(folder))
        return false;
    const QByteArray temp = QFile::encodeName(path + QStringLiteral(".new"));
    // Made anew: whatever stands under that name (a link, a pipe) is never
    // opened, and the rename replaces the name, not what a link there names.
    if (::unlink(temp.constData()) != 0 && errno != ENOENT)
        return false;
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = true;
    for (qsizetype off = 0; ok && off < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + off, size_t(bytes.size() - off));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        off += n > 0 ? n : 0;
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.constData(), QFile::encodeName(path).constData()) == 0;
    if (!ok) {
        ::unlink(temp.constData());
        return false;
    }
    const int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    ok = ::fsync(dir) == 0;
    ::close(dir);
    return ok;
}

} // namespace

RunRecords::RunRecords(QString folder) : folder_(std::move(folder)) {}

QString RunRecords::defaultFolder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = userHomeFolder() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/zorvatdbbackup");
}

QString RunRecords::markPath(const QString &service) const
{
    // Any name, even one with "/" in it, is one file name.
    return folder_ + u'/' + kMarkPrefix + QString::fromLatin1(service.toUtf8().toHex());
}

void RunRecords::markServiceDown(const QString &service)
{
    if (!writeDurably(folder_, markPath(service), service.toUtf8())) {
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
    if (!writeDurably(folder_, restorePath(service), state))
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
    if (!QFile::remove(restorePath(service)))
        return;
    const int dir = ::open(QFile::encodeName(folder_).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
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
    writeDurably(folder_, folder_ + u'/' + kOutcomeName, QJsonDocument(o).toJson());
}

void RunRecords::forgetOutcome() noexcept { QFile::remove(folder_ + u'/' + kOutcomeName); }

bool RunRecords::takeOutcome(Outcome *outcome)
{
    // Read only where it is an ordinary file of its own name: a pipe there
    // would hold the start up, a link lead elsewhere.
    const int fd = ::open(QFile::encodeName(folder_ + u'/' + kOutcomeName).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    QFile f;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)
        || !f.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        forgetOutcome();
        return false;
    }
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

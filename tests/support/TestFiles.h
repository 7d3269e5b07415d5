#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include "FileOps.h"

namespace zdb::test {

// Writes a whole file, making its folder first.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The whole file, or `missing` when there is none to read.
inline QByteArray readFile(const QString &path, const QByteArray &missing = "<missing>")
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : missing;
}

// This program's staged and previous copies in a folder.
inline QStringList ourFilesIn(const QString &folder)
{
    QStringList out;
    for (const QString &name : QDir(folder).entryList(QDir::Files | QDir::Hidden))
        if (name.contains(QString::fromLatin1(kTempMarker)) || name.contains(QString::fromLatin1(kPreviousMarker))
            || name.contains(QString::fromLatin1(kAbsentMarker)) || name.contains(QString::fromLatin1(kReservedMarker)))
            out << name;
    return out;
}

} // namespace zdb::test

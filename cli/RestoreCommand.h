#pragma once

#include <QStringList>
#include <QTextStream>

namespace zdb {

// `--restore ROW [--yes] [--to FOLDER] [--unverified]`.
struct RestoreOptions {
    bool asked = false;
    QString row;
    bool yes = false;
    QString toFolder;
    bool unverified = false;
    bool given = false; // any of them
};

// Takes arguments[i] (and its value) when it is one of these options.
bool takeRestoreOption(const QStringList &arguments, qsizetype &i, RestoreOptions &options);

// The restore of the row's pair of the settings number: the exit status
// (0 restored, 1 refused or failed, 2 bad usage or no one to ask).
int runRestoreCommand(const RestoreOptions &options, const QString &number, QTextStream &out, QTextStream &err);

// `--status`: the settings number's last restore, where there was one.
void showLastRestore(const QString &number, QTextStream &out);

} // namespace zdb

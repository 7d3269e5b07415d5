#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

namespace zdb {

// `--status`: for each row of the settings number its newest verified pair
// and its newest failure. 0 when the newest verified pair is at most
// maxAgeHours old, 1 otherwise.
int showStatus(const QString &number, double maxAgeHours, QTextStream &out);

// `--verify`: reads every row's pair back from its disk and compares it with
// the digests the history kept. Changes nothing. targets: the stored rows'
// data and log targets in turn; a row stored or recorded that cannot be
// checked counts as a fault. 0 when every copy is as kept, 1 otherwise.
int verifyPairs(const QString &number, const QStringList &targets, bool terminal, QTextStream &out);

// `--metrics FILE`: the settings number's newest run and newest verified pair
// in the textfile format of the node exporter, replacing FILE as a whole.
// False (and *error) when it could not be written.
bool writeMetrics(const QString &file, const QString &number, QString *error);

} // namespace zdb

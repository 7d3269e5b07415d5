#pragma once

#include <QStringList>

namespace zdb {

// The program's command line (`--run [--settings N]`, `--help`,
// `--version`): the backup of a stored settings number without a window,
// for a timer's nightly run. Prints each stage and message as lines.
// Returns 0 for a normal end, 1 for an abnormal one, 2 for bad usage.
int runFromCommandLine(const QStringList &arguments);

} // namespace zdb

#pragma once

#include <QTextStream>

namespace zdb {

// Starts every service whose mark says an earlier run left it down, each
// under its lock, and says in a line what it did. True when none is left
// down. The guard mode (`--guard`) is this alone; `--run` does it first.
bool startServicesLeftDown(QTextStream &out, QTextStream &err);

} // namespace zdb

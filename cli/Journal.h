#pragma once

#include <QByteArray>
#include <QList>
#include <utility>

namespace zdb {

// Whether standard output goes to the system journal (a service's output).
bool standardOutputIsJournal();

// One journal entry with structured fields (MESSAGE, PRIORITY and our own),
// sent by the journal's native protocol. False when it could not be sent.
bool sendToJournal(const QList<std::pair<QByteArray, QByteArray>> &fields);

} // namespace zdb

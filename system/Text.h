#pragma once

#include <QByteArray>
#include <QString>

namespace zdb {

// Removes leading and trailing blanks (U+0020 only: the ideographic space is
// text, the same rule everywhere in the program).
QString trimSpaces(const QString &s);

// Wildcard match where "*" stands for any run of characters, case-sensitive.
bool likeMatch(const QString &text, const QString &pattern);

// Paths are bytes to the kernel and text to the rest of the program. A byte
// that is no UTF-8 travels as a lone surrogate U+DC80..U+DCFF, so that every
// name read from a folder or a link comes back to the same bytes: a copy never
// goes to a folder named by replacement characters. (Qt's own file classes
// cannot carry such names.)
QByteArray pathBytes(const QString &path);
QString pathText(const QByteArray &bytes);

} // namespace zdb

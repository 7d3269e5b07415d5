#pragma once

#include <QString>

namespace zdb {

// Removes leading and trailing blanks (U+0020 only: the ideographic space is
// text, the same rule everywhere in the program).
QString trimSpaces(const QString &s);

// Wildcard match where "*" stands for any run of characters, case-sensitive.
bool likeMatch(const QString &text, const QString &pattern);

} // namespace zdb

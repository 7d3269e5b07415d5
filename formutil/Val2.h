#pragma once

#include <QString>
#include <QVariant>
#include <optional>

namespace zdb {

// What a user typed, read as a number: commas and surrounding blanks
// ignored, a number in the locale's notation accepted, otherwise the leading
// number of the text, or 0. Never fails.
double Val2(const QVariant &MOJI1);

// The number a text is as a whole, as the locale reads it (also the forms an
// input method gives: full-width digits and signs, a currency sign, a
// trailing minus or parentheses for a negative); none for anything else.
std::optional<double> recogniseNumber(const QString &text);

// A number with the picture "#.#################": no leading zero, always a
// point, at most 17 fractional digits, trailing zeros dropped.
QString plainNotation(double value);

// The leading number of a text: blanks, tabs and line feeds skipped anywhere,
// sign, digits with one point, E or D exponent, or &H / &O integers.
double leadingNumber(const QString &text);

} // namespace zdb

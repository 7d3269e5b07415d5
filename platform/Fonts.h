#pragma once

#include <QFont>
#include <QString>

namespace zdb {

// Maps the Japanese faces the window is designed with to the IPA faces that
// have the same metrics. Call once after the application object exists.
void installFontSubstitutes();

// A font of the design: face, size in points, bold or regular.
QFont designFont(const QString &face, double points, bool bold);

} // namespace zdb

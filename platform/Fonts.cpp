#include "Fonts.h"

#include <QFontDatabase>
#include <QHash>

namespace zdb {

void installFontSubstitutes()
{
    QFont::insertSubstitution(QStringLiteral("ＭＳ 明朝"), QStringLiteral("IPAMincho"));
    QFont::insertSubstitution(QStringLiteral("ＭＳ Ｐ明朝"), QStringLiteral("IPAPMincho"));
    QFont::insertSubstitution(QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"));
    QFont::insertSubstitution(QStringLiteral("ＭＳ ゴシック"), QStringLiteral("IPAGothic"));
}

namespace {

// A face that is not installed is asked for by its substitute: asked for by
// its own name, each script at each size first looks for it in vain and then
// sorts every installed face for a fallback, which was most of the window's
// start-up. Asking the font database is itself costly, so once per face.
QString installedFace(const QString &face)
{
    // The list, not hasFamily(): that asks fontconfig to match each name.
    static const QStringList installed = QFontDatabase::families();
    static QHash<QString, QString> known;
    auto it = known.constFind(face);
    if (it == known.constEnd()) {
        const QString substitute = QFont::substitute(face);
        const bool useSubstitute = substitute != face && !installed.contains(face, Qt::CaseInsensitive)
            && installed.contains(substitute, Qt::CaseInsensitive);
        it = known.insert(face, useSubstitute ? substitute : face);
    }
    return *it;
}

} // namespace

QFont designFont(const QString &face, double points, bool bold)
{
    QFont f(installedFace(face));
    f.setPointSizeF(points);
    f.setWeight(bold ? QFont::Bold : QFont::Normal);
    f.setStyleStrategy(QFont::PreferMatch);
#ifndef Q_OS_WIN
    // FreeType's hinter on every glyph was a fifth of the window's start-up;
    // unhinted, the window's texts come out the same at these sizes.
    f.setHintingPreference(QFont::PreferNoHinting);
#endif
    return f;
}

} // namespace zdb

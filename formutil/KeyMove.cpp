#include "KeyMove.h"

#include "Form.h"
#include "PlatformError.h"
#include "Val2.h"

#include <cmath>

namespace zdb {

namespace {

bool isListType(const QString &type)
{
    return type == QStringLiteral("ComboBox") || type == QStringLiteral("DriveListBox")
        || type == QStringLiteral("DirListBox") || type == QStringLiteral("FileListBox");
}

// The control at a tab position; controls whose position cannot be read
// are passed over.
Control atTabPosition(const Form &form, int t)
{
    for (int i = 0; i < form.controlCount(); ++i) {
        try {
            Control c = form.control(i);
            const int tab = c.tabIndex();
            if (tab >= 0 && tab == t)
                return c;
        } catch (const PlatformError &) {
        }
    }
    return {};
}

QString typeOf(const Control &c)
{
    try {
        return c.typeName();
    } catch (const PlatformError &) {
        return {};
    }
}

void giveFocus(Control &c)
{
    try {
        c.setFocus();
    } catch (const PlatformError &) {
        // A refused request counts as done.
    }
}

// Nearest whole number, halves to the even neighbour.
int nearestIndex(double x) { return int(std::nearbyint(x)); }

// Enter in a combo box: the typed number picks that entry, or the last one.
void chooseEntry(Control &combo)
{
    const double n = Val2(combo.text());
    const double c = Val2(combo.listCount());
    if (n > 0 && c > 0) {
        const double i = n - 1;
        const double last = c - 1;
        const int index = nearestIndex(i > last ? last : i);
        // Between 0 and 0.5 the nearest index is -1, which names no entry:
        // the text stays as typed.
        if (index >= 0)
            combo.setText(combo.list(index));
    }
}

} // namespace

void キー移動1(Form &ME1, const qint16 &KeyCode)
{
    int t = 0;
    try {
        Control active = ME1.activeControl();
        const QString type = active.typeName();
        if (type == QStringLiteral("ComboBox") && KeyCode == 13)
            chooseEntry(active);
        const int p = active.tabIndex();
        switch (KeyCode) {
        case 38:
            if (isListType(type))
                return;
            t = p - 1;
            break;
        case 40:
            if (isListType(type))
                return;
            t = p + 1;
            break;
        case 37: t = active.selStart() == 0 ? p - 1 : p; break;
        case 39: t = active.selStart() == active.text().size() ? p + 1 : p; break;
        case 13: t = p + 1; break;
        default: return;
        }
    } catch (const PlatformError &) {
        return;
    }

    for (;;) {
        Control c = atTabPosition(ME1, t);
        if (c.isNull())
            break;
        const QString type = typeOf(c);
        if (type == QStringLiteral("Frame")) {
            ++t;
            continue;
        }
        if (type == QStringLiteral("Label")) {
            const QString name = c.name().toUpper();
            if (name == QStringLiteral("LBLTITLE1") || name == QStringLiteral("MSG1"))
                break;
        }
        bool enabled = true;
        try {
            enabled = c.enabled();
        } catch (const PlatformError &) {
            // Unreadable: the focus request below decides.
        }
        if (enabled) {
            giveFocus(c);
            return;
        }
        ++t;
    }

    // Past the last field: the first position that is not a frame.
    for (t = 0;; ++t) {
        Control c = atTabPosition(ME1, t);
        if (c.isNull())
            return;
        if (typeOf(c) != QStringLiteral("Frame")) {
            giveFocus(c);
            return;
        }
    }
}

} // namespace zdb

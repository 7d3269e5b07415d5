#include "Colour.h"

#include <QGuiApplication>
#include <QPalette>

namespace zdb {

namespace {

QPalette::ColorRole roleForSystemIndex(int index, QPalette::ColorGroup *group)
{
    *group = QPalette::Active;
    switch (index) {
    case 5: return QPalette::Base; // window background
    case 6: return QPalette::Shadow; // window frame
    case 7: return QPalette::WindowText; // menu text
    case 8: return QPalette::Text; // window text
    case 13: return QPalette::Highlight;
    case 14: return QPalette::HighlightedText;
    case 16: return QPalette::Mid; // button shadow
    case 17: *group = QPalette::Disabled; return QPalette::Text; // grey text
    case 18: return QPalette::ButtonText;
    case 20: return QPalette::Light; // button highlight
    case 21: return QPalette::Dark; // 3D dark shadow
    case 22: return QPalette::Midlight;
    case 23: return QPalette::ToolTipText;
    case 24: return QPalette::ToolTipBase;
    case 4: return QPalette::Window; // menu
    case 12: return QPalette::Dark; // application workspace
    default: return QPalette::Button; // button face and the rest
    }
}

} // namespace

QColor toQColor(OleColor c)
{
    if (isSystemColour(c)) {
        QPalette::ColorGroup group;
        const auto role = roleForSystemIndex(int(c & 0xFF), &group);
        return QGuiApplication::palette().color(group, role);
    }
    return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}

} // namespace zdb

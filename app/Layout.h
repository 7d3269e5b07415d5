#pragma once

#include "Colour.h"
#include "Control.h"
#include "SettingsControls.h"

namespace zdb {

class Form;

enum class FontId { Window, Body, SettingsNumber, PanelTitle, FrameFont, Arrow, Title, Small, Message };

enum LayoutFlag : unsigned {
    kBoxed = 1, // single-line border
    kCentred = 2,
    kNoTabStop = 4, // the Tab key passes over it
};

// One control of the main window as designed. Positions in twips.
struct LayoutRow {
    const char *name;
    int index; // -1 outside a control array
    ControlKind kind;
    const char *container; // nullptr: the window
    int left, top, width, height;
    const char *text;
    const char *toolTip;
    OleColor back, fore;
    FontId font;
    int tab; // -1: no tab position
    unsigned flags;
};

inline constexpr int kTwipsPerPixel = 15;
inline constexpr int kClientWidthTwips = 11955;
inline constexpr int kClientHeightTwips = 7755;
inline constexpr const char kMainFormName[] = "ZorvatDBバックアップ";
inline constexpr const char kMainFormCaption[] = "SCR520";

// The main window's controls in creation order.
const LayoutRow *mainLayout(int *count);

// Creates the controls of the layout on the window.
void buildLayout(Form &form);

// The main window's controls that show the stored settings.
const SettingsControls &mainSettingsControls();

} // namespace zdb

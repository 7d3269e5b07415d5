#include "TestWindow.h"

namespace zdb::test {

namespace {

constexpr OleColor kGrey = rgb(224, 224, 224);
constexpr OleColor kSilver = rgb(192, 192, 192);
constexpr OleColor kYellow = rgb(255, 255, 192);
constexpr OleColor kTeal = rgb(0, 128, 128);

using K = ControlKind;

// Positions in pixels; tab -1: none; stop false: the Tab key passes over it.
struct Row {
    const char *name;
    int index;
    ControlKind kind;
    bool inFrame;
    int left, top, width, height;
    OleColor back;
    int tab;
    bool stop = true;
};

// clang-format off
const Row kRows[] = {
    {"lbltitle1", 0, K::Label, false, 2, 0, 788, 23, kYellow, 28},
    {"LblOS", -1, K::Label, false, 616, 2, 171, 21, kYellow, 34},
    {"LABEL1", 6, K::Label, false, 4, 28, 458, 121, kSilver, 44},
    {"LABEL1", 1, K::Label, false, 10, 54, 105, 25, kYellow, 39},
    {"DBサーバー名", -1, K::TextBox, false, 118, 56, 247, 21, kGrey, 2},
    {"LABEL1", 4, K::Label, false, 10, 82, 105, 25, kYellow, 40},
    {"DBデータパス", -1, K::TextBox, false, 118, 82, 335, 25, kGrey, 3},
    {"LABEL1", 5, K::Label, false, 10, 110, 105, 25, kYellow, 41},
    {"DBログパス", -1, K::TextBox, false, 118, 110, 335, 25, kGrey, 4},
    {"下矢印", -1, K::CommandButton, false, 220, 146, 55, 27, kButtonFace, 25, false},
    {"LABEL1", 9, K::Label, false, 472, 28, 318, 141, kSilver, 48},
    {"ロックと解除", -1, K::CommandButton, false, 624, 30, 162, 24, kButtonFace, 21},
    {"LABEL1", 8, K::Label, false, 484, 104, 304, 59, kYellow, 46},
    {"設定番号", -1, K::ComboBox, false, 564, 110, 121, 23, kGrey, 22},
    {"設定読込", -1, K::CommandButton, false, 688, 108, 96, 26, kButtonFace, 23},
    {"設定記憶", -1, K::CommandButton, false, 688, 134, 96, 26, kButtonFace, 24},
    {"Frame1", -1, K::Frame, false, 4, 172, 785, 299, kSilver, 26},
    {"LABEL1", 7, K::Label, true, 6, 2, 194, 19, kSilver, 45},
    {"LABEL1", 2, K::Label, true, 80, 26, 306, 23, kYellow, 42},
    {"LABEL1", 3, K::Label, true, 386, 26, 393, 25, kYellow, 43},
    {"DNO", 0, K::OptionButton, true, 8, 48, 71, 29, kGrey, 29},
    {"DNO", 1, K::OptionButton, true, 8, 82, 111, 23, kGrey, 30},
    {"DNO", 2, K::OptionButton, true, 8, 110, 111, 23, kGrey, 31},
    {"DNO", 3, K::OptionButton, true, 8, 142, 111, 23, kGrey, 32},
    {"DNO", 4, K::OptionButton, true, 8, 172, 111, 23, kGrey, 35},
    {"DNO", 5, K::OptionButton, true, 8, 206, 111, 23, kGrey, 36},
    {"DNO", 6, K::OptionButton, true, 8, 236, 111, 23, kGrey, 37},
    {"DNO", 7, K::OptionButton, true, 8, 266, 111, 23, kGrey, 38},
    {"Path", 0, K::TextBox, true, 80, 50, 305, 24, kGrey, 5},
    {"Path", 1, K::TextBox, true, 80, 80, 305, 24, kGrey, 6},
    {"Path", 2, K::TextBox, true, 80, 110, 305, 24, kGrey, 7},
    {"Path", 3, K::TextBox, true, 80, 142, 305, 24, kGrey, 8},
    {"Path", 4, K::TextBox, true, 80, 172, 305, 24, kGrey, 9},
    {"Path", 5, K::TextBox, true, 80, 204, 305, 24, kGrey, 10},
    {"Path", 6, K::TextBox, true, 80, 234, 305, 24, kGrey, 11},
    {"Path", 7, K::TextBox, true, 80, 264, 305, 24, kGrey, 12},
    {"Path2", 0, K::TextBox, true, 386, 50, 393, 24, kGrey, 13},
    {"Path2", 1, K::TextBox, true, 386, 80, 393, 24, kGrey, 14},
    {"Path2", 2, K::TextBox, true, 386, 110, 393, 24, kGrey, 15},
    {"Path2", 3, K::TextBox, true, 386, 142, 393, 24, kGrey, 16},
    {"Path2", 4, K::TextBox, true, 386, 172, 393, 24, kGrey, 17},
    {"Path2", 5, K::TextBox, true, 386, 204, 393, 24, kGrey, 18},
    {"Path2", 6, K::TextBox, true, 386, 234, 393, 24, kGrey, 19},
    {"Path2", 7, K::TextBox, true, 386, 264, 393, 24, kGrey, 20},
    {"PRN", -1, K::CommandButton, false, 20, 478, 33, 33, kButtonFace, 47, false},
    {"Label6", -1, K::Label, false, 54, 477, 47, 33, kTeal, 33},
    {"MSG1", -1, K::Label, false, 100, 476, 465, 35, kButtonFace, 27},
    {"YES", -1, K::CommandButton, false, 570, 478, 86, 32, kButtonFace, 0},
    {"END", -1, K::CommandButton, false, 658, 478, 85, 32, kButtonFace, 1},
    {"SysInfo1", -1, K::SysInfo, false, 0, 0, 0, 0, 0, -1},
};
// clang-format on

} // namespace

TestWindow::TestWindow(Platform &platform, QWidget *parent) : Form(platform, QStringLiteral("テスト画面"), parent)
{
    setFixedSize(797, 517);
    QWidget *frame = nullptr;
    for (const Row &r : kRows) {
        Control c = addControl(r.kind, QString::fromUtf8(r.name), r.index, r.inFrame ? frame : nullptr);
        if (r.kind == K::SysInfo)
            continue;
        if (r.kind == K::Frame)
            frame = c.widget();
        c.widget()->setGeometry(r.left, r.top, r.width, r.height);
        c.setBackColor(r.back);
        c.setTabIndex(r.tab);
        if (!r.stop)
            c.widget()->setFocusPolicy(Qt::ClickFocus);
    }
    control(QStringLiteral("DNO"), 0).setValue(true);
    applyTabOrder();
}

void TestWindow::onLoad()
{
    Control number = control(QStringLiteral("設定番号"));
    for (int i = 1; i <= 9; ++i)
        number.addItem(QString::number(i));
    number.setText(QStringLiteral("1"));
}

} // namespace zdb::test

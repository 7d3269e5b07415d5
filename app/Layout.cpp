#include "Layout.h"

#include "Fonts.h"
#include "Form.h"

#include <QFrame>
#include <QLabel>
#include <QWidget>

namespace zdb {

namespace {

constexpr OleColor kInputGrey = rgb(224, 224, 224);
constexpr OleColor kPanelSilver = rgb(192, 192, 192);
constexpr OleColor kCaptionYellow = rgb(255, 255, 192);
constexpr OleColor kTeal = rgb(0, 128, 128);

using K = ControlKind;
using F = FontId;

// clang-format off
#define DEST_ROW_TEXT "C:\\ZorvatDBバックアップ\\DB1"
#define DNO(i, cap, top, tab) \
    {"DNO", i, K::OptionButton, "Frame1", 120, top, (i) == 0 ? 1065 : 1665, (i) == 0 ? 435 : 345, cap, nullptr, kInputGrey, kButtonText, F::Body, tab, 0}
#define PATH(i, top, tab) \
    {"Path", i, K::TextBox, "Frame1", 1200, top, 4575, 360, DEST_ROW_TEXT, nullptr, kInputGrey, kWindowText, F::Body, tab, 0}
#define PATH2(i, top, tab) \
    {"Path2", i, K::TextBox, "Frame1", 5790, top, 5895, 360, DEST_ROW_TEXT, nullptr, kInputGrey, kWindowText, F::Body, tab, 0}

const LayoutRow kLayout[] = {
    // Title line
    {"lbltitle1", 0, K::Label, nullptr, 30, 0, 11820, 345, "ZorvatDBバックアップ（MSSQL版)", "データをバックアップします。", kCaptionYellow, kButtonText, F::Title, 28, kBoxed | kCentred},
    {"LblOS", -1, K::Label, nullptr, 9240, 30, 2565, 315, "", nullptr, kCaptionYellow, kButtonText, F::Small, 34, 0},
    // Backup source area
    {"LABEL1", 6, K::Label, nullptr, 60, 420, 6870, 1815, "バックアップ元", nullptr, kPanelSilver, kButtonText, F::PanelTitle, 44, kBoxed},
    {"LABEL1", 1, K::Label, nullptr, 150, 810, 1575, 375, "DBサービス名", nullptr, kCaptionYellow, kButtonText, F::Body, 39, kBoxed | kCentred},
    {"DBサーバー名", -1, K::TextBox, nullptr, 1770, 840, 3705, 315, "MSSQLServer",
     "ｺﾝﾄﾙｰﾙﾊﾟﾈﾙの管理ツールのサービスで表示されます。通常MSSQL2000SERVERでは、 MSSQLserver  /　　MSDE2000では、MSSQL$ｲﾝｽﾀﾝｽ名です。",
     kInputGrey, kWindowText, F::Body, 2, 0},
    {"LABEL1", 4, K::Label, nullptr, 150, 1230, 1575, 375, "DBデータパス", nullptr, kCaptionYellow, kButtonText, F::Body, 40, kBoxed | kCentred},
    {"DBデータパス", -1, K::TextBox, nullptr, 1770, 1230, 5025, 375, "C:\\QXNZorvat701DB\\QXNZorvat701DB.MDF", nullptr, kInputGrey, kWindowText, F::Body, 3, 0},
    {"LABEL1", 5, K::Label, nullptr, 150, 1650, 1575, 375, "DBログパス", nullptr, kCaptionYellow, kButtonText, F::Body, 41, kBoxed | kCentred},
    {"DBログパス", -1, K::TextBox, nullptr, 1770, 1650, 5025, 375, "C:\\QXNZorvat701DB\\QXNZorvat701DB_LOG.LDF", nullptr, kInputGrey, kWindowText, F::Body, 4, 0},
    {"下矢印", -1, K::CommandButton, nullptr, 3300, 2190, 825, 405, "▼", nullptr, kButtonFace, kButtonText, F::Arrow, 25, kNoTabStop},
    // System settings area
    {"LABEL1", 9, K::Label, nullptr, 7080, 420, 4770, 2115, "システム設定", nullptr, kPanelSilver, kButtonText, F::PanelTitle, 48, kBoxed},
    {"ロックと解除", -1, K::CommandButton, nullptr, 9360, 450, 2430, 360, "ロックと解除", "入力項目のロックと解除を行います。", kButtonFace, kButtonText, F::Body, 21, 0},
    {"LABEL1", 8, K::Label, nullptr, 7260, 1560, 4560, 885, "設定番号", nullptr, kCaptionYellow, kButtonText, F::Body, 46, kBoxed},
    {"設定番号", -1, K::ComboBox, nullptr, 8460, 1650, 1815, 345, "1", "▼をｸﾘｯｸし番号を選択して下さい。", kInputGrey, kWindowText, F::SettingsNumber, 22, 0},
    {"設定読込", -1, K::CommandButton, nullptr, 10320, 1620, 1440, 390, "設定読込", "設定を読込みます。", kButtonFace, kButtonText, F::Body, 23, 0},
    {"設定記憶", -1, K::CommandButton, nullptr, 10320, 2010, 1440, 390, "設定記憶", "設定を記憶みます。", kButtonFace, kButtonText, F::Body, 24, 0},
    // Backup destination area
    {"Frame1", -1, K::Frame, nullptr, 60, 2580, 11775, 4485, "", nullptr, kPanelSilver, kWindowText, F::FrameFont, 26, 0},
    {"LABEL1", 7, K::Label, "Frame1", 90, 30, 2910, 285, "バックアップ先", "データをバックアップします。", kPanelSilver, kWindowText, F::PanelTitle, 45, 0},
    {"LABEL1", 2, K::Label, "Frame1", 1200, 390, 4590, 345, " DBデータパス", nullptr, kCaptionYellow, kButtonText, F::Body, 42, kBoxed},
    {"LABEL1", 3, K::Label, "Frame1", 5790, 390, 5895, 375, " DBログパス", nullptr, kCaptionYellow, kButtonText, F::Body, 43, kBoxed},
    DNO(0, "月曜日", 720, 29),  DNO(1, "火曜日", 1230, 30), DNO(2, "水曜日", 1650, 31), DNO(3, "木曜日", 2130, 32),
    DNO(4, "金曜日", 2580, 35), DNO(5, "土曜日", 3090, 36), DNO(6, "日曜日", 3540, 37), DNO(7, "その他", 3990, 38),
    PATH(0, 750, 5),   PATH(1, 1200, 6),  PATH(2, 1650, 7),  PATH(3, 2130, 8),
    PATH(4, 2580, 9),  PATH(5, 3060, 10), PATH(6, 3510, 11), PATH(7, 3960, 12),
    PATH2(0, 750, 13),  PATH2(1, 1200, 14), PATH2(2, 1650, 15), PATH2(3, 2130, 16),
    PATH2(4, 2580, 17), PATH2(5, 3060, 18), PATH2(6, 3510, 19), PATH2(7, 3960, 20),
    // Message line
    {"PRN", -1, K::CommandButton, nullptr, 300, 7170, 495, 495, "画面印刷", "画面をプリントアウトします。", kButtonFace, kButtonText, F::Small, 47, kNoTabStop},
    {"Label6", -1, K::Label, nullptr, 810, 7155, 705, 495, "ﾒｯｾｰｼﾞ", nullptr, kTeal, kCaptionYellow, F::Small, 33, kBoxed},
    {"MSG1", -1, K::Label, nullptr, 1500, 7140, 6975, 525, "", "メッセージを表示する欄です。", kButtonFace, kWindowText, F::Message, 27, kBoxed},
    {"YES", -1, K::CommandButton, nullptr, 8550, 7170, 1290, 480, "開始", "処理を開始します。", kButtonFace, kButtonText, F::Body, 0, 0},
    {"END", -1, K::CommandButton, nullptr, 9870, 7170, 1275, 480, "終了", "プログラムを終了します。", kButtonFace, kButtonText, F::Body, 1, 0},
    // Non-visual
    {"SysInfo1", -1, K::SysInfo, nullptr, 0, 0, 0, 0, nullptr, nullptr, 0, 0, F::Window, -1, 0},
};
// clang-format on

#undef DNO
#undef PATH
#undef PATH2
#undef DEST_ROW_TEXT

QFont fontFor(FontId id)
{
    const QString mincho = QStringLiteral("ＭＳ 明朝");
    switch (id) {
    case F::Window: return designFont(mincho, 11.25, false);
    case F::Body: return designFont(mincho, 12, false);
    case F::SettingsNumber: return designFont(mincho, 11.25, true);
    case F::PanelTitle: return designFont(mincho, 14.25, true);
    case F::FrameFont: return designFont(mincho, 12, true);
    case F::Arrow: return designFont(mincho, 18, true);
    case F::Title: return designFont(QStringLiteral("ＭＳ Ｐ明朝"), 14.25, true);
    case F::Small: return designFont(QStringLiteral("ＭＳ Ｐゴシック"), 9, false);
    case F::Message: return designFont(QStringLiteral("ＭＳ Ｐゴシック"), 12, false);
    }
    return {};
}

QRect toPixels(const LayoutRow &r)
{
    return QRect(r.left / kTwipsPerPixel, r.top / kTwipsPerPixel, r.width / kTwipsPerPixel, r.height / kTwipsPerPixel);
}

} // namespace

const LayoutRow *mainLayout(int *count)
{
    *count = int(std::size(kLayout));
    return kLayout;
}

void buildLayout(Form &form)
{
    // The controls are made in the font most of them have, and the form's own
    // font comes last: made in it, each would lay its text out once more in a
    // face and size that nothing on the window shows.
    form.setFont(fontFor(F::Body));
    form.setFixedSize(kClientWidthTwips / kTwipsPerPixel, kClientHeightTwips / kTwipsPerPixel);
    for (const LayoutRow &r : kLayout) {
        QWidget *container = r.container ? form.control(QString::fromUtf8(r.container)).widget() : nullptr;
        Control c = form.addControl(r.kind, QString::fromUtf8(r.name), r.index, container);
        if (r.kind == K::SysInfo)
            continue;
        QWidget *w = c.widget();
        w->setGeometry(toPixels(r));
        w->setFont(fontFor(r.font));
        c.setText(QString::fromUtf8(r.text));
        if (r.toolTip)
            w->setToolTip(QString::fromUtf8(r.toolTip));
        c.setBackColor(r.back);
        c.setForeColor(r.fore);
        c.setTabIndex(r.tab);
        if (r.flags & kNoTabStop)
            w->setFocusPolicy(Qt::ClickFocus);
        if (auto *label = qobject_cast<QLabel *>(w)) {
            if (r.flags & kBoxed) {
                label->setFrameShape(QFrame::Box);
                label->setFrameShadow(QFrame::Plain);
                label->setLineWidth(1);
            }
            label->setAlignment(Qt::AlignTop | ((r.flags & kCentred) ? Qt::AlignHCenter : Qt::AlignLeft));
        }
    }
    // The first row of the destination set is selected as designed.
    form.control(QStringLiteral("DNO"), 0).setValue(true);
    form.applyTabOrder();
    form.setFont(fontFor(F::Window));
}

const SettingsControls &mainSettingsControls()
{
    static const SettingsControls names{
        QStringLiteral("設定番号"),
        QStringLiteral("DBサーバー名"),
        QStringLiteral("DBデータパス"),
        QStringLiteral("DBログパス"),
        QStringLiteral("Path"),
        QStringLiteral("Path2"),
        {QStringLiteral("YES"), QStringLiteral("END"), QStringLiteral("PRN"), QStringLiteral("ロックと解除"),
         QStringLiteral("下矢印")},
    };
    return names;
}

} // namespace zdb

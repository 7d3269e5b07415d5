#include "StartUp.h"

#include "Clock.h"
#include "FocusHandlers.h"
#include "Form.h"
#include "Platform.h"
#include "SettingsStore.h"
#include "SystemInfo.h"

namespace zdb {

QString FMM_CapSet1(Form &ME, const QVariant &)
{
    QString caption = ME.caption();
    if (caption.size() >= 40)
        return caption;
    return ME.platform().systemInfo.productName() + QStringLiteral(" - ") + QStringLiteral(" <") + ME.formName() + u':'
        + caption + u'>' + QString(40, u' ');
}

QString osFamilyText(int platformValue)
{
    switch (platformValue) {
    case 0: return QStringLiteral("Win32S");
    case 1: return QStringLiteral("Windows Me");
    case 2: return QStringLiteral("Windows 2000 & Xp");
    default: return {};
    }
}

void Form_Load(Form &ME)
{
    ME.setKeyPreview(true);
    ME.setCaption(FMM_CapSet1(ME, 1));
    Control number = ME.control(QStringLiteral("設定番号"));
    for (int i = 1; i <= 9; ++i)
        number.addItem(QString::number(i));
    number.setText(QStringLiteral("1"));
    QVariant scratch;
    FMM_GETレジストリ1(ME, scratch);
    markFocusAtStartUp(ME);

    const QString family = osFamilyText(qint16(ME.control(QStringLiteral("SysInfo1")).osPlatform()));
    if (!family.isEmpty())
        ME.control(QStringLiteral("LblOS")).setText(family);

    // Monday is row 0, Sunday row 6; the row "その他" is never chosen here.
    const int weekday = ME.platform().clock.now().date().dayOfWeek(); // 1 = Monday
    ME.control(QStringLiteral("DNO"), weekday - 1).setValue(true);
}

} // namespace zdb

#include "Layout.h"
#include "MainWindow.h"
#include "TestPlatform.h"
#include "TestRegistry.h"

#include <QFontInfo>
#include <QSet>
#include <QTest>

using namespace zdb;

namespace {

// A single control by name, or an array element by name and index (index >= 0).
Control controlAt(const Form &w, const QString &name, int index)
{
    return index < 0 ? w.control(name) : w.control(name, index);
}

} // namespace

class LayoutTest : public QObject {
    Q_OBJECT
private slots:
    void tabPositionsAreUniqueAndConsecutive()
    {
        test::TestPlatform tp;
        MainWindow w(tp.platform);
        QSet<int> seen;
        int withTab = 0;
        for (int i = 0; i < w.controlCount(); ++i) {
            Control c = w.control(i);
            if (c.kind() == ControlKind::SysInfo)
                continue;
            ++withTab;
            QVERIFY2(!seen.contains(c.tabIndex()), qPrintable(c.name()));
            seen.insert(c.tabIndex());
        }
        QCOMPARE(withTab, 49);
        for (int t = 0; t <= 48; ++t)
            QVERIFY(seen.contains(t));
    }

    void tabOrderByName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("tab");
        QTest::newRow("YES") << "YES" << -1 << 0;
        QTest::newRow("END") << "END" << -1 << 1;
        QTest::newRow("service") << QStringLiteral("DBサーバー名") << -1 << 2;
        QTest::newRow("Path 0") << "Path" << 0 << 5;
        QTest::newRow("Path2 7") << "Path2" << 7 << 20;
        QTest::newRow("down arrow") << QStringLiteral("下矢印") << -1 << 25;
        QTest::newRow("Frame1") << "Frame1" << -1 << 26;
        QTest::newRow("MSG1") << "MSG1" << -1 << 27;
        QTest::newRow("DNO 3") << "DNO" << 3 << 32;
        QTest::newRow("DNO 4") << "DNO" << 4 << 35;
        QTest::newRow("PRN") << "PRN" << -1 << 47;
        QTest::newRow("LABEL1 9") << "LABEL1" << 9 << 48;
    }
    void tabOrderByName()
    {
        QFETCH(QString, name);
        QFETCH(int, index);
        QFETCH(int, tab);
        test::TestPlatform tp;
        MainWindow w(tp.platform);
        QCOMPARE(controlAt(w, name, index).tabIndex(), tab);
    }

    void everyControlInsideClientArea()
    {
        int count = 0;
        const LayoutRow *rows = mainLayout(&count);
        const LayoutRow *frame = nullptr;
        int right = 0, bottom = 0;
        for (int i = 0; i < count; ++i) {
            const LayoutRow &r = rows[i];
            if (r.kind == ControlKind::SysInfo)
                continue;
            if (QByteArray(r.name) == "Frame1")
                frame = &r;
            const int dx = r.container ? frame->left : 0;
            const int dy = r.container ? frame->top : 0;
            right = std::max(right, dx + r.left + r.width);
            bottom = std::max(bottom, dy + r.top + r.height);
        }
        QCOMPARE(right, 11850);
        QCOMPARE(bottom, 7665);
        QVERIFY(right <= kClientWidthTwips && bottom <= kClientHeightTwips);

        test::TestPlatform tp;
        MainWindow w(tp.platform);
        QCOMPARE(w.size(), QSize(797, 517));
        for (int i = 0; i < w.controlCount(); ++i) {
            QWidget *cw = w.control(i).widget();
            if (!cw)
                continue;
            const QRect inWindow(cw->mapTo(&w, QPoint(0, 0)), cw->size());
            QVERIFY2(w.rect().contains(inWindow), qPrintable(w.control(i).name()));
        }
    }

    void designedTexts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("tip");
        QTest::newRow("title") << "lbltitle1" << 0 << QStringLiteral("ZorvatDBバックアップ（MSSQL版)")
                               << QStringLiteral("データをバックアップします。");
        QTest::newRow("service") << QStringLiteral("DBサーバー名") << -1 << "MSSQLServer"
                                 << QStringLiteral("ｺﾝﾄﾙｰﾙﾊﾟﾈﾙの管理ツールのサービスで表示されます。通常MSSQL2000SERVER"
                                                   "では、 MSSQLserver  /　　MSDE2000では、MSSQL$ｲﾝｽﾀﾝｽ名です。");
        QTest::newRow("data source") << QStringLiteral("DBデータパス") << -1 << "C:\\QXNZorvat701DB\\QXNZorvat701DB.MDF"
                                     << QString();
        QTest::newRow("Path 7") << "path" << 7 << QStringLiteral("C:\\ZorvatDBバックアップ\\DB1") << QString();
        QTest::newRow("DNO 7") << "DNO" << 7 << QStringLiteral("その他") << QString();
        QTest::newRow("head data") << "LABEL1" << 2 << QStringLiteral(" DBデータパス") << QString();
        QTest::newRow("PRN") << "PRN" << -1 << QStringLiteral("画面印刷")
                             << QStringLiteral("画面をプリントアウトします。");
        QTest::newRow("message") << "Label6" << -1 << QStringLiteral("ﾒｯｾｰｼﾞ") << QString();
        QTest::newRow("MSG1") << "MSG1" << -1 << QString() << QStringLiteral("メッセージを表示する欄です。");
        QTest::newRow("store") << QStringLiteral("設定記憶") << -1 << QStringLiteral("設定記憶")
                               << QStringLiteral("設定を記憶みます。");
        QTest::newRow("YES") << "YES" << -1 << QStringLiteral("開始") << QStringLiteral("処理を開始します。");
        QTest::newRow("arrow") << QStringLiteral("下矢印") << -1 << QStringLiteral("▼") << QString();
    }
    void designedTexts()
    {
        QFETCH(QString, name);
        QFETCH(int, index);
        QFETCH(QString, text);
        QFETCH(QString, tip);
        test::TestPlatform tp;
        MainWindow w(tp.platform);
        Control c = controlAt(w, name, index);
        QCOMPARE(c.text(), text);
        QCOMPARE(c.toolTip(), tip);
    }

    void designedColours_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("index");
        QTest::addColumn<uint>("back");
        QTest::addColumn<uint>("fore");
        QTest::newRow("text box") << "Path2" << 4 << uint(rgb(224, 224, 224)) << uint(kWindowText);
        QTest::newRow("number") << QStringLiteral("設定番号") << -1 << uint(rgb(224, 224, 224)) << uint(kWindowText);
        QTest::newRow("option") << "DNO" << 2 << uint(rgb(224, 224, 224)) << uint(kButtonText);
        QTest::newRow("frame") << "Frame1" << -1 << uint(rgb(192, 192, 192)) << uint(kWindowText);
        QTest::newRow("panel") << "LABEL1" << 6 << uint(rgb(192, 192, 192)) << uint(kButtonText);
        QTest::newRow("caption") << "LABEL1" << 1 << uint(rgb(255, 255, 192)) << uint(kButtonText);
        QTest::newRow("os") << "LblOS" << -1 << uint(rgb(255, 255, 192)) << uint(kButtonText);
        QTest::newRow("teal") << "Label6" << -1 << uint(rgb(0, 128, 128)) << uint(rgb(255, 255, 192));
        QTest::newRow("MSG1") << "MSG1" << -1 << uint(kButtonFace) << uint(kWindowText);
        QTest::newRow("button") << "YES" << -1 << uint(kButtonFace) << uint(kButtonText);
    }
    void designedColours()
    {
        QFETCH(QString, name);
        QFETCH(int, index);
        QFETCH(uint, back);
        QFETCH(uint, fore);
        test::TestPlatform tp;
        MainWindow w(tp.platform);
        Control c = controlAt(w, name, index);
        QCOMPARE(uint(c.backColor()), back);
        QCOMPARE(uint(c.foreColor()), fore);
    }

    void focusPolicies()
    {
        test::TestPlatform tp;
        MainWindow w(tp.platform);
        for (int i = 0; i < w.controlCount(); ++i) {
            Control c = w.control(i);
            if (!c.widget())
                continue;
            const Qt::FocusPolicy p = c.widget()->focusPolicy();
            if (c.kind() == ControlKind::Label || c.kind() == ControlKind::Frame)
                QVERIFY2(p == Qt::NoFocus, qPrintable(c.name()));
            else if (c.name() == QStringLiteral("下矢印") || c.name() == "PRN")
                QVERIFY2(!(p & Qt::TabFocus) && (p & Qt::ClickFocus), qPrintable(c.name()));
            else
                QVERIFY2(p & Qt::TabFocus, qPrintable(c.name()));
        }
    }

    void asCreated()
    {
        test::TestPlatform tp;
        MainWindow w(tp.platform);
        QCOMPARE(w.formName(), QStringLiteral("ZorvatDBバックアップ"));
        QCOMPARE(w.caption(), QStringLiteral("SCR520"));
        QCOMPARE(w.control(QStringLiteral("設定番号")).text(), QStringLiteral("1"));
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(w.control("DNO", i).value(), i == 0);
            QCOMPARE(w.control("PATH", i).text(), QStringLiteral("C:\\ZorvatDBバックアップ\\DB1"));
            QCOMPARE(w.control("path2", i).text(), QStringLiteral("C:\\ZorvatDBバックアップ\\DB1"));
            QVERIFY(!w.control("Path", i).locked());
        }
        QCOMPARE(w.control("SysInfo1").typeName(), QStringLiteral("SysInfo"));
        // Options sit in the frame and form one group there.
        QCOMPARE(w.control("DNO", 5).widget()->parentWidget(), w.control("Frame1").widget());
    }

    void designFontsResolveToSubstitutes()
    {
        test::TestPlatform tp;
        MainWindow w(tp.platform);
        QCOMPARE(QFontInfo(w.control("MSG1").widget()->font()).family(), QStringLiteral("IPAPGothic"));
        QCOMPARE(QFontInfo(w.control("lbltitle1", 0).widget()->font()).family(), QStringLiteral("IPAPMincho"));
        const QFont body = w.control("YES").widget()->font();
        QCOMPARE(QFontInfo(body).family(), QStringLiteral("IPAMincho"));
        QCOMPARE(body.pointSizeF(), 12.0);
        QVERIFY(w.control(QStringLiteral("設定番号")).widget()->font().bold());
    }
};

ZDB_TEST(LayoutTest);
#include "tst_layout.moc"

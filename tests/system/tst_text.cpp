#include "TestRegistry.h"
#include "Text.h"

#include <QTest>

using namespace zdb;

class TextTest : public QObject {
    Q_OBJECT
private slots:
    void trim_data()
    {
        QTest::addColumn<QString>("in");
        QTest::addColumn<QString>("out");
        QTest::newRow("plain") << "abc"
                               << "abc";
        QTest::newRow("both ends") << " MSSQLServer  "
                                   << "MSSQLServer";
        QTest::newRow("inner kept") << "  a b  "
                                    << "a b";
        QTest::newRow("only blanks") << "   "
                                     << "";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("ideographic space is text") << QStringLiteral("　1　") << QStringLiteral("　1　");
        QTest::newRow("tab is text") << "\t1 "
                                     << "\t1";
    }
    void trim()
    {
        QFETCH(QString, in);
        QFETCH(QString, out);
        QCOMPARE(trimSpaces(in), out);
    }

    void like_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<bool>("match");
        const QString p = QStringLiteral("*Windows 2000*");
        QTest::newRow("family") << "Windows 2000 & Xp" << p << true;
        QTest::newRow("exact") << "Windows 2000" << p << true;
        QTest::newRow("inside") << "xxWindows 2000yy" << p << true;
        QTest::newRow("Me") << "Windows Me" << p << false;
        QTest::newRow("Win32S") << "Win32S" << p << false;
        QTest::newRow("empty") << "" << p << false;
        QTest::newRow("case matters") << "windows 2000" << p << false;
        QTest::newRow("star alone") << ""
                                    << "*" << true;
        QTest::newRow("backtrack") << "aXbXc"
                                   << "a*b*c" << true;
        QTest::newRow("suffix") << "ZorvatDB入力" << QStringLiteral("*入力") << true;
        QTest::newRow("no suffix") << "入力画面" << QStringLiteral("*入力") << false;
    }
    void like()
    {
        QFETCH(QString, text);
        QFETCH(QString, pattern);
        QFETCH(bool, match);
        QCOMPARE(likeMatch(text, pattern), match);
    }
};

ZDB_TEST(TextTest);
#include "tst_text.moc"

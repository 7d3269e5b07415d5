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

    // A name read from a folder or a link comes back to its very bytes, text
    // or not, and one that is text reads as that text.
    void pathBytes_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("text") << QByteArray("/srv/売上/D.MDF");
        QTest::newRow("no text") << QByteArray("/tmp/\xff\xfe/D.MDF");
        QTest::newRow("cut character") << QByteArray("/a/\xe5\xa3");
        QTest::newRow("overlong slash") << QByteArray("/a\xc0\xaf..");
        QTest::newRow("encoded surrogate") << QByteArray("/a/\xed\xb3\xbf"); // not "\xff"
        QTest::newRow("past U+10FFFF") << QByteArray("/a/\xf4\x90\x80\x80");
    }
    void pathBytes()
    {
        QFETCH(QByteArray, bytes);
        QCOMPARE(zdb::pathBytes(pathText(bytes)), bytes);
        QCOMPARE(pathText(bytes) == QString::fromUtf8(bytes), QTest::currentDataTag() == QByteArray("text"));
    }
};

ZDB_TEST(TextTest);
#include "tst_text.moc"

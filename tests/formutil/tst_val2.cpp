#include "TestRegistry.h"
#include "Val2.h"

#include <QLocale>
#include <QTest>
#include <limits>

using namespace zdb;

class Val2Test : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void readsWhatWasTyped_data()
    {
        QTest::addColumn<QVariant>("input");
        QTest::addColumn<double>("expected");
        const double max = std::numeric_limits<double>::max();

        QTest::newRow("null") << QVariant() << 0.0;
        QTest::newRow("empty") << QVariant(QString()) << 0.0;
        QTest::newRow("blanks only") << QVariant("   ") << 0.0;
        QTest::newRow("grouped") << QVariant("1,234") << 1234.0;
        QTest::newRow("commas anywhere") << QVariant("1,2,3") << 123.0;
        QTest::newRow("grouped fraction") << QVariant("1,234.5") << 1234.5;
        QTest::newRow("surrounding blanks") << QVariant("  12.50  ") << 12.5;
        QTest::newRow("negative") << QVariant("-7") << -7.0;
        QTest::newRow("zero") << QVariant("0") << 0.0;
        QTest::newRow("zero point zero") << QVariant("0.0") << 0.0;
        QTest::newRow("no integer digits") << QVariant(".5") << 0.5;
        QTest::newRow("exponent") << QVariant("1e3") << 1000.0;
        QTest::newRow("letters") << QVariant("abc") << 0.0;
        QTest::newRow("leading number") << QVariant("12abc") << 12.0;
        QTest::newRow("number 9") << QVariant(9) << 9.0;
        QTest::newRow("number fraction") << QVariant(-1234.25) << -1234.25;
        QTest::newRow("number 1e-18") << QVariant(1e-18) << 0.0;
        QTest::newRow("text 1e-18") << QVariant("0.000000000000000001") << 0.0;
        QTest::newRow("17th place kept") << QVariant("0.00000000000000001") << 1e-17;
        QTest::newRow("17th place rounded up") << QVariant("0.000000000000000006") << 1e-17;
        QTest::newRow("hexadecimal") << QVariant("&H1F") << 31.0;
        QTest::newRow("hexadecimal lower") << QVariant("&h1f") << 31.0;
        QTest::newRow("hexadecimal stops") << QVariant("&HFFz9") << 255.0;
        QTest::newRow("octal") << QVariant("&O17") << 15.0;
        QTest::newRow("octal stops at 8") << QVariant("&O78") << 7.0;
        QTest::newRow("ampersand alone") << QVariant("&17") << 0.0;
        QTest::newRow("D exponent") << QVariant("1D3") << 1000.0;
        QTest::newRow("negative D exponent") << QVariant("25d-2") << 0.25;
        QTest::newRow("exponent without digits") << QVariant("2E") << 2.0;
        QTest::newRow("exponent sign only") << QVariant("3e+x") << 3.0;
        QTest::newRow("blanks inside") << QVariant("1 2 3") << 123.0;
        QTest::newRow("tab and line feed") << QVariant("\t-\n4 5") << -45.0;
        QTest::newRow("second point") << QVariant("1.2.3") << 1.2;
        QTest::newRow("two signs") << QVariant("--5") << 0.0;
        QTest::newRow("plus") << QVariant("+5") << 5.0;
        QTest::newRow("overflow") << QVariant("1e999") << max;
        QTest::newRow("negative overflow") << QVariant("-1e999") << -max;
        QTest::newRow("long digit run") << QVariant(QString(400, u'9')) << max;
        QTest::newRow("underflow") << QVariant("1e-999") << 0.0;
        QTest::newRow("huge exponent") << QVariant("1e99999999999999999999") << max;
        QTest::newRow("infinite number") << QVariant(std::numeric_limits<double>::infinity()) << 0.0;
        QTest::newRow("not a number") << QVariant(std::numeric_limits<double>::quiet_NaN()) << 0.0;
        QTest::newRow("boolean") << QVariant(true) << 0.0;
        // What an input method types.
        QTest::newRow("full-width digits") << QVariant(QStringLiteral("１２３")) << 123.0;
        QTest::newRow("full-width sign and point") << QVariant(QStringLiteral("－４５．５")) << -45.5;
        QTest::newRow("full-width plus") << QVariant(QStringLiteral("＋７")) << 7.0;
        QTest::newRow("full-width yen") << QVariant(QStringLiteral("￥1,000")) << 1000.0;
        QTest::newRow("yen") << QVariant(QStringLiteral("¥500")) << 500.0;
        QTest::newRow("dollar") << QVariant("$12.5") << 12.5;
        QTest::newRow("sign before currency") << QVariant("-$3") << -3.0;
        QTest::newRow("trailing minus") << QVariant("12-") << -12.0;
        QTest::newRow("parentheses") << QVariant("(12)") << -12.0;
        QTest::newRow("full-width parentheses") << QVariant(QStringLiteral("（￥８）")) << -8.0;
        QTest::newRow("parentheses and sign") << QVariant("(-12)") << 0.0;
        QTest::newRow("currency alone") << QVariant("$") << 0.0;
        QTest::newRow("infinity word") << QVariant("inf") << 0.0;
        // The ideographic space is text, as in every trimming of the program.
        QTest::newRow("ideographic space") << QVariant(QStringLiteral("　12")) << 0.0;
    }

    void readsWhatWasTyped()
    {
        QFETCH(QVariant, input);
        QFETCH(double, expected);
        const double v = Val2(input);
        QCOMPARE(v, expected);
        QVERIFY(!std::signbit(v) || v != 0); // never a negative zero
    }

    void plainNotation_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("expected");
        QTest::newRow("12") << 12.0 << "12.";
        QTest::newRow("0.50") << 0.5 << ".5";
        QTest::newRow("0") << 0.0 << ".";
        QTest::newRow("-3") << -3.0 << "-3.";
        QTest::newRow("1e3") << 1e3 << "1000.";
        QTest::newRow("tiny negative") << -1e-18 << ".";
        QTest::newRow("exact fraction") << 0.125 << ".125";
        QTest::newRow("17 digits") << 1.0 / 3.0 << ".33333333333333331";
        QTest::newRow("rounded at 17") << 2.0 / 3.0 << ".66666666666666663";
    }

    void plainNotation()
    {
        QFETCH(double, value);
        QFETCH(QString, expected);
        QCOMPARE(zdb::plainNotation(value), expected);
    }

    void followsTheLocale_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("input");
        QTest::addColumn<double>("expected");
        QTest::newRow("ja yen") << "ja_JP" << QStringLiteral("￥12") << 12.0;
        QTest::newRow("gb pound") << "en_GB" << QStringLiteral("£12") << 12.0;
        QTest::newRow("gb pound unknown in C") << "C" << QStringLiteral("£12") << 0.0;
        QTest::newRow("de euro after") << "de_DE" << QStringLiteral("12 €") << 12.0;
        QTest::newRow("de grouping") << "de_DE" << QStringLiteral("1.234.567") << 1234567.0;
        QTest::newRow("de grouping unknown in C") << "C" << QStringLiteral("1.234.567") << 1.234;
    }

    void followsTheLocale()
    {
        QFETCH(QString, locale);
        QFETCH(QString, input);
        QFETCH(double, expected);
        QLocale::setDefault(QLocale(locale));
        QCOMPARE(Val2(input), expected);
    }
};

ZDB_TEST(Val2Test);
#include "tst_val2.moc"

#include "SettingsBackend.h"
#include "TestRegistry.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace zdb;

class SettingsBackendTest : public QObject {
    Q_OBJECT
private slots:
    void sectionsRoundTrip_data()
    {
        QTest::addColumn<QString>("section");
        const QString base = QStringLiteral("ZorvatDBバックアップ");
        QTest::newRow("number") << base + "1";
        QTest::newRow("bare") << base;
        QTest::newRow("inner blanks") << base + "a b  c";
        QTest::newRow("slash") << base + "1/2";
        QTest::newRow("backslash") << base + "C:\\x";
        QTest::newRow("equals") << base + "a=b";
        QTest::newRow("semicolon") << base + "a;b";
        QTest::newRow("bracket") << base + "[x]";
        QTest::newRow("percent") << base + "%2F";
        QTest::newRow("japanese") << base + QStringLiteral("経理用");
        QTest::newRow("very long") << base + QString(5000, u'長');
        QTest::newRow("empty") << QString();
    }
    void sectionsRoundTrip()
    {
        QFETCH(QString, section);
        QTemporaryDir dir;
        const QString path = dir.filePath("QXN.ini");
        const QString value = QStringLiteral(" C:\\バックアップ\\月 = ;[x] ");
        {
            QtSettingsBackend store(path);
            store.write("QXN", section, QStringLiteral("DBデータパス10"), value);
            // A neighbour whose name differs only by the escaped character.
            store.write("QXN", section + "x", QStringLiteral("DBデータパス10"), "other");
            QVERIFY(store.flush());
        }
        QtSettingsBackend again(path);
        QCOMPARE(again.read("QXN", section, QStringLiteral("DBデータパス10"), "def"), value);
        QCOMPARE(again.read("QXN", section, QStringLiteral("DBデータパス11"), "def"), QStringLiteral("def"));
        QCOMPARE(again.read("QXN", section + "x", QStringLiteral("DBデータパス10"), "def"), QStringLiteral("other"));
    }

    void slashDoesNotOpenAnotherSection()
    {
        QTemporaryDir dir;
        QtSettingsBackend store(dir.filePath("QXN.ini"));
        store.write("QXN", "a/b", "k", "1");
        QCOMPARE(store.read("QXN", "a", "b/k", "none"), QStringLiteral("none"));
        store.write("QXN", "a\\b", "k", "2");
        QCOMPARE(store.read("QXN", "a/b", "k", "none"), QStringLiteral("1"));
    }

    void emptyValueIsStored()
    {
        QTemporaryDir dir;
        QtSettingsBackend store(dir.filePath("QXN.ini"));
        store.write("QXN", "s", "k", "");
        QVERIFY(store.flush());
        QtSettingsBackend again(dir.filePath("QXN.ini"));
        QCOMPARE(again.read("QXN", "s", "k", "def"), QString());
    }

    void unwritableStoreIsReported()
    {
        QTemporaryDir dir;
        // A file where the folder should be: no user, root included, can write there.
        QFile blocker(dir.filePath("notafolder"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QtSettingsBackend store(dir.filePath("notafolder/QXN.ini"));
        store.write("QXN", "s", "k", "v");
        QVERIFY(!store.flush());
        QVERIFY(store.location().endsWith("notafolder/QXN.ini"));
    }

    void defaultLocationIsPerUser() { QVERIFY(QtSettingsBackend::defaultIniPath().endsWith("/QXN/QXN.ini")); }
};

ZDB_TEST(SettingsBackendTest);
#include "tst_settingsbackend.moc"

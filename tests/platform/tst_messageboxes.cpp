#include "MessageBoxes.h"
#include "TestRegistry.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace zdb;

namespace {

struct Seen {
    QString title;
    QString text;
    QStringList buttons;
    QString defaultButton;
};

// Reads the box the next exec() shows and presses the button with the given caption.
void pressWhenShown(Seen *seen, const QString &press)
{
    QTimer::singleShot(0, [=] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        seen->title = box->windowTitle();
        seen->text = box->text();
        for (QAbstractButton *b : box->buttons())
            seen->buttons << b->text();
        seen->buttons.sort();
        if (box->defaultButton())
            seen->defaultButton = box->defaultButton()->text();
        for (QAbstractButton *b : box->buttons())
            if (b->text() == press)
                b->click();
    });
}

} // namespace

class MessageBoxesTest : public QObject {
    Q_OBJECT
private slots:
    void desktopBoxes_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("press");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QStringList>("buttons");
        const QString yes = QStringLiteral("はい"), no = QStringLiteral("いいえ");
        QTest::newRow("ok") << 0 << "OK" << 1 << QStringList{"OK"};
        QTest::newRow("yes/no yes") << 4 << yes << 6 << QStringList{no, yes};
        QTest::newRow("yes/no no") << 4 << no << 7 << QStringList{no, yes};
        QTest::newRow("question yes") << 36 << yes << 6 << QStringList{no, yes};
    }
    void desktopBoxes()
    {
        QFETCH(int, code);
        QFETCH(QString, press);
        QFETCH(int, answer);
        QFETCH(QStringList, buttons);
        DesktopMessageBoxes boxes;
        Seen seen;
        pressWhenShown(&seen, press);
        QCOMPARE(boxes.show(QStringLiteral("一行目\r二行目\r"), code), answer);
        QCOMPARE(seen.title, QStringLiteral("Zorvat総合販売管理システム"));
        QCOMPARE(seen.text, QStringLiteral("一行目\n二行目\n"));
        QCOMPARE(seen.buttons, buttons);
        QCOMPARE(seen.defaultButton, buttons.size() == 2 ? QStringLiteral("はい") : QStringLiteral("OK"));
    }

    void givenTitleIsShown()
    {
        DesktopMessageBoxes boxes;
        Seen seen;
        pressWhenShown(&seen, "OK");
        boxes.show(QStringLiteral("対象外のOSです。"), 0, QStringLiteral("ZorvatDBバックアップ"));
        QCOMPARE(seen.title, QStringLiteral("ZorvatDBバックアップ"));
    }
};

ZDB_TEST(MessageBoxesTest);
#include "tst_messageboxes.moc"

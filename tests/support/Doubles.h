#pragma once

#include "Clock.h"
#include "EventPump.h"
#include "MessageBoxes.h"
#include "Printer.h"
#include "SettingsBackend.h"
#include "SystemInfo.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QTemporaryDir>
#include <optional>

namespace zdb::test {

// Records every box and answers from a script; with the script used up it
// answers OK to an OK box and Yes to a question.
class ScriptedMessageBoxes : public MessageBoxes {
public:
    struct Shown {
        QString prompt;
        int code;
        std::optional<QString> title;
    };
    int show(const QString &prompt, int code, const std::optional<QString> &title = std::nullopt) override;

    QList<int> answers;
    QList<Shown> shown;
    QStringList prompts() const;
};

// A store in memory, which can be told to fail its flush.
class MemorySettings : public SettingsBackend {
public:
    QString read(const QString &app, const QString &section, const QString &key, const QString &def) override;
    void write(const QString &app, const QString &section, const QString &key, const QString &value) override;
    bool flush() override { return !failFlush; }
    QString location() const override { return QStringLiteral("/memory/QXN.ini"); }

    QMap<QString, QString> values;   // "app|section|key"
    int reads = 0;
    int writes = 0;
    bool failFlush = false;
    static QString keyOf(const QString &app, const QString &section, const QString &key);
};

class FixedClock : public Clock {
public:
    QDateTime now() const override { return current; }
    QDateTime current = QDateTime(QDate(2026, 12, 7), QTime(9, 0));
};

class FixedSystemInfo : public SystemInfo {
public:
    int osPlatform() const override { return platform; }
    QString productName() const override { return product; }
    int platform = 2;
    QString product = QStringLiteral("ZorvatDBバックアップ");
};

// Counts the calls and handles pending events like the real pump.
class CountingEventPump : public EventPump {
public:
    void doEvents() override;
    void waitEvents(int maxMs) override;
    int doEventsCalls = 0;
    int waitCalls = 0;
};

// Puts each page into a PDF file in a temporary folder, as the real printer
// would put it on paper; can be told there is no printer or that it refuses.
class PdfTestPrinter : public Printer {
public:
    PdfTestPrinter();
    int orientation() const override { return pdf_.orientation(); }
    void setOrientation(int value) override;
    void printPicture(const QImage &picture) override;
    QString pdfPath() const { return pdf_.filePath(); }

    bool noPrinter = false;     // both the setting and the print fail
    bool refuseJob = false;     // the print alone fails
    int jobs = 0;               // pictures that reached the page
    QImage lastPicture;

private:
    QTemporaryDir dir_;
    PdfPrinter pdf_;
};

} // namespace zdb::test

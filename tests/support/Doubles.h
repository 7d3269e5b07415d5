#pragma once

#include "EventPump.h"
#include "MessageBoxes.h"
#include "Printer.h"
#include "SystemDoubles.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QTemporaryDir>
#include <functional>
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

// Counts the calls and handles pending events like the real pump.
class CountingEventPump : public EventPump {
public:
    void doEvents() override;
    void waitEvents(int maxMs) override;
    void paintEvents() override;
    int doEventsCalls = 0;
    int waitCalls = 0;
    int paintCalls = 0;
    // Called on each repaint, before the repaint happens.
    std::function<void()> onPaint;
    // Called on each pass, before pending events are handled.
    std::function<void()> onDoEvents;
    std::function<void(int maxMs)> onWait;
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

    bool noPrinter = false; // both the setting and the print fail
    bool refuseJob = false; // the print alone fails
    int jobs = 0; // pictures that reached the page
    QImage lastPicture;

private:
    QTemporaryDir dir_;
    PdfPrinter pdf_;
};

} // namespace zdb::test

#pragma once

#include "Form.h"

namespace zdb {

// The program's one window: its layout, start-up and event handlers.
class MainWindow : public Form {
public:
    explicit MainWindow(Platform &platform, QWidget *parent = nullptr);
    ~MainWindow() override;

    // The service name handed to the last run, which stops and starts it.
    QString serviceName;
    // A backup run is under way: no second run, and the window stays open.
    bool runUnderWay = false;
    // The run has said its last word (the service runs again, or never
    // stopped); only its process is still ending.
    bool runFinished = false;
    // Closed while it ended: the window closes once it has.
    bool closeWhenRunEnds = false;

protected:
    void onLoad() override;
    void keyDown(qint16 keyCode, int shift) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void connectHandlers();
    bool shownOnce_ = false;
};

} // namespace zdb

#pragma once

#include "Form.h"

namespace zdb {

// The program's one window: its layout, start-up and event handlers.
class MainWindow : public Form {
public:
    explicit MainWindow(Platform &platform, QWidget *parent = nullptr);
    ~MainWindow() override;

    // The service name captured by the last stop, used by the restart.
    QString serviceName;

protected:
    void onLoad() override;
    void keyDown(qint16 keyCode, int shift) override;
    void showEvent(QShowEvent *event) override;

private:
    void connectHandlers();
    bool shownOnce_ = false;
};

} // namespace zdb

#pragma once

#include "Clock.h"
#include "FileOps.h"
#include "ServiceManager.h"
#include "SettingsBackend.h"
#include "SystemInfo.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <functional>

namespace zdb::test {

// A store in memory, which can be told to fail its flush.
class MemorySettings : public SettingsBackend {
public:
    QString read(const QString &app, const QString &section, const QString &key, const QString &def) override;
    void write(const QString &app, const QString &section, const QString &key, const QString &value) override;
    bool flush() override { return !failFlush; }
    QString location() const override { return QStringLiteral("/memory/QXN.ini"); }
    SettingsFault fault() override { return faultState; }

    QMap<QString, QString> values; // "app|section|key"
    int reads = 0;
    int writes = 0;
    bool failFlush = false;
    SettingsFault faultState = SettingsFault::None;
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

// Records what the service manager is asked ("stop NAME", "start NAME",
// "state NAME") and answers as scripted.
class RecordingServiceManager : public ServiceManager {
public:
    ServiceResult stop(const QString &unit) override;
    ServiceResult start(const QString &unit) override;
    ServiceState state(const QString &unit) override;

    QStringList calls;
    // The exit statuses of stops and starts in turn (0 once used up);
    // kTimedOut for one that does not end, -1 for one killed.
    QList<int> exitCodes;
    static constexpr int kTimedOut = -2;
    // Calls whose program cannot be run.
    QStringList failToStart;
    QStringList failToStartOnce; // the same, each entry once
    // The answers to state (Running once used up).
    QList<ServiceState> states;
    // Called while a call runs, as if the world moved meanwhile.
    std::function<void(const QString &call)> whileRunning;

private:
    ServiceResult change(const QString &call);
};

// The host's files with faults injected by operation and path: the named
// operation on a path ending in pathSuffix ("" any path) fails with the
// catalogue number instead of running. Operations: exists, mkdir, same,
// precopy, stage (the copy while the service is down), verify, swap, swapBack,
// aside, moveBack. The operation "corrupt"
// (number unused) lets the staging succeed and then changes one byte of the
// staged copy, as a faulty disk or cable would.
class FaultyFileOps : public HostFileOps {
public:
    explicit FaultyFileOps(SystemCalls calls = SystemCalls::host())
        : HostFileOps(CopyMethod::OffloadThenHash, std::move(calls))
    {
    }
    struct Fault {
        QString operation;
        QString pathSuffix;
        int number;
    };
    QList<Fault> faults;
    QStringList calls; // "operation path"
    // The room reported for a target path; the host's when not set.
    std::function<FreeSpace(const QString &path)> space;

    bool fileExists(const QString &path) override;
    bool makeSureDirectoryPathExists(const QString &folderPath) override;
    bool sameFile(const QString &a, const QString &b) override;
    FreeSpace freeSpace(const QString &path) override;
    StagedCopy stageCopy(const QString &from, const QString &target, const Progress &progress) override;
    PreCopy preCopy(const QString &from, const QString &target, const Progress &progress) override;
    StagedCopy finishCopy(const QString &from, const QString &target, const PreCopy &pre,
                          const Progress &progress) override;
    ChangedBlocks captureChanges(const QString &from, const PreCopy &pre, const Progress &progress) override;
    StagedCopy applyChanges(const PreCopy &pre, const ChangedBlocks &changes, const Progress &progress) override;
    bool verifyCopy(const StagedCopy &copy, const Progress &progress) override;
    QString swapIntoPlace(const QString &staged, const QString &target) override;
    void swapBack(const QString &staged, const QString &previous, const QString &target) override;
    QString moveAside(const QString &target) override;
    void moveBack(const QString &aside, const QString &target) override;
    void removeLeftovers(const QString &target) noexcept override;

private:
    void enter(const QString &operation, const QString &path);
    StagedCopy corrupted(const StagedCopy &copy, const QString &target);
};

} // namespace zdb::test

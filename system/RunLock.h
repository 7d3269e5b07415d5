#pragma once

#include <QString>

namespace zdb {

// Keeps two programs from running backups at the same time.
class RunLock {
public:
    virtual ~RunLock() = default;
    // False when another holder has it. Throws PlatformError when the lock
    // itself cannot be reached.
    virtual bool tryAcquire(const QString &serviceName) = 0;
    virtual void release() = 0;
};

// A lock on a file shared by every user of the machine, since the database
// service is the machine's (RunLock_unix.cpp). The system lets it go with
// the process, so a crashed program never blocks the next run.
class HostRunLock : public RunLock {
public:
    explicit HostRunLock(QString path = defaultPath());
    HostRunLock(const HostRunLock &) = delete;
    HostRunLock &operator=(const HostRunLock &) = delete;
    ~HostRunLock() override;
    bool tryAcquire(const QString &serviceName) override;
    void release() override;
    static QString defaultPath();

private:
    QString path_;
    int fd_ = -1;
};

} // namespace zdb

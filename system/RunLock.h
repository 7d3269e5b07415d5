#pragma once

#include <QByteArray>
#include <QString>

namespace zdb {

// Keeps two runs on the same database service from overlapping.
class RunLock {
public:
    virtual ~RunLock() = default;
    // False when another holder has the lock of this service. Throws
    // PlatformError when the lock itself cannot be reached.
    virtual bool tryAcquire(const QString &serviceName) = 0;
    virtual void release() = 0;
};

// One run per unit on the machine (RunLock_unix.cpp): flock on a file of
// the unit's in a folder only its owner may write. Root's folder is
// /run/zorvatdbbackup, machine-wide, with files no other user can open, so no
// other user can take or block it. Another user locks in a folder of that
// user's own ($XDG_RUNTIME_DIR/zorvatdbbackup), and finds root's lock held
// through the kernel's list of locks; a lock that user could take against
// root's runs would be one anyone could. The kernel frees a lock with the
// process that held it. On Windows (RunLock_win.cpp) the lock is a named
// mutex in the global namespace that only the administrators and the system
// may open; the machine frees it with its holder too.
class HostRunLock : public RunLock {
public:
    HostRunLock();
    // Tests lock in a folder of their own, so that test runs side by side
    // on one machine never meet.
    explicit HostRunLock(const QString &folder);
    ~HostRunLock() override;
    HostRunLock(const HostRunLock &) = delete;
    HostRunLock &operator=(const HostRunLock &) = delete;

    bool tryAcquire(const QString &serviceName) override;
    void release() override;

    // The folder of the machine's locks for this user.
    static QString machineFolder();

private:
    QString folder_;
    bool besideRoot_ = false; // a machine lock of a user other than root
    QString held_; // the unit while held
    int fd_ = -1; // the lock file; on Windows 1 while the lock object is held
    void *handle_ = nullptr; // Windows: the lock object
};

} // namespace zdb

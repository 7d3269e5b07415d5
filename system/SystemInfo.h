#pragma once

#include <QString>

namespace zdb {

// Facts about the operating system and this program.
class SystemInfo {
public:
    virtual ~SystemInfo() = default;
    // Platform identifier: 0 Win32s, 1 the 95/98/Me family, 2 the NT family.
    virtual int osPlatform() const = 0;
    // The product name from the program's version information.
    virtual QString productName() const = 0;
};

class HostSystemInfo : public SystemInfo {
public:
    int osPlatform() const override;
    QString productName() const override;
};

} // namespace zdb

namespace zdb {

// The running user's home folder: $HOME, else the user database's entry for
// the effective user (a service unit without User= has no HOME).
QString userHomeFolder();
// Puts that folder into HOME when HOME is unset or empty, before anything
// reads it: the settings store and the state folder follow HOME.
void setHomeFromUserDatabase();

} // namespace zdb

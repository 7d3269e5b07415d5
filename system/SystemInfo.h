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

#include "ProductInfo.h"
#include "SystemInfo.h"

#include <windows.h>

#include <vector>

namespace zdb {

// The name in the program's own version resource, as Explorer shows it; the
// build's name where the resource cannot be read.
QString HostSystemInfo::productName() const
{
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    DWORD ignored = 0;
    const DWORD size = length > 0 && length < MAX_PATH ? ::GetFileVersionInfoSizeW(path, &ignored) : 0;
    std::vector<char> block(size);
    struct Translation {
        WORD language;
        WORD codePage;
    } *translation = nullptr;
    UINT bytes = 0;
    if (size == 0 || !::GetFileVersionInfoW(path, 0, size, block.data())
        || !::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translation),
                             &bytes)
        || bytes < sizeof(Translation))
        return QString::fromUtf8(kProductName);
    const QString key = QStringLiteral("\\StringFileInfo\\%1%2\\ProductName")
                            .arg(translation->language, 4, 16, QLatin1Char('0'))
                            .arg(translation->codePage, 4, 16, QLatin1Char('0'));
    wchar_t *name = nullptr;
    if (!::VerQueryValueW(block.data(), reinterpret_cast<const wchar_t *>(key.utf16()),
                          reinterpret_cast<void **>(&name), &bytes)
        || bytes <= 1)
        return QString::fromUtf8(kProductName);
    return QString::fromWCharArray(name, int(bytes) - 1);
}

} // namespace zdb

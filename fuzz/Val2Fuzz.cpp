// libFuzzer target: Val2 must return a finite number for any text or number.
#include "Val2.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    if (!std::isfinite(zdb::Val2(text)))
        std::abort();
    // The same bytes as UTF-16, to reach the full-width forms directly.
    const QString wide(reinterpret_cast<const QChar *>(data), qsizetype(size / 2));
    if (!std::isfinite(zdb::Val2(wide)))
        std::abort();
    if (size == sizeof(double)) {
        double d;
        std::memcpy(&d, data, sizeof d);
        if (!std::isfinite(zdb::Val2(d)))
            std::abort();
    }
    return 0;
}

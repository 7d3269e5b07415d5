#pragma once

#include "PlatformError.h"

#include <functional>

namespace zdb::test {

// The error number a call fails with, 0 when it does not fail.
inline int errorOf(const std::function<void()> &f)
{
    try {
        f();
    } catch (const PlatformError &e) {
        return e.number();
    }
    return 0;
}

} // namespace zdb::test

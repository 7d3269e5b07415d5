#pragma once

#include <unistd.h>

namespace zdb {

// Closes a descriptor when it goes out of scope.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    void reset(int f)
    {
        if (fd >= 0)
            ::close(fd);
        fd = f;
    }
};

} // namespace zdb

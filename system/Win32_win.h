#pragma once

// What the Windows files of every layer share: wide strings, handles, and
// Windows' error codes read as errno values and catalogue numbers.

#include <QString>

#include <windows.h>

#include <string>
#include <utility>

namespace zdb::win {

inline std::wstring wide(const QString &text) { return text.toStdWString(); }
inline QString fromWide(const wchar_t *text) { return QString::fromWCharArray(text); }

// The errno value that stands for a Windows error code.
int errnoFor(DWORD error);
// The catalogue number for a Windows error code; sourceSide reads a missing
// file as 53 rather than a missing path (76).
int errorNumberFor(DWORD error, bool sourceSide);

// A path as Windows' own calls take it: "\" separators, absolute, and past
// MAX_PATH in the "\\?\" form (UNC shares as "\\?\UNC\server\share").
std::wstring longPath(const QString &path);

// Closes a kernel handle when it goes out of scope.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() { reset(); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    Handle(Handle &&other) noexcept : h_(other.release()) {}
    Handle &operator=(Handle &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE release() { return std::exchange(h_, nullptr); }
    void reset(HANDLE h = nullptr)
    {
        if (valid())
            ::CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

} // namespace zdb::win

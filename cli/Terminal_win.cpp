#include "Terminal.h"

#include <windows.h>

#include <cstdio>

namespace zdb {

bool standardOutputIsTerminal()
{
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool standardInputIsTerminal()
{
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

void useUtf8Output()
{
    // The lines are UTF-8; a Japanese console shows them as such, and the
    // "\r\033[K" of progress needs its terminal sequences on.
    ::SetConsoleOutputCP(CP_UTF8);
    // Each line is out as it is written: a run ended from outside has said
    // everything up to its end.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    DWORD mode = 0;
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (::GetConsoleMode(out, &mode))
        ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

} // namespace zdb

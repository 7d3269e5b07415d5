#include "Terminal.h"

#include <unistd.h>

namespace zdb {

bool standardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

bool standardInputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

// A terminal takes the locale's encoding, UTF-8 on every system this runs on.
void useUtf8Output() {}

} // namespace zdb

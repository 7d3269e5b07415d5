#include "Terminal.h"

#include <unistd.h>

namespace zdb {

bool standardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

bool standardInputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

} // namespace zdb

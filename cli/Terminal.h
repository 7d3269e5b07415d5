#pragma once

namespace zdb {

// Whether standard output is a terminal (progress is shown only there).
bool standardOutputIsTerminal();

} // namespace zdb

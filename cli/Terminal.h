#pragma once

namespace zdb {

// Whether standard output is a terminal (progress is shown only there).
bool standardOutputIsTerminal();
// Whether standard input is one too (a question can be answered there).
bool standardInputIsTerminal();
// Makes the console show the program's UTF-8 lines as they are.
void useUtf8Output();

} // namespace zdb

#pragma once

namespace zdb {

class MainWindow;

// Click of PRN: prints the window with a hidden reference copy of it.
void PRN_Click(MainWindow &ME);

} // namespace zdb

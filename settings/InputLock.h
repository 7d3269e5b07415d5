#pragma once

namespace zdb {

class Form;

// Click of ロックと解除: locks every text box and combo box and disables the
// settings buttons at once; unlocks them after the user confirms.
void ロックと解除_Click(Form &ME);

} // namespace zdb

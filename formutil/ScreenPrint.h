#pragma once

namespace zdb {

class Form;

// Prints Me0 black on white as one landscape page on the default printer,
// then gives Me0 back the colours of Me6, a fresh, not yet loaded instance of
// the same window, which it loads hidden, reads and closes.
void hcpy1(Form &Me0, Form &Me6);

} // namespace zdb

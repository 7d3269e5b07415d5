#pragma once

namespace zdb {

class Form;

// Focus-entry handlers: each marks the control that now has the focus.
void DBサーバー名_GotFocus(Form &ME);
void DBデータパス_GotFocus(Form &ME);
void DBログパス_GotFocus(Form &ME);
void 設定番号_GotFocus(Form &ME);
void ロックと解除_GotFocus(Form &ME);
void 設定読込_GotFocus(Form &ME);
void 設定記憶_GotFocus(Form &ME);
void 下矢印_GotFocus(Form &ME);
void YES_GotFocus(Form &ME);
void END_GotFocus(Form &ME);
void PRN_GotFocus(Form &ME);
void Path_GotFocus(Form &ME, int Index);
void Path2_GotFocus(Form &ME, int Index);
void DNO_GotFocus(Form &ME, int Index);

// The start-up step after the settings load: one run of the focus mark,
// before the window is shown.
void markFocusAtStartUp(Form &ME);

// Registers the handlers above on the window's controls.
void connectFocusHandlers(Form &ME);

} // namespace zdb

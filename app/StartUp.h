#pragma once

#include <QString>
#include <QVariant>

namespace zdb {

class Form;

// The window title: product name, window name and caption, then 40 blanks.
// A caption of 40 characters or more is taken over unchanged.
QString FMM_CapSet1(Form &ME, const QVariant &unused);

// The caption of LblOS for a platform value ("" for one it does not know).
QString osFamilyText(int platformValue);

// The load handler of the main window.
void Form_Load(Form &ME);

} // namespace zdb

#pragma once

#include <QString>
#include <QVariant>

namespace zdb {

class Form;

// The settings section of the number shown in 設定番号.
QString settingsSection(const Form &ME);

// Loads the stored settings of the current settings number into the nineteen
// input fields; キー is scratch space for the key being read.
QVariant FMM_GETレジストリ1(Form &ME, QVariant &キー);
// Stores the nineteen input fields, trimmed, under the current settings number.
QVariant FMM_SETレジストリ1(Form &ME, QVariant &キー);

// One box naming the settings file when it cannot be read as settings.
void reportUnreadableSettings(Form &ME);

void 設定読込_Click(Form &ME);
void 設定記憶_Click(Form &ME);

} // namespace zdb

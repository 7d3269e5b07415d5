#include "SettingsStore.h"

#include "Form.h"
#include "MessageBoxes.h"
#include "Platform.h"
#include "SettingsBackend.h"
#include "SettingsControls.h"
#include "Text.h"

namespace zdb {

namespace {

const QString kApp = QStringLiteral("QXN");
// The stored keys of the three single fields and the control each is shown in.
struct SingleField {
    QString key;
    QString SettingsControls::*control;
};
const SingleField kSingleFields[] = {{QStringLiteral("DBサーバー名"), &SettingsControls::serviceName},
                                     {QStringLiteral("DBデータパス"), &SettingsControls::dataSource},
                                     {QStringLiteral("DBログパス"), &SettingsControls::logSource}};
const QString kDataRowKey = QStringLiteral("DBデータパス1");
const QString kLogRowKey = QStringLiteral("DBログパス1");
constexpr int kRows = 8;

// The reason a store cannot be read, as a line of a message; empty for none.
QString faultLine(SettingsFault fault)
{
    switch (fault) {
    case SettingsFault::Unreadable: return QStringLiteral("設定ファイルを読み込めません。");
    case SettingsFault::NotAFile: return QStringLiteral("設定ファイルが通常のファイルではありません。");
    case SettingsFault::None: break;
    }
    return {};
}

} // namespace

QString settingsSection(const Form &ME)
{
    return QStringLiteral("ZorvatDBバックアップ") + trimSpaces(ME.control(settingsControls().number).text());
}

QVariant FMM_GETレジストリ1(Form &ME, QVariant &キー)
{
    const SettingsControls &names = settingsControls();
    SettingsBackend &store = ME.platform().settings;
    const QString section = settingsSection(ME);
    for (const SingleField &field : kSingleFields) {
        キー = field.key;
        ME.control(names.*field.control).setText(store.read(kApp, section, field.key, QString()));
    }
    for (int i = 0; i < kRows; ++i) {
        キー = kDataRowKey + QString::number(i);
        ME.control(names.dataTargets, i).setText(store.read(kApp, section, キー.toString(), QString()));
    }
    for (int i = 0; i < kRows; ++i) {
        キー = kLogRowKey + QString::number(i);
        ME.control(names.logTargets, i).setText(store.read(kApp, section, キー.toString(), QString()));
    }
    return {};
}

QVariant FMM_SETレジストリ1(Form &ME, QVariant &キー)
{
    const SettingsControls &names = settingsControls();
    SettingsBackend &store = ME.platform().settings;
    const QString section = settingsSection(ME);
    for (const SingleField &field : kSingleFields) {
        キー = field.key;
        store.write(kApp, section, field.key, trimSpaces(ME.control(names.*field.control).text()));
    }
    // The three boxes show what was stored.
    for (const SingleField &field : kSingleFields) {
        キー = field.key;
        ME.control(names.*field.control).setText(store.read(kApp, section, field.key, QStringLiteral("0")));
    }
    for (int i = 0; i < kRows; ++i) {
        キー = kDataRowKey + QString::number(i);
        store.write(kApp, section, キー.toString(), trimSpaces(ME.control(names.dataTargets, i).text()));
    }
    for (int i = 0; i < kRows; ++i) {
        キー = kLogRowKey + QString::number(i);
        store.write(kApp, section, キー.toString(), trimSpaces(ME.control(names.logTargets, i).text()));
    }
    return {};
}

void 設定読込_Click(Form &ME)
{
    MessageBoxes &boxes = ME.platform().messageBoxes;
    if (boxes.show(QStringLiteral("設定情報を読み込みます。よろしいですか"), kMsgYesNo) != kAnswerYes)
        return;
    QVariant キー;
    FMM_GETレジストリ1(ME, キー);
    reportUnreadableSettings(ME);
}

void 設定記憶_Click(Form &ME)
{
    MessageBoxes &boxes = ME.platform().messageBoxes;
    if (boxes.show(QStringLiteral("入力情報を記憶します。よろしいですか"), kMsgYesNo) != kAnswerYes) {
        boxes.show(QStringLiteral("入力情報は記憶されませんでした。"), kMsgOk);
        return;
    }
    QVariant キー;
    FMM_SETレジストリ1(ME, キー);
    // A store that did not reach the disk must not be reported as kept.
    SettingsBackend &store = ME.platform().settings;
    if (!store.flush()) {
        // A file that cannot be read is left as it is: the reason is named.
        const QString reason = faultLine(store.fault());
        boxes.show(QStringLiteral("エラーです。設定を記憶できません。") + u'\r'
                       + (reason.isEmpty() ? reason : reason + u'\r') + store.location(),
                   kMsgOk);
        return;
    }
    boxes.show(QStringLiteral("入力情報を記憶しました。"), kMsgOk);
}

void reportUnreadableSettings(Form &ME)
{
    SettingsBackend &store = ME.platform().settings;
    const SettingsFault fault = store.fault();
    if (fault == SettingsFault::None)
        return;
    // The fields stay empty, as on a first start; the operator hears why.
    QString text = QStringLiteral("エラーです。設定ファイルを読み込めません。");
    if (fault == SettingsFault::NotAFile)
        text += QStringLiteral("通常のファイルではありません。");
    text += u'\r' + QStringLiteral("設定ファイルを確認して下さい。") + u'\r';
    ME.platform().messageBoxes.show(text + store.location(), kMsgOk);
}

} // namespace zdb

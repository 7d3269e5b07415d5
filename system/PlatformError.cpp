#include "PlatformError.h"

#include <QHash>

namespace zdb {

QString errorText(int number)
{
    static const QHash<int, QString> catalogue = {
        {3, QStringLiteral("Return に対応する GoSub がありません。")},
        {5, QStringLiteral("プロシージャの呼び出し、または引数が不正です。")},
        {6, QStringLiteral("オーバーフローしました。")},
        {7, QStringLiteral("メモリが不足しています。")},
        {9, QStringLiteral("インデックスが有効範囲にありません。")},
        {13, QStringLiteral("型が一致しません。")},
        {51, QStringLiteral("内部エラーです。")},
        {52, QStringLiteral("ファイル名または番号が不正です。")},
        {53, QStringLiteral("ファイルが見つかりません。")},
        {55, QStringLiteral("ファイルは既に開かれています。")},
        {57, QStringLiteral("デバイス I/O エラーです。")},
        {58, QStringLiteral("既に同名のファイルが存在しています。")},
        {61, QStringLiteral("ディスクの空き容量が不足しています。")},
        {67, QStringLiteral("ファイルが多すぎます。")},
        {68, QStringLiteral("デバイスが準備されていません。")},
        {70, QStringLiteral("書き込みできません。")},
        {71, QStringLiteral("ディスクが準備されていません。")},
        {74, QStringLiteral("ディスク名が異なります。")},
        {75, QStringLiteral("パス名が無効です。")},
        {76, QStringLiteral("パスが見つかりません。")},
        {91, QStringLiteral("オブジェクト変数または With ブロック変数が設定されていません。")},
        {340, QStringLiteral("コントロール配列の要素が存在しません。")},
        {429, QStringLiteral("ActiveX コンポーネントはオブジェクトを作成できません。")},
        {438, QStringLiteral("オブジェクトでサポートされていないプロパティまたはメソッドです。")},
        {482, QStringLiteral("プリンタ エラーです。")},
        {730, QStringLiteral("コントロールが見つかりません。")},
    };
    const auto it = catalogue.constFind(number);
    if (it != catalogue.constEnd())
        return *it;
    return QStringLiteral("アプリケーション定義またはオブジェクト定義のエラーです。");
}

PlatformError::PlatformError(int number) : PlatformError(number, errorText(number)) {}

PlatformError::PlatformError(int number, const QString &text)
    : std::runtime_error(text.toStdString()), number_(number), text_(text)
{
}

} // namespace zdb

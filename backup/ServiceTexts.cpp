#include "ServiceTexts.h"

#include "ServiceManager.h"

#include <QStringList>

namespace zdb {

QString runLockBusyText()
{
    return QStringLiteral("エラーです。他のバックアップ処理が実行中です。") + u'\r'
        + QStringLiteral("しばらく待ってから、もう一度実行して下さい。");
}

QString stopFailureText()
{
    return QStringList{
        QStringLiteral("エラーです。ＤＢサービスを、停止できません。"),
        QStringLiteral("ＤＢサービス名が正しいか、確認して下さい。"),
        QString(),
        QStringLiteral("DBサービス名は、ｺﾝﾄﾛｰﾙﾊﾟﾈﾙの管理ﾂｰﾙのｻｰﾋﾞｽで、表示される名前です"),
        QString(),
        QStringLiteral("通常DBサービス名は、MSDE2000       の場合は、MSSQL$ｲﾝｽﾀﾝｽ名      "),
        QStringLiteral("                    MSSQL2000SERVERの場合は、MSSQLServer    です"),
    }
        .join(u'\r');
}

QString startFailureText()
{
    return QStringLiteral("エラーです。ＤＢサービスを、開始できません。") + u'\r'
        + QStringLiteral("ＤＢサービスの状態を、確認して下さい。");
}

QString stopTimedOutText()
{
    return QStringLiteral("エラーです。ＤＢサービスの停止が、終わりません。") + u'\r'
        + QStringLiteral("ＤＢサービスの状態を、確認して下さい。");
}

QString stopUnfinishedText()
{
    return QStringLiteral("エラーです。ＤＢサービスの停止が、正常に終わりませんでした。") + u'\r'
        + QStringLiteral("ＤＢサービスの状態を、確認して下さい。");
}

QString startTimedOutText()
{
    return QStringLiteral("エラーです。ＤＢサービスの開始が、終わりません。") + u'\r'
        + QStringLiteral("ＤＢサービスの状態を、確認して下さい。");
}

QString badServiceNameText()
{
    return QStringLiteral("エラーです。ＤＢサービス名が正しくありません。") + u'\r'
        + QStringLiteral("ＤＢサービス名を確認して下さい。");
}

QString runErrorReport(int number, const QString &text)
{
    const QString first =
        QStringLiteral("エラーです") + (number < 0 ? u'-' : u' ') + QString::number(qAbs(qint64(number)));
    // A text that names a file after a line break keeps the name whole on
    // the last line.
    if (const qsizetype cut = text.indexOf(u'\r'); cut >= 0 && cut <= 50)
        return first + u'\r' + text.left(cut) + u'\r' + text.mid(cut + 1);
    const QString second = text.size() > 50 ? text.left(50) : text;
    const QString third = text.size() > 50 ? text.mid(50, 50) : QString();
    return first + u'\r' + second + u'\r' + third;
}

bool serviceNameIsValid(const QString &name)
{
    if (name.startsWith(u'-'))
        return false;
    for (const QChar c : name)
        if ((c.isSpace() && !(c == u' ' && serviceNamesHoldBlanks())) || QStringLiteral("*?[]").contains(c)
            || c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            return false;
    return true;
}

} // namespace zdb

#include "FocusHandlers.h"

#include "FocusMark.h"
#include "Form.h"

namespace zdb {

namespace {
const QString kGotFocus = QStringLiteral("GotFocus");
}

void DBサーバー名_GotFocus(Form &ME) { フォーカス色付1(ME, kGotFocus, 0); }
void DBデータパス_GotFocus(Form &ME) { フォーカス色付1(ME, kGotFocus, 0); }
void DBログパス_GotFocus(Form &ME) { フォーカス色付1(ME, kGotFocus, 0); }
void 設定番号_GotFocus(Form &ME) { フォーカス色付1(ME, kGotFocus, 0); }
void ロックと解除_GotFocus(Form &ME) { フォーカス色付1(ME, kGotFocus, 0); }
void 設定読込_GotFocus(Form &ME) { フォーカス色付1(ME, kGotFocus, 0); }
void 設定記憶_GotFocus(Form &ME) { フォーカス色付1(ME, kGotFocus, 0); }
void 下矢印_GotFocus(Form &ME) { フォーカス色付1(ME, kGotFocus, 0); }
void YES_GotFocus(Form &ME) { フォーカス色付1(ME, kGotFocus, 0); }
void END_GotFocus(Form &ME) { フォーカス色付1(ME, kGotFocus, 0); }
void PRN_GotFocus(Form &ME) { フォーカス色付1(ME, kGotFocus, 0); }
void Path_GotFocus(Form &ME, int) { フォーカス色付1(ME, kGotFocus, 0); }
void Path2_GotFocus(Form &ME, int) { フォーカス色付1(ME, kGotFocus, 0); }
void DNO_GotFocus(Form &ME, int) { フォーカス色付1(ME, kGotFocus, 0); }

void markFocusAtStartUp(Form &ME) { フォーカス色付1(ME, kGotFocus, 0); }

void connectFocusHandlers(Form &ME)
{
    const struct {
        const char *name;
        void (*handler)(Form &);
    } single[] = {
        {"DBサーバー名", DBサーバー名_GotFocus},
        {"DBデータパス", DBデータパス_GotFocus},
        {"DBログパス", DBログパス_GotFocus},
        {"設定番号", 設定番号_GotFocus},
        {"ロックと解除", ロックと解除_GotFocus},
        {"設定読込", 設定読込_GotFocus},
        {"設定記憶", 設定記憶_GotFocus},
        {"下矢印", 下矢印_GotFocus},
        {"YES", YES_GotFocus},
        {"END", END_GotFocus},
        {"PRN", PRN_GotFocus},
    };
    for (const auto &s : single)
        ME.setGotFocusHandler(ME.control(QString::fromUtf8(s.name)), [&ME, h = s.handler] { h(ME); });

    const struct {
        const char *name;
        void (*handler)(Form &, int);
    } arrays[] = {{"Path", Path_GotFocus}, {"Path2", Path2_GotFocus}, {"DNO", DNO_GotFocus}};
    for (const auto &a : arrays) {
        for (int i = 0; i < 8; ++i)
            ME.setGotFocusHandler(ME.control(QString::fromUtf8(a.name), i), [&ME, h = a.handler, i] { h(ME, i); });
    }
}

} // namespace zdb

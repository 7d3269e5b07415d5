#include "Text.h"

namespace zdb {

namespace {

// The length of the UTF-8 character at p, 0 where its bytes are none: no
// overlong form, no surrogate, nothing past U+10FFFF.
int charLength(const uchar *p, qsizetype left)
{
    const uchar b = p[0];
    if (b < 0x80)
        return 1;
    int n = 0;
    uchar low = 0x80, high = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        low = b == 0xE0 ? 0xA0 : low;
        high = b == 0xED ? 0x9F : high;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        low = b == 0xF0 ? 0x90 : low;
        high = b == 0xF4 ? 0x8F : high;
    }
    if (n == 0 || left < n || p[1] < low || p[1] > high)
        return 0;
    for (int k = 2; k < n; ++k)
        if ((p[k] & 0xC0) != 0x80)
            return 0;
    return n;
}

} // namespace

QString pathText(const QByteArray &bytes)
{
    const auto *p = reinterpret_cast<const uchar *>(bytes.constData());
    QString text;
    qsizetype run = 0, i = 0;
    while (i < bytes.size()) {
        if (const int n = charLength(p + i, bytes.size() - i); n > 0) {
            i += n;
            continue;
        }
        text += QString::fromUtf8(bytes.constData() + run, i - run) + QChar(char16_t(0xDC00 + p[i]));
        run = ++i;
    }
    return text + QString::fromUtf8(bytes.constData() + run, i - run);
}

QByteArray pathBytes(const QString &path)
{
    QByteArray bytes;
    qsizetype run = 0;
    for (qsizetype i = 0; i < path.size(); ++i) {
        const char16_t c = path[i].unicode();
        if (c < 0xDC80 || c > 0xDCFF || (i > 0 && path[i - 1].isHighSurrogate()))
            continue;
        bytes += QStringView(path).mid(run, i - run).toUtf8() + char(c - 0xDC00);
        run = i + 1;
    }
    return bytes + QStringView(path).mid(run).toUtf8();
}

QString trimSpaces(const QString &s)
{
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && s.at(begin) == u' ')
        ++begin;
    while (end > begin && s.at(end - 1) == u' ')
        --end;
    return s.mid(begin, end - begin);
}

bool likeMatch(const QString &text, const QString &pattern)
{
    // Iterative glob with backtracking to the last "*".
    qsizetype t = 0, p = 0, star = -1, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern.at(p) == u'*') {
            star = p++;
            mark = t;
        } else if (p < pattern.size() && pattern.at(p) == text.at(t)) {
            ++p;
            ++t;
        } else if (star >= 0) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern.at(p) == u'*')
        ++p;
    return p == pattern.size();
}

} // namespace zdb

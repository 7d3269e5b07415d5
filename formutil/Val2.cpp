#include "Val2.h"

#include "Text.h"

#include <QLocale>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace zdb {

namespace {

// Full-width forms an input method gives, as their ASCII counterparts.
QString narrowed(const QString &text)
{
    QString s = text;
    for (QChar &c : s) {
        const char16_t u = c.unicode();
        if (u >= 0xFF10 && u <= 0xFF19)
            c = QChar(u'0' + (u - 0xFF10));
        else if (u == 0xFF0B)
            c = u'+';
        else if (u == 0xFF0D || u == 0x2212)
            c = u'-';
        else if (u == 0xFF0E)
            c = u'.';
        else if (u == 0xFF08)
            c = u'(';
        else if (u == 0xFF09)
            c = u')';
        else if (u == 0xFF25 || u == 0xFF45)
            c = u'E';
        else if (u == 0xFF04)
            c = u'$';
        else if (u == 0xFFE5)
            c = QChar(0x00A5);
    }
    return s;
}

bool isDigit(QChar c) { return c >= u'0' && c <= u'9'; }

// Sign, digits with at most one point, optional exponent: the form every
// locale accepts and the one this routine writes.
std::optional<double> plainForm(const QString &s)
{
    qsizetype i = 0;
    const qsizetype n = s.size();
    std::string ascii;
    if (i < n && (s[i] == u'+' || s[i] == u'-'))
        ascii += char(s[i++].unicode());
    int digits = 0;
    bool point = false;
    for (; i < n; ++i) {
        if (isDigit(s[i])) {
            ascii += char(s[i].unicode());
            ++digits;
        } else if (s[i] == u'.' && !point) {
            ascii += '.';
            point = true;
        } else {
            break;
        }
    }
    if (digits == 0)
        return std::nullopt;
    if (i < n && (s[i] == u'e' || s[i] == u'E')) {
        ascii += 'e';
        ++i;
        if (i < n && (s[i] == u'+' || s[i] == u'-'))
            ascii += char(s[i++].unicode());
        int expDigits = 0;
        for (; i < n && isDigit(s[i]); ++i, ++expDigits)
            ascii += char(s[i].unicode());
        if (expDigits == 0)
            return std::nullopt;
    }
    if (i != n)
        return std::nullopt;
    if (ascii[0] == '+')
        ascii.erase(0, 1);
    double v = 0;
    const auto [end, ec] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), v);
    if (ec != std::errc() || end != ascii.data() + ascii.size() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

// The locale's own notation, restricted to its digits, separators and sign
// characters (the locale reader would also take "inf" and "nan").
std::optional<double> localeForm(const QString &s)
{
    const QLocale locale;
    const QString allowed = QStringLiteral("0123456789eE+-") + locale.decimalPoint() + locale.groupSeparator()
        + locale.negativeSign() + locale.positiveSign() + locale.exponential();
    if (s.isEmpty() || !std::any_of(s.begin(), s.end(), isDigit))
        return std::nullopt;
    for (QChar c : s) {
        if (!allowed.contains(c))
            return std::nullopt;
    }
    bool ok = false;
    const double v = locale.toDouble(s, &ok);
    if (!ok || !std::isfinite(v))
        return std::nullopt;
    return v;
}

bool takePrefix(QString &s, const QStringList &prefixes)
{
    for (const QString &p : prefixes) {
        if (!p.isEmpty() && s.startsWith(p)) {
            s.remove(0, p.size());
            return true;
        }
    }
    return false;
}

bool takeSuffix(QString &s, const QStringList &suffixes)
{
    for (const QString &p : suffixes) {
        if (!p.isEmpty() && s.endsWith(p)) {
            s.chop(p.size());
            return true;
        }
    }
    return false;
}

} // namespace

std::optional<double> recogniseNumber(const QString &text)
{
    QString s = narrowed(text);
    const QStringList currencies{QStringLiteral("$"), QString(QChar(0x00A5)), QLocale().currencySymbol()};
    const QStringList signs{QStringLiteral("-"), QStringLiteral("+")};

    bool negative = false;
    bool parenthesised = false;
    if (s.size() >= 2 && s.startsWith(u'(') && s.endsWith(u')')) {
        parenthesised = true;
        s = s.mid(1, s.size() - 2);
    }
    // A sign may stand before or after a currency sign, or at the end.
    bool signed_ = false;
    auto takeSign = [&](bool atEnd) {
        if (signed_ || s.isEmpty())
            return;
        const QChar c = atEnd ? s.back() : s.front();
        if (c != u'-' && c != u'+')
            return;
        signed_ = true;
        negative = c == u'-';
        if (atEnd)
            s.chop(1);
        else
            s.remove(0, 1);
    };
    takeSign(false);
    bool currency = takePrefix(s, currencies);
    takeSign(false);
    takeSign(true);
    if (!currency)
        currency = takeSuffix(s, currencies);
    takeSign(true);
    s = trimSpaces(s); // "￥ 500", "12 €"
    if (parenthesised) {
        if (signed_)
            return std::nullopt;
        negative = true;
    }
    if (s.isEmpty() || s.front() == u'+' || s.front() == u'-')
        return std::nullopt;

    std::optional<double> v = plainForm(s);
    if (!v)
        v = localeForm(s);
    if (!v)
        return std::nullopt;
    return negative ? -*v : *v;
}

QString plainNotation(double value)
{
    const QString fixed = QString::number(std::abs(value), 'f', 17);
    const qsizetype point = fixed.indexOf(u'.');
    QString whole = fixed.left(point);
    QString fraction = fixed.mid(point + 1);
    if (whole == u'0')
        whole.clear();
    while (fraction.endsWith(u'0'))
        fraction.chop(1);
    if (whole.isEmpty() && fraction.isEmpty())
        return QStringLiteral(".");
    return (value < 0 ? QStringLiteral("-") : QString()) + whole + u'.' + fraction;
}

double leadingNumber(const QString &text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    auto peek = [&]() -> QChar {
        while (i < n && (text[i] == u' ' || text[i] == u'\t' || text[i] == u'\n'))
            ++i;
        return i < n ? text[i] : QChar();
    };

    if (peek() == u'&') {
        ++i;
        const QChar kind = peek().toUpper();
        const int base = kind == u'H' ? 16 : kind == u'O' ? 8 : 0;
        if (base == 0)
            return 0;
        ++i;
        double value = 0;
        for (QChar c = peek(); !c.isNull(); ++i, c = peek()) {
            const char16_t u = c.toUpper().unicode();
            const int d = isDigit(c) ? u - u'0' : (u >= u'A' && u <= u'F') ? 10 + (u - u'A') : 99;
            if (d >= base)
                break;
            value = value * base + d;
        }
        return std::isfinite(value) ? value : std::numeric_limits<double>::max();
    }

    bool negative = false;
    if (const QChar c = peek(); c == u'+' || c == u'-') {
        negative = c == u'-';
        ++i;
    }
    std::string whole, fraction;
    bool point = false;
    for (QChar c = peek(); !c.isNull(); ++i, c = peek()) {
        if (isDigit(c))
            (point ? fraction : whole) += char(c.unicode());
        else if (c == u'.' && !point)
            point = true;
        else
            break;
    }
    if (whole.empty() && fraction.empty())
        return 0;

    long exponent = 0;
    if (const QChar c = peek().toUpper(); c == u'E' || c == u'D') {
        const qsizetype mark = i;
        ++i;
        bool expNegative = false;
        if (const QChar s = peek(); s == u'+' || s == u'-') {
            expNegative = s == u'-';
            ++i;
        }
        bool any = false;
        for (QChar d = peek(); isDigit(d); ++i, d = peek()) {
            any = true;
            // Far beyond any double's range; saturate rather than wrap.
            exponent = std::min(exponent * 10 + (d.unicode() - u'0'), 1000000L);
        }
        if (!any)
            i = mark, exponent = 0;
        else if (expNegative)
            exponent = -exponent;
    }

    const std::string digits = whole + fraction;
    const auto firstNonZero = digits.find_first_not_of('0');
    if (firstNonZero == std::string::npos)
        return 0;
    const std::string ascii =
        (whole.empty() ? std::string("0") : whole) + '.' + fraction + 'e' + std::to_string(exponent);
    double v = 0;
    const auto [end, ec] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), v);
    if (ec == std::errc::result_out_of_range) {
        // Decimal magnitude of the leading digit decides overflow or underflow.
        const long magnitude = long(whole.size()) - long(firstNonZero) + exponent;
        v = magnitude > 0 ? std::numeric_limits<double>::max() : 0.0;
    } else if (ec != std::errc() || end != ascii.data() + ascii.size()) {
        return 0;
    }
    if (v == 0)
        return 0;
    return negative ? -v : v;
}

double Val2(const QVariant &MOJI1)
{
    // A number gives its shortest exact text with a point, which step 4 reads
    // in every locale.
    QString text = MOJI1.isNull() ? QString() : MOJI1.toString();
    text.remove(u',');
    text = trimSpaces(text);
    if (const std::optional<double> number = recogniseNumber(text))
        text = plainNotation(*number);
    return leadingNumber(text);
}

} // namespace zdb

#include "rtu/ui/CellCompare.h"

#include <QDateTime>
#include <QLocale>

namespace rtu {

namespace {

int CompareBytes(const QByteArray& a, const QByteArray& b) { return a < b ? -1 : (b < a ? 1 : 0); }

}  // namespace

bool IsNumberText(const QString& text)
{
    int i = 0;
    const int n = static_cast<int>(text.size());
    if (n > 0 && (text[0] == QLatin1Char('+') || text[0] == QLatin1Char('-'))) i = 1;
    bool digit = false;
    bool point = false;
    for (; i < n; ++i) {
        const QChar c = text[i];
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            digit = true;
        } else if (c == QLatin1Char('.') && !point) {
            point = true;
        } else {
            return false;
        }
    }
    return digit;
}

bool ReadDateTimeText(const QString& text, qint64* msecsSinceEpoch)
{
    static const QString kOwnFormats[] = {QStringLiteral("yyyy-MM-dd HH:mm:ss"), QStringLiteral("yyyy-MM-dd HH:mm")};
    QDateTime t;
    for (const QString& format : kOwnFormats) {
        t = QDateTime::fromString(text, format);
        if (t.isValid()) break;
    }
    if (!t.isValid()) {
        const QLocale locale = QLocale::system();
        t = locale.toDateTime(text, QLocale::ShortFormat);
        if (!t.isValid()) t = locale.toDateTime(text, QLocale::LongFormat);
    }
    if (!t.isValid()) return false;
    if (msecsSinceEpoch != nullptr) *msecsSinceEpoch = t.toMSecsSinceEpoch();
    return true;
}

CellSortKey MakeCellSortKey(const QString& raw)
{
    CellSortKey key;
    const QString text = raw.trimmed();
    key.text = text.toUtf8();
    if (text.isEmpty()) {
        key.kind = CellSortKey::Kind::Empty;
    } else if (IsNumberText(text)) {
        key.kind = CellSortKey::Kind::Number;
        key.number = text.toDouble();
    } else if (ReadDateTimeText(text, &key.time)) {
        key.kind = CellSortKey::Kind::DateTime;
    } else {
        key.kind = CellSortKey::Kind::Text;
    }
    return key;
}

int CompareCellKeys(const CellSortKey& a, const CellSortKey& b)
{
    if (a.kind != b.kind) return static_cast<int>(a.kind) < static_cast<int>(b.kind) ? -1 : 1;
    switch (a.kind) {
    case CellSortKey::Kind::Number:
        if (a.number != b.number) return a.number < b.number ? -1 : 1;
        break;  // "1.0" and "1": fixed order by text
    case CellSortKey::Kind::DateTime:
        if (a.time != b.time) return a.time < b.time ? -1 : 1;
        break;
    case CellSortKey::Kind::Empty:
    case CellSortKey::Kind::Text:
        break;
    }
    return CompareBytes(a.text, b.text);
}

int CompareCellTexts(const QString& a, const QString& b) { return CompareCellKeys(MakeCellSortKey(a), MakeCellSortKey(b)); }

}  // namespace rtu

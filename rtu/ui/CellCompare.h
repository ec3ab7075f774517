// The order of the station list's cells when the operator sorts by a column.
//
// Both texts are trimmed of blanks first. Texts fall into four kinds, which
// sort in this order: empty, numbers, date-times, other texts. Two numbers
// compare as numbers, two date-times as date-times, everything else as text
// (byte-wise on UTF-8, case-sensitive). Comparing by kind first keeps the
// order consistent (if a < b and b < c then a < c), which the sort needs: a
// mixed column such as "12.5", "n/a", "7" sorts as 7, 12.5, n/a.
#pragma once

#include <QByteArray>
#include <QString>

namespace rtu {

// A cell text read once for sorting: its kind and its value of that kind.
struct CellSortKey {
    enum class Kind { Empty = 0, Number = 1, DateTime = 2, Text = 3 };
    Kind kind = Kind::Empty;
    double number = 0;
    qint64 time = 0;   // milliseconds since 1970
    QByteArray text;   // the trimmed text in UTF-8
};

// A number: an optional sign, digits with at most one decimal point, and at
// least one digit ("12", "-3.5", "+.5"; not "1-2", "1.2.3", "-" or ".").
bool IsNumberText(const QString& text);

// A date and time written as the program writes them ("2026-12-09 08:05:00",
// also without seconds) or in the user's locale's short or long form.
bool ReadDateTimeText(const QString& text, qint64* msecsSinceEpoch);

CellSortKey MakeCellSortKey(const QString& text);

// Negative, zero or positive as a sorts before, with or after b.
int CompareCellKeys(const CellSortKey& a, const CellSortKey& b);
int CompareCellTexts(const QString& a, const QString& b);

}  // namespace rtu

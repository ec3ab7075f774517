// CLeftView: the log pane. A caption and a read-only text box that shows one
// entry per event, each headed by the local time.
//
// The box holds at most 65,535 characters: an entry that would take it past
// that replaces the whole text, so the box then shows only the newest entry.
// Characters are counted as the text is kept, line breaks as "\r\n".
#pragma once

#include <QWidget>

class QLabel;
class QPlainTextEdit;

namespace rtu {

class CLeftView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxTextLength = 65535;

    explicit CLeftView(QWidget* parent = nullptr);

    // Appends "time\r\ntext" and scrolls to it. User-interface thread only.
    void AddLogEntry(const QString& text);
    // The entry for `text` as AddLogEntry would add it at `time`.
    static QString MakeEntry(const QString& time, const QString& text);
    // Empties the box (the clear-log command).
    void Clear();

    // The number of characters the box holds, line breaks counted as two.
    int TextLength() const { return length_; }
    // The text of the box, with "\n" line breaks.
    QString Text() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QLabel* caption_;
    QPlainTextEdit* box_;
    int length_ = 0;
};

}  // namespace rtu

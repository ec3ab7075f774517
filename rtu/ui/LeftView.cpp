#include "rtu/ui/LeftView.h"

#include "rtu/protocol/TimeText.h"
#include "rtu/ui/UiText.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>

namespace rtu {

CLeftView::CLeftView(QWidget* parent) : QWidget(parent)
{
    caption_ = new QLabel(UiText("LeftView", "Static1"), this);
    box_ = new QPlainTextEdit(this);
    box_->setReadOnly(true);
    box_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    box_->setObjectName(QStringLiteral("logBox"));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 6, 10, 5);
    layout->setSpacing(4);
    layout->addWidget(caption_);
    layout->addWidget(box_, 1);
}

QString CLeftView::MakeEntry(const QString& time, const QString& text) { return time + QStringLiteral("\r\n") + text; }

void CLeftView::AddLogEntry(const QString& text)
{
    QString entry = MakeEntry(QString::fromStdString(NowText()), text);
    // Frames and answers carry "\r\n" and bare line feeds; count a line break
    // as the two characters the text keeps.
    entry.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    entry.remove(QLatin1Char('\r'));
    // Frames carry control characters (SOH, STX, ETX...) that no font draws:
    // each is shown as its own picture (U+2400 + code, U+2421 for DEL), which
    // cannot be taken for a decimal point of a value next to it.
    for (QChar& c : entry) {
        const char16_t code = c.unicode();
        if (code < 0x20 && c != QLatin1Char('\n') && c != QLatin1Char('\t'))
            c = QChar(static_cast<char16_t>(0x2400 + code));
        else if (code == 0x7f)
            c = QChar(static_cast<char16_t>(0x2421));
    }
    const int entryLength = static_cast<int>(entry.size() + entry.count(QLatin1Char('\n')));

    const int separator = length_ > 0 ? 2 : 0;
    if (length_ + separator + entryLength > kMaxTextLength) {
        box_->setPlainText(entry);
        length_ = entryLength;
    } else {
        box_->appendPlainText(entry);
        length_ += separator + entryLength;
    }
    box_->verticalScrollBar()->setValue(box_->verticalScrollBar()->maximum());
}

void CLeftView::Clear()
{
    box_->clear();
    length_ = 0;
}

QString CLeftView::Text() const { return box_->toPlainText(); }

void CLeftView::keyPressEvent(QKeyEvent* event)
{
    // Enter and Escape never close anything in the panes.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace rtu

#include "rtu/ui/ConfigView.h"

#include "rtu/ui/TabSheet.h"
#include "rtu/ui/UiText.h"

#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace rtu {

namespace {

// Enter and Escape pressed anywhere in the pane never close an embedded dialog.
bool SwallowDialogKey(QKeyEvent* event)
{
    const int key = event->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) {
        event->accept();
        return true;
    }
    return false;
}

}  // namespace

CShowDataDlg::CShowDataDlg(QWidget* parent) : QWidget(parent)
{
    group_ = new QGroupBox(this);
    caption_ = new QLabel(UiText("ShowDataDlg", "Static1"), group_);
    box_ = new QPlainTextEdit(group_);
    box_->setReadOnly(true);
    box_->setObjectName(QStringLiteral("answerBox"));
    auto* inner = new QVBoxLayout(group_);
    inner->addWidget(caption_);
    inner->addWidget(box_, 1);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(6, 6, 6, 6);
    outer->addWidget(group_);
}

void CShowDataDlg::SetTitle(const QString& title) { group_->setTitle(title); }
QString CShowDataDlg::Title() const { return group_->title(); }

void CShowDataDlg::SetAnswerText(const QString& text)
{
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    box_->setPlainText(shown);
}

QString CShowDataDlg::AnswerText() const { return box_->toPlainText(); }

CDeviceConfigDlg::CDeviceConfigDlg(QWidget* parent) : QWidget(parent)
{
    caption_ = new QLabel(UiText("DeviceConfigDlg", "Static1"), this);
    pages_ = new CTabSheet(this);
    pages_->AddPage(UiText("DeviceConfigDlg", "Page1"), new QWidget);
    pages_->AddPage(UiText("DeviceConfigDlg", "Page2"), new QWidget);
    pages_->setCurrentIndex(0);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addWidget(caption_);
    layout->addWidget(pages_, 1);
}

CConfigView::CConfigView(QWidget* parent) : QWidget(parent)
{
    stack_ = new QStackedWidget(this);
    data_ = new CShowDataDlg;
    deviceConfig_ = new CDeviceConfigDlg;
    // In the order of Panel.
    stack_->addWidget(data_);
    stack_->addWidget(new QWidget);  // clock
    stack_->addWidget(deviceConfig_);
    stack_->addWidget(new QWidget);  // upgrade
    stack_->addWidget(new QWidget);  // picture
    stack_->addWidget(new QWidget);  // period query
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(stack_);
    stack_->setCurrentIndex(static_cast<int>(Panel::DeviceConfig));
}

void CConfigView::ShowPanel(Panel panel, int n)
{
    if (panel == Panel::Data && n >= 1 && n <= 6) data_->SetTitle(UiText("ConfigView", "ShowDlg" + std::to_string(n)));
    stack_->setCurrentIndex(static_cast<int>(panel));
    emit PanelShown(panel);
}

CConfigView::Panel CConfigView::CurrentPanel() const { return static_cast<Panel>(stack_->currentIndex()); }

QWidget* CConfigView::PanelWidget(Panel panel) const { return stack_->widget(static_cast<int>(panel)); }

bool CConfigView::SetPanel(Panel panel, QWidget* dialog)
{
    if (dialog == nullptr || panel == Panel::Data || panel == Panel::DeviceConfig) return false;
    const int index = static_cast<int>(panel);
    const bool current = stack_->currentIndex() == index;
    QWidget* old = stack_->widget(index);
    stack_->removeWidget(old);
    stack_->insertWidget(index, dialog);
    delete old;
    if (current) stack_->setCurrentIndex(index);
    return true;
}

CTabSheet* CConfigView::DeviceConfigPages() const { return deviceConfig_->Pages(); }

void CConfigView::keyPressEvent(QKeyEvent* event)
{
    if (!SwallowDialogKey(event)) QWidget::keyPressEvent(event);
}

}  // namespace rtu

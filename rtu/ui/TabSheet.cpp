#include "rtu/ui/TabSheet.h"

namespace rtu {

CTabSheet::CTabSheet(QWidget* parent) : QTabWidget(parent) {}

bool CTabSheet::AddPage(const QString& title, QWidget* page)
{
    if (page == nullptr || count() >= kMaxPages) return false;
    addTab(page, title);
    return true;
}

bool CTabSheet::ReplacePage(int index, QWidget* page)
{
    if (page == nullptr || index < 0 || index >= count()) return false;
    const QString title = tabText(index);
    const bool current = currentIndex() == index;
    QWidget* old = widget(index);
    removeTab(index);
    insertTab(index, page, title);
    delete old;
    if (current) setCurrentIndex(index);
    return true;
}

}  // namespace rtu

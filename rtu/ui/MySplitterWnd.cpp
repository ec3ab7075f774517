#include "rtu/ui/MySplitterWnd.h"

#include <QMouseEvent>

namespace rtu {

CMySplitterWnd::CMySplitterWnd(Qt::Orientation orientation, QWidget* parent) : QSplitter(orientation, parent)
{
    setChildrenCollapsible(false);
    setOpaqueResize(true);
}

void CMySplitterWnd::SetLocked(bool locked)
{
    locked_ = locked;
    for (int i = 0; i < count(); ++i) {
        if (QSplitterHandle* h = handle(i)) h->setCursor(locked ? Qt::ArrowCursor : (orientation() == Qt::Horizontal ? Qt::SplitHCursor : Qt::SplitVCursor));
    }
}

void CMySplitterWnd::SetBarLimits(int top, int bottom)
{
    top_ = top;
    bottom_ = bottom;
}

bool CMySplitterWnd::BarMayFollow(int position) const
{
    if (locked_) return false;
    const int length = orientation() == Qt::Vertical ? height() : width();
    return position > top_ && position < length - bottom_;
}

QSplitterHandle* CMySplitterWnd::createHandle() { return new CMySplitterHandle(orientation(), this); }

CMySplitterHandle::CMySplitterHandle(Qt::Orientation orientation, CMySplitterWnd* parent)
    : QSplitterHandle(orientation, parent), owner_(parent)
{
}

void CMySplitterHandle::mousePressEvent(QMouseEvent* event)
{
    if (owner_->Locked()) {
        event->accept();
        return;
    }
    QSplitterHandle::mousePressEvent(event);
}

void CMySplitterHandle::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint inSplitter = mapToParent(event->position().toPoint());
    const int position = orientation() == Qt::Vertical ? inSplitter.y() : inSplitter.x();
    if (!owner_->BarMayFollow(position)) {
        event->accept();
        return;
    }
    QSplitterHandle::mouseMoveEvent(event);
}

void CMySplitterHandle::mouseReleaseEvent(QMouseEvent* event)
{
    if (owner_->Locked()) {
        event->accept();
        return;
    }
    QSplitterHandle::mouseReleaseEvent(event);
}

}  // namespace rtu

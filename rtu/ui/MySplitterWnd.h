// CMySplitterWnd: a splitter whose bar can be locked. It is locked when
// created; while locked, the bar ignores the mouse. An unlocked vertical
// splitter may also keep its bar a least distance from its top and bottom:
// the bar follows the mouse only while the pointer is more than `top` pixels
// below the top and more than `bottom` pixels above the bottom.
#pragma once

#include <QSplitter>
#include <QSplitterHandle>

namespace rtu {

class CMySplitterWnd : public QSplitter {
    Q_OBJECT
public:
    explicit CMySplitterWnd(Qt::Orientation orientation, QWidget* parent = nullptr);

    void SetLocked(bool locked);
    bool Locked() const { return locked_; }

    // The bar follows the pointer only at positions p (along the splitter)
    // with p > top and p < length - bottom.
    void SetBarLimits(int top, int bottom);
    bool BarMayFollow(int position) const;

protected:
    QSplitterHandle* createHandle() override;

private:
    bool locked_ = true;
    int top_ = 0;
    int bottom_ = 0;
};

class CMySplitterHandle : public QSplitterHandle {
    Q_OBJECT
public:
    CMySplitterHandle(Qt::Orientation orientation, CMySplitterWnd* parent);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    CMySplitterWnd* owner_;
};

}  // namespace rtu

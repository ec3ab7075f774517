#include "rtu/ui/UiRuntimeView.h"

#include "rtu/ui/MainWindow.h"

#include <QMetaObject>
#include <QThread>

#include <memory>

namespace rtu {

CUiRuntimeView::CUiRuntimeView(QObject* parent) : QObject(parent) {}

CUiRuntimeView::~CUiRuntimeView() { BeginClosing(); }

void CUiRuntimeView::SetWindow(CMainWindow* window) { window_ = window; }

void CUiRuntimeView::BeginClosing()
{
    {
        std::lock_guard<std::mutex> lock(answerLock_);
        closing_ = true;
    }
    answerDone_.notify_all();
}

template <typename F>
void CUiRuntimeView::Queue(F&& call)
{
    // The call runs on this object's thread; it is dropped with the object.
    QMetaObject::invokeMethod(
        this,
        [this, call = std::forward<F>(call)]() {
            if (window_ != nullptr) call(*window_);
        },
        Qt::QueuedConnection);
}

void CUiRuntimeView::PostLogLine(const std::string& text)
{
    Queue([text = QString::fromStdString(text)](CMainWindow& w) { w.AddLogLine(text); });
}

void CUiRuntimeView::PostStationState(const std::string& station, StationState state, int linkKind)
{
    Queue([station, state, linkKind](CMainWindow& w) { w.OnStationState(station, state, linkKind); });
}

void CUiRuntimeView::ClearStations()
{
    Queue([](CMainWindow& w) { w.OnClearStations(); });
}

void CUiRuntimeView::ShowMessage(const std::string& text)
{
    Queue([text = QString::fromStdString(text)](CMainWindow& w) { w.ShowMessage(text); });
}

void CUiRuntimeView::DeliverAnswer(int answerCode, const std::string& frameText)
{
    if (closing_) return;
    if (QThread::currentThread() == thread()) {
        if (window_ != nullptr) window_->OnStationAnswer(answerCode, frameText);
        return;
    }
    // The waiting thread and the queued call share the completion flag, so the
    // call may still run safely after the waiter was released by closing.
    auto done = std::make_shared<bool>(false);
    QMetaObject::invokeMethod(
        this,
        [this, done, answerCode, frameText]() {
            if (!closing_ && window_ != nullptr) window_->OnStationAnswer(answerCode, frameText);
            {
                std::lock_guard<std::mutex> lock(answerLock_);
                *done = true;
            }
            answerDone_.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(answerLock_);
    answerDone_.wait(lock, [&] { return *done || closing_.load(); });
}

}  // namespace rtu

// The runtime view of the windowed program. The runtime calls it from any
// thread; every call becomes a queued call on the user-interface thread (the
// thread that created this object), in the order the calls were made, and is
// handed to the main window there:
//   PostLogLine       -> a log-pane entry
//   PostStationState  -> online: the station's row refreshed from a copy of its
//                        link record; offline: its row marked offline
//   ClearStations     -> every row removed
//   ShowMessage       -> a message box
//   DeliverAnswer     -> the answer handled on the user-interface thread while
//                        the calling thread waits for it to finish
//
// Closing: once BeginClosing() has been called, answers are no longer handed
// over (a thread waiting for one is released at once and later ones return
// at once), so a runtime thread can never hold up the joins of the closing
// program. Queued calls made after the window has been detached are dropped.
#pragma once

#include "rtu/runtime/RuntimeView.h"

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace rtu {

class CMainWindow;

class CUiRuntimeView : public QObject, public RuntimeView {
    Q_OBJECT
public:
    explicit CUiRuntimeView(QObject* parent = nullptr);
    ~CUiRuntimeView() override;

    // The window that receives the calls; nullptr detaches it. User-interface thread only.
    void SetWindow(CMainWindow* window);

    // The program is closing: answers are dropped from now on.
    void BeginClosing();
    bool Closing() const { return closing_.load(); }

    void PostLogLine(const std::string& text) override;
    void PostStationState(const std::string& station, StationState state, int linkKind) override;
    void DeliverAnswer(int answerCode, const std::string& frameText) override;
    void ClearStations() override;
    void ShowMessage(const std::string& text) override;

private:
    template <typename F>
    void Queue(F&& call);

    CMainWindow* window_ = nullptr;  // user-interface thread only
    std::atomic<bool> closing_{false};
    std::mutex answerLock_;
    std::condition_variable answerDone_;
};

}  // namespace rtu

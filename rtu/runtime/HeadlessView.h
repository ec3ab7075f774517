// The view of the headless program: the log pane's lines on standard output,
// one line each, with the local time in front. Answers are written with the
// texts the window shows for them (control::PresentAnswer).
#pragma once

#include "rtu/runtime/RuntimeView.h"

#include <cstdio>
#include <mutex>

namespace rtu {

class HeadlessView : public RuntimeView {
public:
    explicit HeadlessView(std::FILE* out = stdout) : out_(out) {}

    void PostLogLine(const std::string& text) override;
    void PostStationState(const std::string& station, StationState state, int linkKind) override;
    void DeliverAnswer(int answerCode, const std::string& frameText) override;
    void ClearStations() override;
    void ShowMessage(const std::string& text) override;

private:
    void WriteLine(const std::string& text);

    std::FILE* out_;
    std::mutex outputLock_;
};

}  // namespace rtu

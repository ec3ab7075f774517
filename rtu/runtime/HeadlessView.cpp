#include "rtu/runtime/HeadlessView.h"

#include "rtu/control/StationAnswer.h"
#include "rtu/protocol/TimeText.h"

namespace rtu {

void HeadlessView::WriteLine(const std::string& text)
{
    // Frames shown in the log pane carry control characters; a terminal or a
    // log collector gets them as dots, one line per entry.
    std::string line = NowText() + "  ";
    line.reserve(line.size() + text.size() + 1);
    for (char c : text) line += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '.' : c;
    line += '\n';
    std::lock_guard<std::mutex> lock(outputLock_);
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
}

void HeadlessView::PostLogLine(const std::string& text) { WriteLine(text); }

void HeadlessView::PostStationState(const std::string& station, StationState state, int linkKind)
{
    // Online posts repeat with every frame; only the offline ones are news.
    if (state == StationState::Offline)
        WriteLine("station " + station + " offline (" + (linkKind == 0 ? "network" : "serial") + ")");
}

// The answer's text as the window's log pane shows it (the frame itself was
// posted before), its lines joined into one. Answers without a text (period
// data, unknown codes) add nothing to the frame's line.
void HeadlessView::DeliverAnswer(int answerCode, const std::string& frameText)
{
    const control::StationAnswer answer = control::PresentAnswer(answerCode, frameText, control::ConfigTexts());
    if (answer.logText.empty()) return;
    std::string line;
    line.reserve(answer.logText.size());
    for (std::size_t i = 0; i < answer.logText.size(); ++i) {
        if (answer.logText.compare(i, 2, "\r\n") == 0) {
            line += "  ";
            ++i;
        } else {
            line += answer.logText[i];
        }
    }
    WriteLine(line);
}

void HeadlessView::ClearStations() {}

void HeadlessView::ShowMessage(const std::string& text) { WriteLine("message: " + text); }

}  // namespace rtu

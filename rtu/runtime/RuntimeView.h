// What the data centre's runtime tells the operator's view. The windowed
// program implements it with queued events to its user-interface thread; the
// headless program writes the log-pane lines to standard output.
//
// Every call may come from any thread and must not block, except
// DeliverAnswer, which hands an answer to the operator's dialogs and returns
// only when the view has handled it: the runtime calls it holding no lock
// (the windowed program's user-interface thread takes the runtime's locks).
#pragma once

#include <string>

namespace rtu {

enum class StationState { Online = 0, Offline = 1 };

class RuntimeView {
public:
    virtual ~RuntimeView() = default;

    // A line for the log pane.
    virtual void PostLogLine(const std::string& text) = 0;

    // A station went online (refresh its row from its link record) or offline.
    virtual void PostStationState(const std::string& station, StationState state, int linkKind) = 0;

    // An answer of a station to a query or command: answer code 1..14 and the
    // frame as text. Blocks until the view has handled it.
    virtual void DeliverAnswer(int answerCode, const std::string& frameText) = 0;

    // The service stopped: every row of the station list goes.
    virtual void ClearStations() = 0;

    // A message the operator must see (a message box in the windowed program).
    virtual void ShowMessage(const std::string& text) = 0;
};

}  // namespace rtu

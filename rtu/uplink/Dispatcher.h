// The uplink dispatcher: handles one complete frame on a parse thread. It
// checks the frame, refreshes the station's online state, hands it to the
// report sink (which acknowledges it once it is kept), shows it, and acts on
// its function code: answers are returned to the caller, which hands them to
// the operator's view once it holds no lock; picture packets go to picture
// reception.
#pragma once

#include "rtu/runtime/LinkTransport.h"
#include "rtu/runtime/RuntimeView.h"
#include "rtu/runtime/ServerSettings.h"
#include "rtu/runtime/StationRegistry.h"
#include "rtu/uplink/PicturePacket.h"
#include "rtu/uplink/ReportSink.h"

#include <optional>
#include <string>
#include <string_view>

namespace rtu {

// The answer code under which a station's answer is handed to the operator's
// view (1..14), or 0 for function codes that are not answers.
int AnswerCode(std::string_view functionCode);

// A station's answer to a query or command, as the parse thread found it.
struct ParsedAnswer {
    int code = 0;           // AnswerCode of its function code
    std::string station;    // the station's address
    std::string frameText;  // the frame as text (up to a zero byte)
    int linkKind = 0;
};

class Dispatcher {
public:
    // Maps a station address to its storage number (its Conversion ID, or the
    // address itself).
    using StorageNumberOf = std::function<std::string(const std::string& station)>;

    Dispatcher(StationRegistry& registry, LinkTransport& transport, RuntimeView& view, ReportSink& reports,
               PictureReception& pictures, const SettingsStore& settings, StorageNumberOf storageNumber);

    // Handles one frame (`frame` holds exactly its bytes). Never throws on
    // malformed input: a frame that breaks a rule is dropped where it fails.
    // An acknowledged answer is returned, not shown: the view's hand-over may
    // wait for the user-interface thread, so the caller hands it over only
    // after releasing its own locks.
    std::optional<ParsedAnswer> ParseFrame(int connectionId, std::string_view frame, int linkKind);

private:
    void HandlePicturePacket(int connectionId, std::string_view frame, int linkKind, const std::string& station,
                             const std::string& storageNumber);
    // Sends a built acknowledgement on the link the frame came from.
    void SendAcknowledgement(int connectionId, const std::string& ack, int linkKind);

    StationRegistry& registry_;
    LinkTransport& transport_;
    RuntimeView& view_;
    ReportSink& reports_;
    PictureReception& pictures_;
    const SettingsStore& settings_;
    StorageNumberOf storageNumber_;
};

}  // namespace rtu

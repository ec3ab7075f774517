// The dispatcher on arbitrary frames, with recording stand-ins for the
// network, the serial line, the databases, picture reception and the
// operator's view.
//
// Input: byte 0 holds options, the rest is the frame.
//   bit 0  the frame came on the serial line (else on network connection 5)
//   bit 1  write the centre address and password the settings expect
//   bit 2  write the body length field to match the frame's size
//   bit 3  write the frame's check code
//   bit 4  the station's storage number is its address (else "ST01")
//   bit 5  look-ups of stored hours find a row (else none)
//   bit 6  the secondary database holds no last level (else "12.34")
// The options let random frames get past the early checks and reach the
// report decoders; without them most inputs stop at the check code.
// Checks besides the sanitizers: every acknowledgement sent is a frame with a
// valid check code, and picture payloads lie inside their frame.
#include "tests/uplink/Fakes.h"

#include "rtu/protocol/Crc16.h"
#include "rtu/protocol/FrameCodec.h"
#include "rtu/runtime/ServerSettings.h"
#include "rtu/runtime/StationRegistry.h"
#include "rtu/uplink/Dispatcher.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const std::string kStation = "0000000101";

struct Fixture {
    rtu::testing::RecordingView view;
    rtu::testing::RecordingTransport transport;
    rtu::testing::RecordingDatabase database;
    rtu::testing::RecordingPictures pictures;
    rtu::SettingsStore settings;
    rtu::StationRegistry registry{view, transport};
    bool ownAddress = false;
    rtu::Dispatcher dispatcher{registry, transport, view, database, pictures, settings,
                               [this](const std::string& station) { return ownAddress ? station : "ST01"; }};

    Fixture()
    {
        rtu::ServerSettings s;
        s.main.dbMode = 1;
        s.third.dbMode = 1;
        settings.Replace(s);
        database.lastLevel = "12.34";
        auto access = registry.LockNetwork();
        access.BindConnection(5, "10.0.0.7", kStation, "", "");
    }
};

void FixUp(std::string& frame, unsigned options)
{
    if ((options & 2) && frame.size() >= 17) {
        std::memcpy(&frame[1], "01", 2);
        std::memcpy(&frame[13], "B7E2", 4);
    }
    if ((options & 4) && frame.size() >= rtu::kFrameOverhead && frame.size() <= rtu::kMaxFrameBytes) {
        char length[4];
        std::snprintf(length, sizeof length, "%03X", static_cast<unsigned>(frame.size() - rtu::kFrameOverhead));
        std::memcpy(&frame[20], length, 3);
    }
    if ((options & 8) && frame.size() >= 5) {
        char check[5];
        std::snprintf(check, sizeof check, "%04X",
                      static_cast<unsigned>(rtu::CalcCrc16(std::string_view(frame).substr(0, frame.size() - 4))));
        std::memcpy(&frame[frame.size() - 4], check, 4);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0 || size > rtu::kMaxFrameBytes + 1) return 0;
    const unsigned options = data[0];
    std::string frame(reinterpret_cast<const char*>(data) + 1, size - 1);
    FixUp(frame, options);

    Fixture f;
    f.ownAddress = (options & 16) != 0;
    if (options & 32) f.database.rowsFor = [](const std::string&) { return rtu::storage::Rows{{"1", "2", "3"}}; };
    if (options & 64) f.database.lastLevel.clear();
    const int linkKind = (options & 1) ? rtu::kSerialLink : rtu::kNetworkLink;
    f.dispatcher.ParseFrame(5, frame, linkKind);

    for (const auto& [id, ack] : f.transport.sent)
        if (id != 5 || ack.size() > rtu::kMaxFrameBytes || !rtu::VerifyCheckCode(ack)) std::abort();
    for (const auto& ack : f.transport.serial)
        if (ack.size() > rtu::kMaxFrameBytes || !rtu::VerifyCheckCode(ack)) std::abort();
    for (const auto& packet : f.pictures.packets)
        if (packet.payloadLength < 0 || packet.payload.size() != static_cast<std::size_t>(packet.payloadLength) ||
            packet.payload.size() > frame.size())
            std::abort();
    return 0;
}

// Binary frames: reading and verifying a frame, decoding its body, and the
// translations to and from the text encoding.
//
// Input: the bytes of one frame (also read as a text command, and as a body
// whose function code is the first byte). Checks besides the sanitizers: a
// frame read as sound is written back to the same bytes; decoded values lie
// inside the body and numbers convert back to their bytes; every frame built
// (twin, acknowledgement, binary command) verifies.
#include "rtu/protocol/BinaryElements.h"
#include "rtu/protocol/BinaryFrame.h"
#include "rtu/protocol/BinaryTwin.h"
#include "rtu/protocol/FrameCodec.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool InsideOf(std::string_view part, std::string_view whole)
{
    if (part.empty()) return true;
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void CheckBody(std::string_view body, const rtu::BinaryBody& decoded)
{
    for (const rtu::BinaryElement& e : decoded.elements) {
        if (!InsideOf(e.value, body)) std::abort();
        if (e.kind == rtu::BinaryElementKind::kSeries && (e.groupBytes == 0 || e.value.size() % e.groupBytes != 0))
            std::abort();
        if (e.kind != rtu::BinaryElementKind::kNumber) continue;
        std::string text;
        if (rtu::AppendBcdNumber(e.value, e.Decimals(), text) != rtu::BcdStatus::kValue) continue;
        std::string back;
        if (!rtu::AppendBcdValue(text, e.Decimals(), e.value.size(), back) || back != e.value) std::abort();
    }
    if (!InsideOf(decoded.text, body)) std::abort();
}

bool Verifies(const std::string& frame)
{
    rtu::BinaryFrame f;
    return rtu::ParseBinaryFrame(frame, f) == rtu::BinaryParse::kOk;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const rtu::CalendarTime now{2024, 5, 6, 8, 0, 7};

    if (size > 0) {
        rtu::BinaryBody decoded;
        rtu::DecodeBinaryBody(data[0], input.substr(1), decoded);
        CheckBody(input.substr(1), decoded);
    }

    rtu::BinaryFrame frame;
    const rtu::BinaryParse parsed = rtu::ParseBinaryFrame(input, frame);
    if (!InsideOf(frame.body, input)) std::abort();
    if (parsed == rtu::BinaryParse::kOk) {
        std::string again;
        if (!rtu::EncodeBinaryFrame(frame, frame.body, again) || again != input) std::abort();
        rtu::BinaryBody decoded;
        rtu::DecodeBinaryBody(frame, decoded);
        CheckBody(frame.body, decoded);

        std::string twin;
        if (rtu::BuildTextTwin(frame, twin) == rtu::TwinBuild::kBuilt) {
            if (!rtu::VerifyCheckCode(twin)) std::abort();
            std::string back;
            if (rtu::BinaryUplinkOf(twin, back) == rtu::TwinBuild::kBuilt && !Verifies(back)) std::abort();
        }
        std::string ack;
        if (rtu::BuildBinaryAcknowledgement(frame, now, true, ack) && !Verifies(ack)) std::abort();
    }
    if (parsed == rtu::BinaryParse::kOk || parsed == rtu::BinaryParse::kBadCheckCode) {
        std::string nak;
        if (rtu::BuildBinaryNak(frame, frame.packetNumber, 0, now, nak) && !Verifies(nak)) std::abort();
    }

    std::string command;
    if (rtu::BinaryDownlinkOf(input, 0x1B, command) == rtu::TwinBuild::kBuilt && !Verifies(command)) std::abort();
    if (rtu::BinaryUplinkOf(input, command) == rtu::TwinBuild::kBuilt && !Verifies(command)) std::abort();
    return 0;
}

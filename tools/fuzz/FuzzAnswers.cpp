// What the operator sees of a station's answer: the presentation of every
// answer code, the clock answer, the period answer (38) and its result rows,
// and the configuration pages filled from 41 and 43 answers and saved back.
//
// Input: byte 0 chooses the answer code (its value modulo 15, 0 being no
// answer code) and, with bit 4, a page that asked station "0000000101"; the
// rest is the frame text.
// Checks besides the sanitizers: the grids keep their shape, the period rows
// are as many as the bytes allow, and a save composed from a filled grid
// holds no control character.
#include "rtu/control/BaseConfig.h"
#include "rtu/control/PeriodData.h"
#include "rtu/control/RunConfig.h"
#include "rtu/control/StationAnswer.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace rtu::control;

// Texts with placeholders, as config.ini holds them.
std::string Text(std::string_view section, std::string_view key)
{
    return std::string(section) + "." + std::string(key) + " %s:%s ";
}

void CheckCommand(const SaveResult& result)
{
    if (result.command.has_value() == result.refusal.has_value()) std::abort();
    if (!result.command) return;
    for (char c : result.command->text)
        if (static_cast<unsigned char>(c) < 0x20) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const int code = data[0] % 15;
    const bool withAsked = (data[0] & 16) != 0;
    const std::string_view frameText(reinterpret_cast<const char*>(data) + 1, size - 1);
    const TextLookup texts = Text;

    AskedStations asked;
    asked.Asked(AskedReply::kBaseConfig, "0000000101");
    asked.Asked(AskedReply::kRunConfig, "0000000101");
    const StationAnswer answer = PresentAnswer(code, frameText, texts, withAsked ? &asked : nullptr);

    if (answer.period) {
        const auto rows = PeriodRows(answer.period->observationTime, answer.period->bytes, answer.period->kind);
        const std::size_t perRow = answer.period->kind == PeriodKind::kRainfall ? 12 : 24;
        if (rows.size() > answer.period->bytes.size() / perRow) std::abort();
    }
    if (answer.action == AnswerAction::kBaseConfigReply || code == 7) {
        ConfigGrid grid = NewBaseConfigGrid(texts);
        ShowBaseConfigReply(answer.action == AnswerAction::kBaseConfigReply ? answer.replyBody : frameText, grid,
                            texts);
        if (grid.Rows() != kBaseConfigRows || grid.Columns() != kBaseConfigColumns) std::abort();
        CheckCommand(BaseConfigSaveCommand(grid, texts));
    }
    if (answer.action == AnswerAction::kRunConfigReply || code == 9) {
        ConfigGrid grid = NewRunConfigGrid(texts);
        ShowRunConfigReply(answer.action == AnswerAction::kRunConfigReply ? answer.replyBody : frameText, grid);
        if (grid.Rows() != kRunConfigRows || grid.Columns() != kRunConfigColumns) std::abort();
        CheckCommand(RunConfigSaveCommand(grid, texts));
    }

    // The period decoder and the clock texts on any text, whatever the code.
    if (const auto period = ExtractPeriodData(frameText)) {
        PeriodRows(period->observationTime, period->bytes, period->kind);
        PeriodRows(frameText.substr(0, 8), period->bytes, PeriodKind::kWaterLevel);
    }
    ClockReplyText(frameText.substr(0, 10), frameText.size() > 10 ? frameText.substr(10) : std::string_view(), texts);
    return 0;
}

// The commands as the simulated station reads them, and its answers as the
// pages show them: what a read, a change and a save do end to end, without
// the network between.
#include "rtu/control/BaseConfig.h"
#include "rtu/control/OperatorCommands.h"
#include "rtu/control/RunConfig.h"
#include "rtu/control/StationAnswer.h"
#include "rtu/protocol/FrameCodec.h"
#include "tools/stationsim/StationFrames.h"

#include "ControlTestSupport.h"

#include <gtest/gtest.h>

namespace rtu::control {
namespace {

class SimulatedStation : public ::testing::Test {
protected:
    // The frame the station receives for `command`, as it reads it.
    sim::DownlinkFields Receive(const Command& command)
    {
        sent_ = FrameBytes();
        EXPECT_EQ(BuildCommandFrame(DownlinkAddress{id_.station, id_.centre, id_.password}, command.functionCode,
                                    command.text, sent_),
                  CommandBuild::kBuilt);
        sim::DownlinkFields fields;
        EXPECT_TRUE(sim::ReadDownlink(sent_.View(), fields));
        return fields;
    }

    // The station's answer frame to `command`.
    std::string Answer(const Command& command)
    {
        return sim::EncodeUplinkFrame(id_, command.functionCode, sim::AnswerBody(Receive(command), id_, now_, readings_));
    }

    sim::StationIdentity id_{"01", "0000000101", "B7E2"};
    sim::StationReadings readings_{7};
    CalendarTime now_{2024, 5, 6, 12, 30, 45};
    FrameBytes sent_;
    TextLookup texts_ = test::NamedTexts();
};

TEST_F(SimulatedStation, BaseConfigurationReadChangedAndSaved)
{
    AskedStations asked;
    asked.Asked(AskedReply::kBaseConfig, id_.station);
    const StationAnswer answer = PresentAnswer(7, Answer(BaseConfigReadCommand()), texts_, &asked);
    ASSERT_EQ(answer.action, AnswerAction::kBaseConfigReply);

    ConfigGrid grid = NewBaseConfigGrid(texts_);
    ShowBaseConfigReply(answer.replyBody, grid, texts_);
    EXPECT_EQ(grid.Get(13, 1), id_.station);
    EXPECT_EQ(grid.Get(14, 1), id_.password);
    EXPECT_EQ(grid.Get(3, 1), "127.0.0.1:5001");

    grid.Set(3, 1, "10.0.0.7:5005");
    const SaveResult saved = BaseConfigSaveCommand(grid, texts_);
    ASSERT_TRUE(saved.command.has_value()) << saved.refusal->message;
    const sim::DownlinkFields received = Receive(*saved.command);
    EXPECT_EQ(received.functionCode, "40");
    EXPECT_EQ(std::string(received.text).substr(0, 58),
              "01 01000000 02 0000000101 03 B7E2 04 02010000000007005005 ");
}

TEST_F(SimulatedStation, RunningParametersAndPeriodData)
{
    ConfigGrid grid = NewRunConfigGrid(texts_);
    ShowRunConfigReply(PresentAnswer(9, Answer(RunConfigReadCommand()), texts_).replyBody, grid);
    const SaveResult saved = RunConfigSaveCommand(grid, texts_);
    ASSERT_TRUE(saved.command.has_value()) << saved.refusal->message;
    EXPECT_EQ(Receive(*saved.command).functionCode, "42");

    const CalendarTime from{2024, 5, 6, 22, 0, 0};
    const CalendarTime to{2024, 5, 7, 1, 0, 0};
    for (const PeriodElement element : {PeriodElement::kRainfall, PeriodElement::kWaterLevel}) {
        const StationAnswer answer = PresentAnswer(12, Answer(PeriodQueryCommand(from, to, element)), texts_);
        ASSERT_TRUE(answer.period.has_value());
        EXPECT_EQ(static_cast<int>(answer.period->kind), static_cast<int>(element));
        const std::vector<PeriodRow> rows =
            PeriodRows(answer.period->observationTime, answer.period->bytes, answer.period->kind);
        ASSERT_EQ(rows.size(), 4u);
        EXPECT_EQ(rows[0].label, "2024-05-06 22:00");
        EXPECT_EQ(rows[3].label, "2024-05-07 01:00");
    }
}

}  // namespace
}  // namespace rtu::control

// Throughput of the per-frame work that every received byte goes through:
// the check code, cutting frames out of TCP blocks, handling one report up
// to its acknowledgement and queued statements (with recording fakes in
// place of the network and the database), and a read of one setting.
//
//   protocol_bench [--benchmark_filter=REGEX] [other Google Benchmark flags]
#include "rtu/protocol/Crc16.h"
#include "rtu/protocol/FrameCodec.h"
#include "rtu/protocol/TimeText.h"
#include "rtu/runtime/ProfileFile.h"
#include "rtu/runtime/ServerSettings.h"
#include "rtu/runtime/StationRegistry.h"
#include "rtu/uplink/CutFrames.h"
#include "rtu/uplink/Dispatcher.h"
#include "tests/uplink/Fakes.h"
#include "tools/stationsim/StationFrames.h"

#include <benchmark/benchmark.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

const rtu::sim::StationIdentity kStation{"01", "0000000101", "B7E2"};

// A timed report (code 32) of the test station, as stations send it.
std::string TimedReport(std::uint16_t serial)
{
    const rtu::CalendarTime now = rtu::LocalNow();
    const rtu::sim::StationReadings readings(7);
    return rtu::sim::EncodeUplinkFrame(
        kStation, "32", rtu::sim::ReportBody(rtu::sim::ReportKind::kTimed, kStation, serial, now, now, readings));
}

void BM_CalcCrc16(benchmark::State& state)
{
    const std::string bytes(static_cast<std::size_t>(state.range(0)), 'A');
    for (auto _ : state) benchmark::DoNotOptimize(rtu::CalcCrc16(bytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CalcCrc16)->Arg(64)->Arg(4096);

void BM_VerifyCheckCode(benchmark::State& state)
{
    const std::string frame = TimedReport(1);
    for (auto _ : state) benchmark::DoNotOptimize(rtu::VerifyCheckCode(frame));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(BM_VerifyCheckCode);

class CountFrames : public rtu::FrameSink {
public:
    void OnFrame(std::string_view frame) override { bytes += frame.size(); ++frames; }
    std::size_t bytes = 0;
    std::size_t frames = 0;
};

// A stream of reports cut in TCP-sized blocks (the argument), so frames
// straddle blocks as they do on a real connection.
void BM_CutFrames(benchmark::State& state)
{
    std::string stream;
    for (std::uint16_t i = 1; stream.size() < (1u << 20); ++i) stream += TimedReport(i);
    const std::size_t block = static_cast<std::size_t>(state.range(0));
    CountFrames sink;
    for (auto _ : state) {
        rtu::FramingState framing;
        for (std::size_t at = 0; at < stream.size(); at += block) {
            rtu::CutFrames(framing, std::string_view(stream).substr(at, block), sink);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(sink.frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CutFrames)->Arg(1460)->Arg(8192);

// One report from a bound station through the dispatcher: checks, the
// acknowledgement, the statements of both databases handed to the queue.
// Argument 1: the log lines are formatted as with the delivered logging
// (every line at DEBUG) and handed to an appender that drops them;
// argument 0: the MAIN logger at ERROR, so the lines are not formatted.
void BM_ParseTimedReport(benchmark::State& state)
{
    log4cplus::Logger main = log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("MAIN"));
    main.removeAllAppenders();
    main.addAppender(log4cplus::SharedAppenderPtr(new log4cplus::NullAppender()));
    main.setAdditivity(false);
    main.setLogLevel(state.range(0) != 0 ? log4cplus::DEBUG_LOG_LEVEL : log4cplus::ERROR_LOG_LEVEL);

    rtu::testing::RecordingView view;
    rtu::testing::RecordingTransport transport;
    rtu::testing::RecordingDatabase database;
    rtu::testing::RecordingPictures pictures;
    rtu::SettingsStore settings;
    rtu::ServerSettings s;
    s.main.dbMode = 1;
    s.third.dbMode = 1;
    settings.Replace(s);
    database.lastLevel = "12.34";
    rtu::StationRegistry registry{view, transport};
    rtu::Dispatcher dispatcher{registry, transport, view, database, pictures, settings,
                               [](const std::string& station) { return station; }};
    registry.LockNetwork().BindConnection(5, "127.0.0.1", kStation.station, "", "");

    std::vector<std::string> frames;
    for (std::uint16_t i = 1; i <= 64; ++i) frames.push_back(TimedReport(i));
    std::size_t next = 0;
    for (auto _ : state) {
        dispatcher.ParseFrame(5, frames[next], rtu::kNetworkLink);
        next = (next + 1) % frames.size();
        if (transport.sent.size() > 4096) {
            // Keep the fakes' records from growing through the whole run.
            state.PauseTiming();
            transport.sent.clear();
            database.main.clear();
            database.secondary.clear();
            database.lookups.clear();
            view.lines.clear();
            view.states.clear();
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_ParseTimedReport)->ArgName("debug_log")->Arg(1)->Arg(0);

// One key of a server.ini with 2,000 station entries, read from the file as
// the program does for each setting.
void BM_ReadSetting(benchmark::State& state)
{
    char pattern[] = "/tmp/protocol-bench-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd >= 0) ::close(fd);
    const std::string path = pattern;
    {
        std::ofstream out(path);
        out << "[Set]\nPort=5001\nOffLine=120\n\n[Conversion ID]\n";
        for (int i = 0; i < 2000; ++i) out << rtu::sim::StationAddress(1000 + i) << "=" << i << "\n";
        out << "\n[COMM]\nMODE=0\n";
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(rtu::ReadProfileString(path, "COMM", "MODE", rtu::kSettingBufferSize));
    }
    std::remove(path.c_str());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_ReadSetting)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv)
{
    log4cplus::Initializer logging;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

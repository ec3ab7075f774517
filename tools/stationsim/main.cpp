// stationsim: simulated stations for tests, demonstrations and load on a data
// centre. See --help.
#include "tools/stationsim/Simulator.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

using rtu::sim::KindChoice;
using rtu::sim::SimOptions;

constexpr int kExitOk = 0;
constexpr int kExitAcks = 1;   // --expect-acks and something was missing or bad, or no serial line
constexpr int kExitUsage = 2;

void PrintHelp()
{
    std::cout <<
        "usage: stationsim [options]\n"
        "Opens station connections to a data centre, sends reports, checks every\n"
        "acknowledgement, answers downlink commands and prints a summary.\n"
        "\n"
        "Where:\n"
        "  --host NAME          data centre host (default 127.0.0.1)\n"
        "  --port N             data centre port (default 5001)\n"
        "  --serial DEVICE      speak over this serial device instead of TCP (a path such\n"
        "                       as /dev/ttyUSB0 or a pseudo-terminal): every station shares\n"
        "                       the line, raw 8 data bits, no parity, one stop bit\n"
        "  --baud N             rate of the serial line (default 115200)\n"
        "Stations:\n"
        "  --stations N         number of station connections (default 1)\n"
        "  --base N             number of the first station; addresses are 10 digits,\n"
        "                       N, N+1, ... (default 101: 0000000101, 0000000102, ...)\n"
        "  --mode plain|registration\n"
        "                       registration: each connection first sends the 48-character\n"
        "                       enciphered registration packet and waits for its echo\n"
        "  --keep-pictures      registration packet without the fresh-start flag\n"
        "  --centre XX          centre address in the frames (default 01)\n"
        "  --password XXXX      password in the frames (default B7E2)\n"
        "  --wrong-password     send a password the centre refuses (it drops the link)\n"
        "What and how fast:\n"
        "  --kind 32|33|34|35|2F|mix\n"
        "                       timed, alarm, hourly, five-minute reports, keep-alives or a\n"
        "                       mix of the four reports (default 32)\n"
        "  --rate R             reports per second over all stations (default 10; 0: none\n"
        "                       paced, only bursts and keep-alives)\n"
        "  --fast               as fast as acknowledged: one report in flight per station\n"
        "  --count N            reports per station (default 1 when no --duration)\n"
        "  --duration S         seconds of sending\n"
        "  --keepalive S        also send a keep-alive (2F) every S seconds per station\n"
        "  --picture BYTES      each station also sends a picture of BYTES bytes in 81\n"
        "                       packets, window by window as the centre answers (an 81\n"
        "                       picture request starts one of 8192 bytes without it)\n"
        "  --packet-size N      picture bytes per packet (default 1024, at most 2048)\n"
        "  --observed-now       observation time = the clock (default: a 5-minute walk\n"
        "                       from 30 days ago, one time slot per report)\n"
        "  --seed N             seed of the readings (default 1)\n"
        "Load over compressed hours (network only):\n"
        "  --hour S             an hour lasts S seconds: at each top of the hour every\n"
        "                       station sends its burst reports\n"
        "  --burst-window S     the burst is spread over S seconds (default 5)\n"
        "  --burst-reports N    reports per station in each burst (default 1)\n"
        "  --burst-kind K       kind of the burst reports (as --kind; default --kind)\n"
        "  --reconnect-share F  this share of the stations (0..1) closes its link about\n"
        "                       every --reconnect-every seconds, when nothing is in\n"
        "                       flight, and connects again\n"
        "  --reconnect-every S  (default 30)\n"
        "  --garbage N          N more links send random bytes and corrupted frames\n"
        "  --garbage-every S    seconds between writes of a garbage link (default 2)\n"
        "  --half-open N        N more links: silent, part of a frame then silent, or\n"
        "                       sending side shut down, in turn\n"
        "  --sources N          connect from 127.0.0.1 .. 127.0.0.N in turn, for more\n"
        "                       links than one address has ports (default 1)\n"
        "Ending:\n"
        "  --drain S            seconds to wait for the last acknowledgements (default 5)\n"
        "  --connect-timeout S  seconds for a connection and its registration (default 5)\n"
        "  --connect-burst N    connections opened at once (default 64)\n"
        "  --expect-acks        exit 1 unless every station connected, every frame was\n"
        "                       acknowledged correctly and every picture completed\n"
        "  --expect-close       exit 1 unless the centre closed every connection\n"
        "  --verbose            print every frame received and every answer sent\n"
        "  --help               this text\n"
        "\n"
        "Keep-alives are never acknowledged; --kind 2F needs --rate, not --fast.\n"
        "On a serial line the frames of the stations go out whole one after another, and\n"
        "each frame of the centre goes to the station it names.\n"
        "Exit status: 0 done, 1 an expectation failed or the serial device could not be\n"
        "used, 2 usage error.\n";
}

bool ParseNumber(const char* text, double& out)
{
    char* end = nullptr;
    out = std::strtod(text, &end);
    return end != text && *end == '\0';
}

bool ParseInteger(const char* text, std::uint64_t& out)
{
    if (*text == '-' || *text == '\0') return false;
    char* end = nullptr;
    out = std::strtoull(text, &end, 10);
    return *end == '\0';
}

int Usage(const std::string& message)
{
    std::cerr << "stationsim: " << message << " (see --help)\n";
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv)
{
    SimOptions options;
    bool expectAcks = false;
    bool expectClose = false;
    bool countGiven = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        std::uint64_t n = 0;
        double x = 0;
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return kExitOk;
        } else if (arg == "--host") {
            const char* v = value();
            if (v == nullptr) return Usage("--host needs a name");
            options.host = v;
        } else if (arg == "--port") {
            const char* v = value();
            if (v == nullptr || !ParseInteger(v, n) || n == 0 || n > 65535) return Usage("--port needs 1..65535");
            options.port = static_cast<std::uint16_t>(n);
        } else if (arg == "--serial") {
            const char* v = value();
            if (v == nullptr || *v == '\0') return Usage("--serial needs a device path");
            options.serialDevice = v;
        } else if (arg == "--baud") {
            const char* v = value();
            unsigned int speed = 0;
            if (v == nullptr || !ParseInteger(v, n) || !rtu::sim::SerialSpeed(n, speed)) {
                return Usage("--baud needs one of 110 300 600 1200 2400 4800 9600 19200 38400 57600 115200 "
                             "230400 460800 921600");
            }
            options.baud = static_cast<unsigned long>(n);
        } else if (arg == "--stations") {
            const char* v = value();
            if (v == nullptr || !ParseInteger(v, n) || n == 0 || n > 100000) return Usage("--stations needs 1..100000");
            options.stations = static_cast<int>(n);
        } else if (arg == "--base") {
            const char* v = value();
            if (v == nullptr || !ParseInteger(v, n) || n > 9999999999ULL) return Usage("--base needs up to 10 digits");
            options.base = n;
        } else if (arg == "--mode") {
            const char* v = value();
            if (v != nullptr && std::strcmp(v, "plain") == 0) {
                options.registration = false;
            } else if (v != nullptr && std::strcmp(v, "registration") == 0) {
                options.registration = true;
            } else {
                return Usage("--mode needs plain or registration");
            }
        } else if (arg == "--keep-pictures") {
            options.freshStart = false;
        } else if (arg == "--centre") {
            const char* v = value();
            if (v == nullptr || std::strlen(v) != 2) return Usage("--centre needs 2 characters");
            options.centre = v;
        } else if (arg == "--password") {
            const char* v = value();
            if (v == nullptr || std::strlen(v) != 4) return Usage("--password needs 4 characters");
            options.password = v;
        } else if (arg == "--wrong-password") {
            options.wrongPassword = true;
        } else if (arg == "--kind" || arg == "--burst-kind") {
            const char* v = value();
            const std::string k = v != nullptr ? v : "";
            KindChoice kind = KindChoice::kMix;
            if (k == "32") kind = KindChoice::kTimed;
            else if (k == "33") kind = KindChoice::kAlarm;
            else if (k == "34") kind = KindChoice::kHourly;
            else if (k == "35") kind = KindChoice::kFiveMinute;
            else if (k == "2F" || k == "2f") kind = KindChoice::kKeepAlive;
            else if (k == "mix") kind = KindChoice::kMix;
            else return Usage(arg + " needs 32, 33, 34, 35, 2F or mix");
            if (arg == "--kind") {
                options.kind = kind;
            } else {
                options.burstKind = kind;
                options.burstKindGiven = true;
            }
        } else if (arg == "--rate") {
            const char* v = value();
            if (v == nullptr || !ParseNumber(v, x) || !(x >= 0) || x > 1e7) return Usage("--rate needs 0 or a positive number");
            options.rate = x;
        } else if (arg == "--fast") {
            options.fast = true;
        } else if (arg == "--count") {
            const char* v = value();
            if (v == nullptr || !ParseInteger(v, n) || n == 0) return Usage("--count needs a positive number");
            options.count = n;
            countGiven = true;
        } else if (arg == "--duration") {
            const char* v = value();
            if (v == nullptr || !ParseNumber(v, x) || !(x > 0)) return Usage("--duration needs positive seconds");
            options.duration = x;
        } else if (arg == "--keepalive") {
            const char* v = value();
            if (v == nullptr || !ParseNumber(v, x) || !(x > 0)) return Usage("--keepalive needs positive seconds");
            options.keepAlive = x;
        } else if (arg == "--picture") {
            const char* v = value();
            if (v == nullptr || !ParseInteger(v, n) || n < 4 || n > 4000000) return Usage("--picture needs 4..4000000 bytes");
            options.pictureBytes = n;
        } else if (arg == "--packet-size") {
            const char* v = value();
            if (v == nullptr || !ParseInteger(v, n) || n == 0 || n > 2048) return Usage("--packet-size needs 1..2048");
            options.packetSize = n;
        } else if (arg == "--observed-now") {
            options.observedNow = true;
        } else if (arg == "--seed") {
            const char* v = value();
            if (v == nullptr || !ParseInteger(v, n)) return Usage("--seed needs a number");
            options.seed = static_cast<std::uint32_t>(n);
        } else if (arg == "--drain") {
            const char* v = value();
            if (v == nullptr || !ParseNumber(v, x) || x < 0) return Usage("--drain needs seconds");
            options.drain = x;
        } else if (arg == "--connect-timeout") {
            const char* v = value();
            if (v == nullptr || !ParseNumber(v, x) || !(x > 0)) return Usage("--connect-timeout needs seconds");
            options.connectTimeout = x;
        } else if (arg == "--connect-burst") {
            const char* v = value();
            if (v == nullptr || !ParseInteger(v, n) || n == 0 || n > 100000) return Usage("--connect-burst needs a positive number");
            options.connectBurst = static_cast<int>(n);
        } else if (arg == "--hour") {
            const char* v = value();
            if (v == nullptr || !ParseNumber(v, x) || !(x > 0) || x > 1e6) return Usage("--hour needs positive seconds");
            options.hour = x;
        } else if (arg == "--burst-window") {
            const char* v = value();
            if (v == nullptr || !ParseNumber(v, x) || !(x > 0) || x > 1e6) return Usage("--burst-window needs positive seconds");
            options.burstWindow = x;
        } else if (arg == "--burst-reports") {
            const char* v = value();
            if (v == nullptr || !ParseInteger(v, n) || n == 0 || n > 100) return Usage("--burst-reports needs 1..100");
            options.burstReports = static_cast<int>(n);
        } else if (arg == "--reconnect-share") {
            const char* v = value();
            if (v == nullptr || !ParseNumber(v, x) || !(x >= 0 && x <= 1)) return Usage("--reconnect-share needs 0..1");
            options.reconnectShare = x;
        } else if (arg == "--reconnect-every") {
            const char* v = value();
            if (v == nullptr || !ParseNumber(v, x) || !(x > 0) || x > 1e6) return Usage("--reconnect-every needs positive seconds");
            options.reconnectEvery = x;
        } else if (arg == "--garbage") {
            const char* v = value();
            if (v == nullptr || !ParseInteger(v, n) || n > 100000) return Usage("--garbage needs 0..100000");
            options.garbage = static_cast<int>(n);
        } else if (arg == "--garbage-every") {
            const char* v = value();
            if (v == nullptr || !ParseNumber(v, x) || !(x > 0) || x > 1e6) return Usage("--garbage-every needs positive seconds");
            options.garbageEvery = x;
        } else if (arg == "--half-open") {
            const char* v = value();
            if (v == nullptr || !ParseInteger(v, n) || n > 100000) return Usage("--half-open needs 0..100000");
            options.halfOpen = static_cast<int>(n);
        } else if (arg == "--sources") {
            const char* v = value();
            if (v == nullptr || !ParseInteger(v, n) || n == 0 || n > 254) return Usage("--sources needs 1..254");
            options.sources = static_cast<int>(n);
        } else if (arg == "--expect-acks") {
            expectAcks = true;
        } else if (arg == "--expect-close") {
            expectClose = true;
        } else if (arg == "--verbose" || arg == "-v") {
            options.verbose = true;
        } else {
            return Usage("unknown option " + arg);
        }
    }
    if (options.fast && options.kind == KindChoice::kKeepAlive) {
        return Usage("keep-alives are not acknowledged: use --rate with --kind 2F");
    }
    if (!options.serialDevice.empty() && options.registration) {
        return Usage("registration packets belong to network links, not to --serial");
    }
    if (!options.fast && options.rate <= 0 && options.hour <= 0 && options.keepAlive <= 0) {
        return Usage("with --rate 0 nothing is sent: give --hour, --keepalive or --fast");
    }
    if (!countGiven && options.duration <= 0) {
        options.count = 1;
    }

    const std::uint64_t wanted =
        static_cast<std::uint64_t>(options.stations) + static_cast<std::uint64_t>(options.garbage + options.halfOpen) + 64;
    const std::uint64_t limit = rtu::sim::RaiseOpenFileLimit(wanted);
    if (limit < wanted) {
        std::cerr << "stationsim: only " << limit << " open files allowed; " << options.stations
                  << " stations and " << options.garbage + options.halfOpen << " other links need " << wanted << '\n';
        return kExitUsage;
    }

    const rtu::sim::SimSummary summary = rtu::sim::RunSimulation(options, std::cout);
    summary.Print(std::cout);
    std::cout.flush();

    // A serial device that cannot be used ends the run before any station
    // starts: that is a failure whatever was expected.
    bool failed = !options.serialDevice.empty() && summary.connected == 0;
    if (expectAcks) {
        const bool allAcked = summary.connectFailures == 0 && summary.registrationFailures == 0 &&
                              summary.badAcks == 0 && summary.missingAcks == 0 &&
                              summary.acknowledged == summary.expectedAcks &&
                              summary.picturesCompleted == summary.picturesStarted;
        if (!allAcked) {
            std::cerr << "stationsim: expected every frame acknowledged correctly\n";
            failed = true;
        }
    }
    if (expectClose && summary.closedByCentre != summary.connected) {
        std::cerr << "stationsim: expected the centre to close every connection (closed "
                  << summary.closedByCentre << " of " << summary.connected << ")\n";
        failed = true;
    }
    return failed ? kExitAcks : kExitOk;
}

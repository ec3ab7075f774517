// Recording stand-ins for what the receive path and the dispatcher talk to:
// the operator's view, the network and serial transports, the databases and
// picture reception.
#pragma once

#include "rtu/protocol/Crc16.h"
#include "rtu/runtime/LinkTransport.h"
#include "rtu/runtime/RuntimeView.h"
#include "rtu/uplink/PicturePacket.h"
#include "rtu/uplink/ReportSink.h"
#include "rtu/uplink/StatementTarget.h"

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace rtu::testing {

struct RecordingView : RuntimeView {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<std::pair<std::string, StationState>> states;
    std::vector<std::pair<int, std::string>> answers;

    void PostLogLine(const std::string& text) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(text);
    }
    void PostStationState(const std::string& station, StationState state, int) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        states.emplace_back(station, state);
    }
    void DeliverAnswer(int code, const std::string& frameText) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        answers.emplace_back(code, frameText);
    }
    void ClearStations() override {}
    void ShowMessage(const std::string& text) override { PostLogLine(text); }

    bool WentOffline(const std::string& station)
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& [s, state] : states)
            if (s == station && state == StationState::Offline) return true;
        return false;
    }
};

struct RecordingTransport : LinkTransport {
    std::vector<std::pair<int, std::string>> sent;
    std::vector<int> closed;
    std::vector<std::string> serial;

    bool SendTcp(int id, const std::uint8_t* bytes, std::size_t length) override
    {
        sent.emplace_back(id, std::string(reinterpret_cast<const char*>(bytes), length));
        return true;
    }
    void CloseTcp(int id) override { closed.push_back(id); }
    bool WriteSerial(const std::uint8_t* bytes, std::size_t length) override
    {
        serial.emplace_back(reinterpret_cast<const char*>(bytes), length);
        return true;
    }
};

// Both ways into the databases: statements queued directly (pictures, the
// command table) and reports kept for their rows, whose statements are
// recorded with their values written in, and acknowledged at once.
struct RecordingDatabase : StatementTarget, ReportSink {
    bool mainUsed = true;
    bool secondaryUsed = true;
    bool refuse = false;  // the journal is full: nothing is kept
    std::vector<std::string> main;
    std::vector<std::string> secondary;
    std::vector<StoredReport> kept;
    std::vector<std::string> lookups;
    // Answers to look-ups: rows for the main database, a value for the secondary one.
    std::function<storage::Rows(const std::string&)> rowsFor = [](const std::string&) { return storage::Rows{}; };
    std::string lastLevel;

    bool Used(Database db) const override { return db == Database::Main ? mainUsed : secondaryUsed; }
    void Enqueue(Database db, const std::string& statement, const std::string&) override
    {
        if (!Used(db)) return;
        (db == Database::Main ? main : secondary).push_back(statement);
    }
    Kept Keep(StoredReport report, std::function<void()> acknowledge) override
    {
        if (!mainUsed && !secondaryUsed) return Kept::NotNeeded;
        if (refuse) return Kept::Refused;
        for (const ReportStatement& s : BuildReportStatements(report, mainUsed, secondaryUsed))
            (s.db == Database::Main ? main : secondary).push_back(RenderStatement(StatementText(s.kind), s.params));
        kept.push_back(std::move(report));
        acknowledge();
        return Kept::Yes;
    }
    bool QueryRows(Database, const std::string& statement, const std::string&, storage::Rows& rows) override
    {
        lookups.push_back(statement);
        rows = rowsFor(statement);
        return true;
    }
    bool QueryValue(Database, const std::string& statement, const std::string&, std::string& value) override
    {
        lookups.push_back(statement);
        value = lastLevel;
        return true;
    }
};

struct RecordingPictures : PictureReception {
    std::vector<PicturePacket> packets;
    std::vector<std::string> discarded;
    void StorePicturePacket(const PicturePacket& packet) override { packets.push_back(packet); }
    void DiscardPicture(const std::string& station) override { discarded.push_back(station); }
};

// An uplink frame as a station writes it: SOH, centre, station, password,
// function code, direction flag, body length, start of body, body, ETX and
// the check code.
inline std::string UplinkFrame(const std::string& station, const std::string& functionCode, const std::string& body,
                               const std::string& centre = "01", const std::string& password = "B7E2",
                               char startOfBody = '\x02')
{
    char length[4];
    std::snprintf(length, sizeof length, "%03X", static_cast<unsigned>(body.size()));
    std::string frame = std::string("\x01") + centre + station + password + functionCode + "0" + length +
                        startOfBody + body + "\x03";
    char check[5];
    std::snprintf(check, sizeof check, "%04X", CalcCrc16(frame));
    return frame + check;
}

}  // namespace rtu::testing

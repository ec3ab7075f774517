// Picture reception: stations send a JPEG picture as numbered packets
// (function code 81). Packets are collected per station in windows of five;
// a complete window is appended to the picture's file first and acknowledged
// only once it is written, a window with gaps gets a request for the missing
// packets, and a picture whose last window is filed is recorded in the main
// database with pro_updateImage.
//
// Files: <Pict>/<YYYYMMDD>/<station>-<camera>-<type>-<flag>.jpg, the day
// folder and the name fixed when the picture's first window is filed (a
// picture that spans midnight stays in one file). An existing file of that
// name (an earlier picture) is never touched: the picture takes the first
// free name with "-1", "-2" ... before ".jpg". The database receives the name
// relative to Pict as "<YYYYMMDD>\<file>", the form readers of the table
// expect. Values from the station that end up in the name have "..", "/",
// "\" and control characters replaced by "_". An empty Pict keeps pictures in
// "Pictures" under the current directory.
//
// Pictures in progress are bounded by PictureMaxCount and PictureMaxMB (the
// packets held, their station values and the bookkeeping of each picture):
// a packet that would take them beyond either drops the pictures that have
// gone longest without a packet until it fits, the one it belongs to never.
// Drops are logged at most once per 10 s, with how many there were.
//
// Threads: StorePicturePacket and DiscardPicture run on the parse threads (and
// the receive path), ExamineWindows on the picture thread, RemoveStale on the
// online-check thread, IsRecevingImage on the thread that decides a scheduled
// restart. Everything happens under the picture lock, file writes included;
// answers to stations (sendCommand) and log-pane lines are made after it is
// released, so the picture lock is never held while the registry lock is taken.
#pragma once

#include "rtu/runtime/RuntimeView.h"
#include "rtu/runtime/ServerSettings.h"
#include "rtu/uplink/PicturePacket.h"
#include "rtu/uplink/StatementTarget.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace rtu {

class PictureStore : public PictureReception {
public:
    // Builds and sends a downlink command (function code "81" here) to a
    // station on its link; false when nothing was sent.
    using SendCommandFn = std::function<bool(const std::string& station, const std::string& functionCode,
                                             const std::string& body, int linkKind)>;

    // Steady time for the 60 s, 300 s and 1800 s rules; wall time (seconds
    // since 1970, shown in local time) for the day folder. Tests replace both.
    struct Clock {
        std::function<std::chrono::steady_clock::time_point()> steadyNow;
        std::function<std::time_t()> wallNow;
    };

    static constexpr int kWindowSlots = 5;
    // A window with gaps is asked for again after this long without a change.
    static constexpr std::chrono::seconds kWindowRetry{60};
    // A picture counts as being received while its window changed this recently.
    static constexpr std::chrono::seconds kReceivingLimit{1800};

    PictureStore(const SettingsStore& settings, StatementTarget& statements, RuntimeView& view,
                 SendCommandFn sendCommand);
    ~PictureStore() override = default;

    PictureStore(const PictureStore&) = delete;
    PictureStore& operator=(const PictureStore&) = delete;

    void SetClock(Clock clock);

    // PictureReception.
    void StorePicturePacket(const PicturePacket& packet) override;
    void DiscardPicture(const std::string& station) override;

    // One pass of the picture thread over every picture in progress, in
    // station order: a window is examined when it holds five packets, when it
    // holds the picture's last packet (since it came or since the window
    // became the current one), or when it has not changed for kWindowRetry.
    // Complete windows are filed and acknowledged, others get a request for
    // their missing packets; a picture whose following window is due as well
    // is examined again in the same pass.
    void ExamineWindows();

    // Forgets pictures whose last packet is at least `age` old; returns how
    // many went. The online check calls it with 301 seconds.
    std::size_t RemoveStale(std::chrono::seconds age);

    // True while some picture is incomplete and its window changed less than
    // kReceivingLimit ago.
    bool IsRecevingImage();

    // Pictures in progress, and the bytes they hold as counted for PictureMaxMB.
    std::size_t InProgress() const;
    std::size_t HeldBytes() const;
    // Pictures dropped to stay within PictureMaxCount and PictureMaxMB.
    std::uint64_t DroppedForRoom() const;

    // The database record of a filed picture (pro_updateImage); `relative`
    // is its name relative to Pict, "<YYYYMMDD>\<file>".
    static std::string ImageStatement(const std::string& station, const std::string& camera, const std::string& flag,
                                      const std::string& type, const std::string& relative);

    // A station value made safe for a file name: "..", "/", "\" and control
    // characters become "_"; other characters stay.
    static std::string SafeNamePart(std::string_view value);

private:
    using TimePoint = std::chrono::steady_clock::time_point;

    struct Window {
        std::array<int, kWindowSlots> numbers{};  // packet held in each slot, 0 = empty
        std::array<std::string, kWindowSlots> bytes;  // each slot's payload at its own length
        int count = 0;  // packets stored since the window was last examined
        TimePoint time{};

        void Clear()
        {
            numbers.fill(0);
            for (std::string& slot : bytes) slot.clear();
            count = 0;
        }
    };

    struct Picture {
        int linkKind = 0;
        int window = 1;  // W: the current window covers packets 5(W-1)+1 .. 5W
        int lastNumber = 0;
        int total = 0;
        std::string camera;
        std::string type;
        std::string flag;
        TimePoint lastPacketTime{};
        bool lastPacketArrived = false;  // the final packet came since the last examination
        TimePoint holdUntil{};           // after a file error: not examined before this
        Window current;
        Window next;
        // Where the picture is filed, fixed when its first window is written.
        std::string folderPath;  // where the file is
        std::string dayFolder;   // its day folder's name, for the database
        std::string fileName;
        std::uint64_t filedBytes = 0;
        std::size_t held = 0;  // what this picture adds to heldBytes_
    };

    struct Answer {
        std::string station;
        std::string body;
        int linkKind = 0;
    };

    enum class Examined { Kept, Remove };

    using Pictures = std::map<std::string, Picture>;

    static void PutPacket(Picture& picture, const PicturePacket& packet, TimePoint now);
    static bool Due(const Picture& picture, TimePoint now);
    // Brings picture.held and heldBytes_ up to date after a change.
    void Account(const std::string& station, Picture& picture);
    Pictures::iterator Forget(Pictures::iterator it);
    // Drops the pictures longest without a packet, never `keep`, until the
    // limits hold.
    void MakeRoom(const std::string& keep, TimePoint now);
    Examined Examine(const std::string& station, Picture& picture, TimePoint now, std::vector<Answer>& answers,
                     std::vector<std::string>& lines);
    bool File(const std::string& station, Picture& picture, const std::string& bytes, std::string& error);
    std::string PictureFolder();
    std::string DayFolderName() const;

    const SettingsStore& settings_;
    StatementTarget& statements_;
    RuntimeView& view_;
    SendCommandFn sendCommand_;
    Clock clock_;

    mutable std::mutex pictureLock_;  // guards everything below
    Pictures pictures_;
    std::size_t heldBytes_ = 0;
    std::uint64_t droppedForRoom_ = 0;
    std::uint64_t droppedUnlogged_ = 0;  // since the last log line about them
    TimePoint droppedLoggedAt_{};
    bool droppedLogged_ = false;
    bool emptyPictLogged_ = false;
};

}  // namespace rtu

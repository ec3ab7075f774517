// CMainFrame: the owner of the data centre's whole runtime for the life of
// the process: the settings in memory, the network library wrapper, the two
// database pools, the station registry, the frame queues, picture reception,
// and the five runtime threads. The windowed and the headless programs both
// drive it; what it has to show goes to the RuntimeView they give it.
//
// Threads: Create, StartService, StopService and Destroy belong to the
// program's main (user-interface) thread. The network library's callbacks
// arrive on its worker threads. Every lock and its order: rtu/runtime/Locks.h.
#pragma once

#include "rtu/journal/JournalApplier.h"
#include "rtu/journal/ReportJournal.h"
#include "rtu/runtime/CommandQueue.h"
#include "rtu/runtime/LinkTransport.h"
#include "rtu/runtime/PictureStore.h"
#include "rtu/runtime/RuntimeThread.h"
#include "rtu/runtime/RuntimeView.h"
#include "rtu/runtime/ServerSettings.h"
#include "rtu/runtime/StationRegistry.h"
#include "rtu/storage/SqlWorkerPool.h"
#include "rtu/transport/HvLinkCore.h"
#include "rtu/transport/Serial.h"
#include "rtu/uplink/CommFrameQueue.h"
#include "rtu/uplink/Dispatcher.h"
#include "rtu/uplink/FrameQueue.h"
#include "rtu/uplink/PicturePacket.h"
#include "rtu/uplink/ReceiveFrontEnd.h"
#include "rtu/uplink/ReportSink.h"
#include "rtu/uplink/StatementTarget.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace rtu {

class CMainFrame : private LinkEvents, private LinkTransport, private StatementTarget, private ReportSink {
public:
    explicit CMainFrame(RuntimeView& view);
    ~CMainFrame() override;

    CMainFrame(const CMainFrame&) = delete;
    CMainFrame& operator=(const CMainFrame&) = delete;

    // Reads the settings, initialises the network library, creates the
    // runtime threads and starts the service. False when the network library
    // could not be initialised ("NetInit Fail"): no threads, no service.
    bool Create();
    // Starts the service; false (and a message) when the TCP server failed
    // or server.ini gave no usable port.
    bool StartService();
    // Why the last StartService failed; empty after a successful start.
    const std::string& StartFailure() const { return startFailure_; }
    // Stops the service: frames still queued are dropped, every connection is
    // closed, the journal written, the databases given a while to take what
    // it holds (the rest stays in the journal for the next start), the
    // station list emptied.
    void StopService();
    // Ends the runtime threads (the program is closing).
    void Destroy();

    bool Running() const { return running_.load(); }

    const SettingsStore& Settings() const { return settings_; }
    SettingsStore& Settings() { return settings_; }
    StationRegistry& Registry() { return registry_; }

    // Builds a command frame for the station from its link record and sends
    // it on its link (network or serial). False when nothing was sent.
    bool SendCommand(const std::string& station, const std::string& functionCode, const std::string& commandText,
                     int linkKind);
    // Sends a prepared frame on the station's link.
    SendResult SendRaw(const std::string& station, const std::uint8_t* bytes, std::size_t length);

    // True while a picture is being received (the scheduled restart waits).
    bool IsRecevingImage() { return pictures_.IsRecevingImage(); }

    // The storage number of a station: its Conversion ID, or its address.
    static std::string StorageNumberOf(const std::string& station);

    // The ODBC connection string of a database section's settings.
    static std::string ConnectionStringOf(const DatabaseSettings& settings);

private:
    // LinkEvents: the network library's callbacks.
    void OnTcpData(const char* peer, int connectionId, const char* bytes, int length) override;
    void OnTcpClientClosed(int connectionId) override;
    void OnTcpServerClosed() override;

    // LinkTransport: sends and closes towards stations.
    bool SendTcp(int connectionId, const std::uint8_t* bytes, std::size_t length) override;
    void CloseTcp(int connectionId) override;
    bool WriteSerial(const std::uint8_t* bytes, std::size_t length) override;

    // ReportSink: acknowledged reports go to the journal.
    Kept Keep(StoredReport report, std::function<void()> acknowledge) override;
    // Opens the journal and starts the database writers.
    void StartJournal(const ServerSettings& settings, bool& mainWritable, bool& thirdWritable);
    void StopJournal();

    // StatementTarget: the two pools behind the DBMode gates (pictures, the
    // online stamps and the command table).
    bool Used(Database db) const override;
    void Enqueue(Database db, const std::string& statement, const std::string& orderKey) override;
    bool QueryRows(Database db, const std::string& statement, const std::string& orderKey,
                   storage::Rows& rows) override;
    bool QueryValue(Database db, const std::string& statement, const std::string& orderKey,
                    std::string& value) override;

    storage::CSqlWorkerPool& Pool(Database db) { return db == Database::Main ? mainPool_ : thirdPool_; }
    // Starts a pool's workers; true when its database answers.
    bool StartPool(Database db, const DatabaseSettings& settings);
    void OpenSerialLine(const SerialSettings& comm);
    void CloseSerialLine(const SerialSettings& comm);

    // Bodies of the runtime threads.
    void ParseCycle();
    void CommParseCycle();
    void PictureCycle();
    void OnlineCycle();
    void CommandCycle();
    void ParseQueuedFrame(FrameQueue& queue, RuntimeThread& thread, bool serial);
    // Acts on an answer (a restart closes the station's link) and hands it to
    // the view. Called with no lock held.
    void HandOverAnswer(const ParsedAnswer& answer);

    RuntimeView& view_;
    SettingsStore settings_;
    CHv_LinkCore linkCore_;
    storage::CSqlWorkerPool mainPool_;
    storage::CSqlWorkerPool thirdPool_;
    journal::ReportJournal journal_;
    journal::JournalApplier mainWriter_{journal_, Database::Main};
    journal::JournalApplier thirdWriter_{journal_, Database::Secondary};
    StationRegistry registry_;
    PictureStore pictures_;
    PoolCommandTable commandTable_;
    CommandQueue commandQueue_;
    // No connection may hold more than its share of the network queue.
    FrameQueue netQueue_{FrameQueue::kMaxItems, FrameQueue::kMaxBytes, FrameQueue::kMaxPerConnection};
    CCommFrameQueue commQueue_;
    // Guards opening and closing the serial line; never held with the registry lock.
    std::mutex serialLineLock_;
    // Declared after the queue it feeds: destroyed first, so its reader
    // thread has ended before the queue goes.
    CSerial serial_;
    ReceiveFrontEnd frontEnd_;
    Dispatcher dispatcher_;

    // Held by a parse thread while it handles a frame (0 network, 1 serial),
    // so a stop can wait for the frame in hand.
    std::mutex parseGate_[2];

    std::atomic<bool> running_{false};
    std::atomic<bool> stopping_{false};  // a stop is under way: statements queue beyond the limit
    std::atomic<bool> threadsCreated_{false};
    std::uint16_t servicePort_ = 0;
    std::string startFailure_;  // main thread only, like StartService

    RuntimeThread parseThread_{"network parse"};
    RuntimeThread commParseThread_{"serial parse"};
    RuntimeThread pictureThread_{"picture"};
    RuntimeThread onlineThread_{"online check"};
    RuntimeThread commandThread_{"command queue"};
};

}  // namespace rtu

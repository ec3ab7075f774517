#include "rtu/runtime/MainFrame.h"

#include "rtu/control/StationAnswer.h"
#include "rtu/protocol/FrameCodec.h"
#include "rtu/protocol/HexText.h"
#include "rtu/common/Log.h"
#include "rtu/common/RateLimitedLog.h"
#include "rtu/runtime/Settings.h"
#include "rtu/runtime/TextFormat.h"
#include "rtu/storage/SqlDialect.h"

#include <thread>

namespace rtu {

namespace {

constexpr std::chrono::milliseconds kPicturePeriod{300};
constexpr std::chrono::milliseconds kOnlinePeriod{10000};
constexpr std::chrono::seconds kPictureAbandoned{301};
constexpr std::chrono::milliseconds kFullQueueWait{60000};
constexpr std::chrono::milliseconds kCommandIdle{2000};
constexpr std::chrono::milliseconds kCommandBusy{100};
// How long a stop lets each database writer take the journal's backlog.
constexpr std::chrono::milliseconds kJournalDrain{10000};
constexpr int kHexDumpWidth = 40;

storage::DbSettings ToDbSettings(const DatabaseSettings& s)
{
    storage::DbSettings db;
    db.driver = s.driver;
    db.source = s.source;
    db.name = s.name;
    db.user = s.user;
    db.pwd = s.pwd;
    db.tdsVersion = s.tdsVersion;
    return db;
}

}  // namespace

CMainFrame::CMainFrame(RuntimeView& view)
    : view_(view),
      registry_(view, *this),
      pictures_(settings_, *this, view,
                [this](const std::string& station, const std::string& functionCode, const std::string& body,
                       int linkKind) { return SendCommand(station, functionCode, body, linkKind); }),
      commandTable_(mainPool_),
      commandQueue_(
          commandTable_,
          [this](const std::string& station, const std::uint8_t* bytes, std::size_t length) {
              return SendRaw(station, bytes, length);
          },
          [this] { return registry_.LinkedStations(); }),
      frontEnd_(registry_, netQueue_, view, settings_,
                [this](const std::string& station) { pictures_.DiscardPicture(station); }),
      dispatcher_(registry_, *this, view, *this, pictures_, settings_, &CMainFrame::StorageNumberOf)
{
    commQueue_.SetDropReport([this](std::uint64_t) { view_.PostLogLine(LoadText("MainFrame", "Text54")); });
}

CMainFrame::~CMainFrame()
{
    if (running_) StopService();
    Destroy();
}

std::string CMainFrame::ConnectionStringOf(const DatabaseSettings& settings)
{
    return storage::BuildConnectionString(ToDbSettings(settings));
}

std::string CMainFrame::StorageNumberOf(const std::string& station)
{
    std::string number = ReadSetting("Conversion ID", station);
    return number.empty() ? station : number;
}

// ---- life cycle ---------------------------------------------------------

bool CMainFrame::Create()
{
    settings_.Replace(LoadServerSettings());
    if (!linkCore_.Initialise()) {
        RTU_LOG_DEBUG("NetInit Fail");
        return false;
    }

    netQueue_.Rearm();
    commQueue_.Rearm();
    parseThread_.SetWakeHook([this] { netQueue_.Interrupt(); });
    commParseThread_.SetWakeHook([this] { commQueue_.Interrupt(); });
    parseThread_.Start([this] { ParseCycle(); });
    commParseThread_.Start([this] { CommParseCycle(); });
    pictureThread_.Start([this] { PictureCycle(); });
    onlineThread_.Start([this] { OnlineCycle(); });
    commandThread_.Start([this] { CommandCycle(); });
    threadsCreated_ = true;

    StartService();
    return true;
}

void CMainFrame::Destroy()
{
    if (!threadsCreated_.exchange(false)) return;
    parseThread_.Stop();
    onlineThread_.Stop();
    commandThread_.Stop();
    pictureThread_.Stop();
    commParseThread_.Stop();
}

bool CMainFrame::StartService()
{
    if (running_) return true;
    startFailure_.clear();
    const auto settings = settings_.Current();
    servicePort_ = settings->port;
    if (servicePort_ == 0) {
        startFailure_ = "server.ini [Set] Port is not a whole number: no port to listen on";
        view_.ShowMessage(LoadText("MainFrame", "Text3"));
        view_.PostLogLine(startFailure_);
        RTU_LOG_ERROR("the service does not start: " << startFailure_);
        return false;
    }

    // The pools are ready before the first station can connect, so that its
    // first report finds them; they are reported once the server listens.
    const bool mainUsed = settings->main.Used();
    const bool thirdUsed = settings->third.Used();
    if (mainUsed) StartPool(Database::Main, settings->main);
    if (thirdUsed) StartPool(Database::Secondary, settings->third);
    bool mainConnected = false;
    bool thirdConnected = false;
    if (mainUsed || thirdUsed) StartJournal(*settings, mainConnected, thirdConnected);

    linkCore_.SetConnectionLimits(static_cast<std::size_t>(settings->maxUnsentKB) * 1024, settings->unboundTimeout);
    if (!linkCore_.Start(servicePort_, *this)) {
        StopJournal();
        mainPool_.Stop();
        thirdPool_.Stop();
        startFailure_ = "the TCP server could not listen on port " + std::to_string(servicePort_) +
                        " (in use by another program, or not allowed)";
        view_.ShowMessage(LoadText("MainFrame", "Text3"));
        RTU_LOG_ERROR(startFailure_);
        return false;
    }
    onlineThread_.Resume();
    if (mainUsed) {
        commandThread_.Resume();
        view_.PostLogLine(LoadText("MainFrame", mainConnected ? "Text4" : "Text5"));
    }
    if (thirdUsed) view_.PostLogLine(LoadText("MainFrame", thirdConnected ? "Text6" : "Text7"));
    running_ = true;

    const std::string started = FormatConfigText("MainFrame", "Text8", {static_cast<int>(servicePort_)});
    view_.PostLogLine(started);
    RTU_LOG_DEBUG(started);
    if (!mainUsed && !thirdUsed) {
        // Stations delete what is acknowledged: say plainly that it is kept nowhere.
        const char* const noDatabase =
            "no database configured (DBMode of [Set] and [SetThird] is not 1): reports are acknowledged but not "
            "stored";
        view_.PostLogLine(noDatabase);
        RTU_LOG_ERROR(noDatabase);
    }

    if (settings->comm.mode != 0) OpenSerialLine(settings->comm);
    return true;
}

void CMainFrame::OpenSerialLine(const SerialSettings& comm)
{
    std::lock_guard<std::mutex> lock(serialLineLock_);
    if (serial_.IsOpen()) return;
    // Received bytes are framed on the line's reader thread, in order; each
    // complete frame wakes the serial parse thread.
    const bool opened = serial_.Open(
        comm, [this](std::string_view bytes) { commQueue_.OnSerialBytes(bytes); },
        [this, device = comm.com] { view_.PostLogLine("serial line " + device + " lost"); });
    if (opened) {
        const std::string text = FormatConfigText("MainFrame", "Text10", {comm.com, comm.baudRate});
        view_.PostLogLine(text);
        RTU_LOG_DEBUG(text);
    } else {
        view_.ShowMessage(LoadText("MainFrame", "Text9"));
        view_.PostLogLine("打开串口失败,请检查串口参数");
    }
}

void CMainFrame::CloseSerialLine(const SerialSettings& comm)
{
    {
        std::lock_guard<std::mutex> lock(serialLineLock_);
        if (serial_.IsOpen()) {
            serial_.Close();
            const std::string text = FormatConfigText("MainFrame", "Text12", {comm.com, comm.baudRate});
            view_.PostLogLine(text);
            RTU_LOG_DEBUG(text);
        }
        commQueue_.Reset();
    }
    registry_.ClearSerialStations();
}

bool CMainFrame::StartPool(Database db, const DatabaseSettings& settings)
{
    storage::CSqlWorkerPool& pool = Pool(db);
    pool.SetConnection(ToDbSettings(settings));
    return pool.Start();
}

// A database counts as connected only when a write to it works: a read-only
// file or a server that refuses writes takes no rows.
void CMainFrame::StartJournal(const ServerSettings& settings, bool& mainWritable, bool& thirdWritable)
{
    journal::ReportJournal::Options options;
    options.path = settings.journalFile;
    options.maxBytes = static_cast<std::uint64_t>(settings.journalMaxMB) * 1024 * 1024;
    options.syncEachCommit = settings.journalSync;
    options.writers = (settings.main.Used() ? 1 : 0) + (settings.third.Used() ? 1 : 0);
    std::string error;
    if (!journal_.Open(options, error)) {
        const std::string text = "report journal " + options.path + " cannot be opened (" + error +
                                 "): no report is acknowledged until it can";
        RTU_LOG_ERROR(text);
        view_.PostLogLine(text);
        return;
    }
    const auto start = [&](journal::JournalApplier& writer, const DatabaseSettings& db, Database which) {
        writer.SetConnectionString(ConnectionStringOf(db));
        std::string why;
        const bool writable = writer.TestWrite(why);
        if (!writable)
            RTU_LOG_ERROR(journal::DatabaseName(which)
                          << " database cannot be written (" << why << "): reports wait in the journal "
                          << options.path << " until it can");
        writer.Start();
        return writable;
    };
    if (settings.main.Used()) mainWritable = start(mainWriter_, settings.main, Database::Main);
    if (settings.third.Used()) thirdWritable = start(thirdWriter_, settings.third, Database::Secondary);
}

// What was submitted is written (and acknowledged, where the link is still
// there); the writers get a while for the backlog; the rest stays in the
// journal, and the log says how much, for the next start to write.
void CMainFrame::StopJournal()
{
    if (!journal_.IsOpen()) return;
    journal_.Close();
    mainWriter_.RequestStop(kJournalDrain);
    thirdWriter_.RequestStop(kJournalDrain);
    const std::int64_t mainLeft = mainWriter_.Stop(kJournalDrain);
    const std::int64_t thirdLeft = thirdWriter_.Stop(kJournalDrain);
    for (const auto& [left, which] : {std::pair{mainLeft, Database::Main}, std::pair{thirdLeft, Database::Secondary}}) {
        if (left <= 0) continue;
        const std::string text = std::to_string(left) + " reports not yet written to the " +
                                 journal::DatabaseName(which) + " database stay in the report journal " +
                                 journal_.Path() + "; they are written at the next start";
        RTU_LOG_ERROR(text);
        view_.PostLogLine(text);
    }
}

ReportSink::Kept CMainFrame::Keep(StoredReport report, std::function<void()> acknowledge)
{
    const auto settings = settings_.Current();
    if (!settings->main.Used() && !settings->third.Used()) return Kept::NotNeeded;
    switch (journal_.Submit(std::move(report), std::move(acknowledge))) {
    case journal::ReportJournal::Submitted::Accepted:
        return Kept::Yes;
    case journal::ReportJournal::Submitted::Full:
    case journal::ReportJournal::Submitted::Closed:
        break;
    }
    return Kept::Refused;
}

void CMainFrame::StopService()
{
    if (!running_) return;
    const auto settings = settings_.Current();
    stopping_ = true;

    // Receive events are ignored from here on; every connection is closed,
    // the library stopped, and the maps emptied again for callbacks that
    // arrived while it was stopping. Frames still queued were not answered
    // yet and are dropped: their stations send them again.
    registry_.BeginStop();
    std::this_thread::yield();
    linkCore_.Stop(servicePort_);
    registry_.FinishStop();
    netQueue_.Clear();
    // The line is closed whenever it is open, even if MODE was changed meanwhile.
    CloseSerialLine(settings->comm);

    // A frame being parsed may be on its way into the journal: it is in
    // before the journal closes.
    { std::lock_guard<std::mutex> net(parseGate_[0]), serial(parseGate_[1]); }
    StopJournal();
    mainPool_.Stop();
    thirdPool_.Stop();

    onlineThread_.Pause();
    if (settings->main.Used()) commandThread_.Pause();
    view_.ClearStations();
    running_ = false;
    stopping_ = false;

    const std::string stopped = FormatConfigText("MainFrame", "Text11", {static_cast<int>(servicePort_)});
    view_.PostLogLine(stopped);
    RTU_LOG_DEBUG(stopped);
}

// ---- network library callbacks -------------------------------------------

void CMainFrame::OnTcpData(const char* peer, int connectionId, const char* bytes, int length)
{
    frontEnd_.OnTcpData(peer, connectionId, bytes, length);
}

void CMainFrame::OnTcpClientClosed(int connectionId) { registry_.OnConnectionClosed(connectionId); }

void CMainFrame::OnTcpServerClosed() { linkCore_.Stop(settings_.Current()->port); }

// ---- transports ----------------------------------------------------------

bool CMainFrame::SendTcp(int connectionId, const std::uint8_t* bytes, std::size_t length)
{
    return linkCore_.Send(connectionId, bytes, length);
}

void CMainFrame::CloseTcp(int connectionId) { linkCore_.CloseConnection(connectionId); }

bool CMainFrame::WriteSerial(const std::uint8_t* bytes, std::size_t length)
{
    return serial_.Write(bytes, length) == length;
}

bool CMainFrame::SendCommand(const std::string& station, const std::string& functionCode,
                             const std::string& commandText, int linkKind)
{
    bool tooLong = false;
    const bool sent = registry_.SendToStation(station, linkKind, [&](const CltDevInfo& record) {
        FrameBytes frame;
        const DownlinkAddress address{record.station, record.centre, record.password};
        const CommandBuild built = BuildCommandFrame(address, functionCode, commandText, frame);
        if (built == CommandBuild::kTooLong) tooLong = true;
        if (built != CommandBuild::kBuilt) return std::string();
        RTU_LOG_DEBUG(LoadText("MainFrame", linkKind == kNetworkLink ? "Text50" : "Text51")
                      << "\n"
                      << HexDumpText(frame.View(), kHexDumpWidth));
        return std::string(frame.View());
    });
    if (tooLong) RTU_LOG_DEBUG(LoadText("MainFrame", "Text49"));
    return sent;
}

SendResult CMainFrame::SendRaw(const std::string& station, const std::uint8_t* bytes, std::size_t length)
{
    return registry_.SendRaw(station, bytes, length);
}

// ---- databases -------------------------------------------------------------

bool CMainFrame::Used(Database db) const
{
    const auto settings = settings_.Current();
    return db == Database::Main ? settings->main.Used() : settings->third.Used();
}

// A full queue slows the parse thread down instead of losing the statement:
// frames then wait unanswered in their queue, and stations send again what
// the front end could not queue.
void CMainFrame::Enqueue(Database db, const std::string& statement, const std::string& orderKey)
{
    if (!Used(db)) return;
    Pool(db).EnqueueWaiting(statement, orderKey, kFullQueueWait, stopping_);
}

// A look-up sees the station's earlier statements: it waits until they have run.
bool CMainFrame::QueryRows(Database db, const std::string& statement, const std::string& orderKey,
                           storage::Rows& rows)
{
    storage::CSqlWorkerPool& pool = Pool(db);
    if (!orderKey.empty()) pool.WaitForKey(orderKey);
    return pool.QueryRows(statement, rows);
}

bool CMainFrame::QueryValue(Database db, const std::string& statement, const std::string& orderKey,
                            std::string& value)
{
    storage::CSqlWorkerPool& pool = Pool(db);
    if (!orderKey.empty()) pool.WaitForKey(orderKey);
    return pool.QueryValue(statement, value);
}

// ---- runtime threads ---------------------------------------------------------

void CMainFrame::ParseQueuedFrame(FrameQueue& queue, RuntimeThread& thread, bool serial)
{
    QueuedFrame item;
    if (!queue.WaitPop(item)) return;  // woken to stop
    const auto settings = settings_.Current();
    if (settings->parseDelay.count() > 0 && !thread.SleepFor(settings->parseDelay)) return;
    if (!serial && settings->protMode != 0) return;
    std::optional<ParsedAnswer> answer;
    {
        std::lock_guard<std::mutex> parsing(parseGate_[serial ? 1 : 0]);
        answer = dispatcher_.ParseFrame(serial ? -1 : item.connectionId, item.bytes,
                                        serial ? kSerialLink : item.linkKind);
    }
    // The gate is released first: the window's hand-over waits for the
    // user-interface thread, which may itself be waiting for the gate in
    // StopService.
    if (answer) HandOverAnswer(*answer);
}

void CMainFrame::HandOverAnswer(const ParsedAnswer& answer)
{
    if (control::AnswerDropsLink(answer.code)) {
        if (registry_.DropNetworkStation(answer.station))
            RTU_LOG_DEBUG("station " << answer.station << " announced a restart: its network link is closed");
        else
            RTU_LOG_DEBUG("station " << answer.station << " announced a restart but has no network link");
    }
    view_.DeliverAnswer(answer.code, answer.frameText);
}

void CMainFrame::ParseCycle() { ParseQueuedFrame(netQueue_, parseThread_, false); }

void CMainFrame::CommParseCycle() { ParseQueuedFrame(commQueue_.Queue(), commParseThread_, true); }

void CMainFrame::PictureCycle()
{
    if (pictureThread_.SleepFor(kPicturePeriod)) pictures_.ExamineWindows();
}

void CMainFrame::OnlineCycle()
{
    if (!onlineThread_.SleepFor(kOnlinePeriod)) return;
    const auto settings = settings_.Current();
    const std::vector<std::string> online = registry_.CheckOnline(std::chrono::seconds(settings->offLine));
    // Connections that sent bytes but bound no station in time are closed;
    // the network library closes those that sent nothing at all.
    if (settings->unboundTimeout > 0) {
        if (const std::size_t closed = registry_.CloseUnbound(std::chrono::seconds(settings->unboundTimeout)))
            RTU_LOG_ERROR(closed << " connections that bound no station within " << settings->unboundTimeout
                                 << " s were closed");
    }
    // Counts of refusal lines held back in the last interval.
    RefusalLog().Flush();
    pictures_.RemoveStale(kPictureAbandoned);
    if (online.empty() || !settings->main.Used()) return;
    // Rows are filed under storage numbers, so the refresh names those.
    std::vector<std::string> numbers;
    numbers.reserve(online.size());
    for (const std::string& station : online) numbers.push_back(StorageNumberOf(station));
    const std::string statement = RefreshStatement(numbers);
    RTU_LOG_DEBUG(statement);
    mainPool_.Enqueue(statement);
}

void CMainFrame::CommandCycle()
{
    // Without a running service the main database is not configured and a
    // poll could only fail: wait as a failed poll would.
    const bool busy = running_ && settings_.Current()->main.Used() && commandQueue_.PollOnce();
    commandThread_.SleepFor(busy ? kCommandBusy : kCommandIdle);
}

}  // namespace rtu

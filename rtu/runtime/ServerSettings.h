// The settings of server.ini held in memory: read once when the main window is
// created, changed afterwards only by the two settings dialogs.
//
// Numbers are read as text and converted like C atoi (leading blanks, an
// optional sign, the digits that follow; no digits give 0), then stored in the
// member's type. Texts are stored as read; the defaults below replace only an
// empty text. All keys are read before the first correction is applied.
//
// A number that does not fit its member is not wrapped: Port outside 1..65535
// becomes 5001, OffLine above 65535 becomes 65535, a 16-bit mode outside
// -32768..32767 is held at the nearer limit, Reboot at the int limits. Each
// such value, and every correction of a value that was written in the file,
// is logged on the logger "MAIN".
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace rtu {

// One database connection: section Set (main) or SetThird (secondary).
struct DatabaseSettings {
    std::string driver;       // Driver: ODBC driver name; empty = the SQL Server form
    std::string source = "127.0.0.1";  // Source: server (default when empty)
    std::string name = "Demo";         // Name: database (file name for SQLite3)
    std::string user = "sa";           // User
    std::string pwd;          // Pwd, stored in plain text, may stay empty
    std::string tdsVersion;   // TDS_Version, for the FreeTDS driver
    std::int16_t dbMode = 0;  // DBMode: 1 = this database is used

    bool Used() const { return dbMode == 1; }
};

// Section COMM: the serial line.
struct SerialSettings {
    std::int16_t mode = 0;         // MODE: 0 = no serial line
    std::string com = "COM1";          // COM: port name or device path
    std::string baudRate = "115200";   // BAUDRATE as decimal text
    std::int16_t byteSize = 0;     // BYTESIZE: data bits minus 5 (0..3)
    std::int16_t stopBit = 0;      // STOPBIT: 0 one stop bit, otherwise two
    std::int16_t parity = 0;       // PATITY: 0 none, 1 odd, 2 even
    std::string devicePattern = "/dev/ttyS%d";  // DevicePattern: COMn -> device (one %d)
};

// A default-constructed object holds what a missing server.ini gives.
struct ServerSettings {
    // Section Set.
    // Port: 0 or missing -> 5001. Held at 0 when the file's text is not a
    // whole number ("52O2", "abc"): the service then refuses to start.
    std::uint16_t port = 5001;
    std::uint16_t offLine = 120;   // OffLine seconds: below 120 -> 120
    DatabaseSettings main;         // Driver, Source, Name, User, Pwd, TDS_Version, DBMode
    std::string pict;              // Pict: folder of received pictures
    std::int16_t protMode = 0;     // ProtMode: 0 = telemetry protocol; others ignore network data
    std::int16_t regMode = 0;      // RegMode: 0 plain, 1 registration packet first
    std::string cent = "01";       // Cent: centre address
    std::string centPwd = "B7E2";  // CentPwd: centre password
    int rebootHours = 0;           // Reboot: hours between restarts; 0 or less = none
    // ParseDelay: pause before each queued frame on the parse threads
    // (missing -> 10 ms; 0 lets them run at full speed under bursts).
    std::chrono::milliseconds parseDelay{10};
    // The report journal: every acknowledged report is kept in this file until
    // each database in use has its rows (JournalFile, relative to the working
    // folder). JournalMaxMB bounds it (16..1048576; about 1.8 GB holds an hour
    // at 2,000 reports a second); when full, stations are not acknowledged.
    // JournalSync=1 syncs each group commit to the disk (survives a power
    // cut); 0 survives a crash of the process.
    std::string journalFile = "rtu-journal.db";
    std::uint32_t journalMaxMB = 2048;
    bool journalSync = false;
    // Pictures in progress (collected packets not yet filed) are bounded in
    // number (PictureMaxCount, 1..1000000) and in the memory their packets
    // hold (PictureMaxMB, 1..65536); beyond either, the picture that has gone
    // longest without a packet is dropped to make room.
    std::uint32_t pictureMaxCount = 1000;
    std::uint32_t pictureMaxMB = 64;
    // Connections that misbehave. UnboundTimeout: seconds a new connection
    // has to bind a station (by a valid first frame or registration) before
    // it is closed, counted from its accept when it sends nothing, else from
    // its first bytes (0 = never; at most 86400). MaxUnsentKB: a connection
    // whose answers wait unsent beyond this many KiB (its peer does not read;
    // each answer counts as the 1450-byte buffers it holds) is closed (0 = no
    // limit; at most 1048576). Both take effect at the next
    // start of the service.
    std::uint32_t unboundTimeout = 120;
    std::uint32_t maxUnsentKB = 1024;

    DatabaseSettings third;        // Section SetThird: the secondary database
    SerialSettings comm;           // Section COMM

    // Period of the scheduled restart; zero when there is none.
    std::chrono::milliseconds RebootPeriod() const;
};

// Reads one key; empty when missing.
using SettingReader = std::function<std::string(std::string_view section, std::string_view key)>;

// Reads every setting with `read` and applies the defaults and corrections.
ServerSettings ReadServerSettings(const SettingReader& read);

// The same from server.ini (ReadSetting). A missing server.ini, or one that
// cannot be read or decoded (UTF-16), is logged as an error that says the
// defaults are used.
ServerSettings LoadServerSettings();

// Writes what the service settings dialog edits, in its order: Port, OffLine,
// Source, Name, User, Pwd, Driver, TDS_Version, Pict (Set), DBMode, Source,
// Name, User, Pwd, Driver, TDS_Version (SetThird), ProtMode, DBMode, RegMode,
// Cent, CentPwd (Set). An empty TDS_Version is written only over one the file
// has. Numbers as "%d"; CentPwd in upper case (also in `settings`). False when
// a write failed (the remaining keys are still written).
bool SaveServiceSettings(ServerSettings& settings);

// Writes what the serial settings dialog edits, in its order: MODE, COM,
// BAUDRATE, BYTESIZE, STOPBIT, PATITY (section COMM).
bool SaveSerialSettings(const SerialSettings& comm);

// True for a whole number in decimal: blanks, an optional sign, digits,
// blanks, and optionally a comment after a blank (";" or "#" and anything).
bool IsWholeNumber(std::string_view text);

// C atoi on a text, without its undefined behaviour: a number beyond the range
// of long long is held at the limit.
long long AtoiText(std::string_view text);

// The settings in memory of a running program: the user-interface thread
// replaces them after a dialog, every other thread takes the current ones for
// each use. A taken snapshot never changes.
class SettingsStore {
public:
    explicit SettingsStore(ServerSettings initial = {});

    std::shared_ptr<const ServerSettings> Current() const;
    void Replace(ServerSettings settings);

private:
    mutable std::mutex settingsLock_;
    std::shared_ptr<const ServerSettings> current_;
};

}  // namespace rtu

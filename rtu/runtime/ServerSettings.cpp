#include "rtu/runtime/ServerSettings.h"

#include "rtu/common/Log.h"
#include "rtu/runtime/Settings.h"

#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <fstream>
#include <utility>

namespace rtu {
namespace {

constexpr std::uint16_t kDefaultPort = 5001;
constexpr std::uint16_t kMinimumOffLine = 120;

// A number as read: the text and its atoi value.
struct Number {
    std::string text;
    long long value = 0;

    bool Written() const { return !text.empty(); }
};

// Reads a number; a written text that is not a whole number is logged with
// the value it is read as. Port is checked by its caller, which refuses it.
Number ReadNumber(const SettingReader& read, std::string_view section, std::string_view key)
{
    Number number;
    number.text = read(section, key);
    number.value = AtoiText(number.text);
    if (number.Written() && !IsWholeNumber(number.text) && key != "Port") {
        RTU_LOG_ERROR("server.ini [" << section << "] " << key << "=" << number.text
                                     << " is not a whole number; it is read as " << number.value);
    }
    return number;
}

// A [Set] number that must lie in min..max: a written value outside keeps
// the default in `target`, logged naming the key.
void TakeInRange(const Number& number, std::string_view key, long long min, long long max, std::uint32_t& target)
{
    if (!number.Written()) return;
    if (number.value < min || number.value > max) {
        RTU_LOG_ERROR("server.ini [Set] " << key << "=" << number.text << " is outside " << min << ".." << max
                                          << "; using " << target);
        return;
    }
    target = static_cast<std::uint32_t>(number.value);
}

std::int16_t To16Bit(const Number& number, std::string_view section, std::string_view key)
{
    if (number.value < INT16_MIN || number.value > INT16_MAX) {
        std::int16_t held = number.value < 0 ? INT16_MIN : INT16_MAX;
        RTU_LOG_ERROR("server.ini [" << section << "] " << key << "=" << number.text
                                     << " is outside -32768..32767; using " << held);
        return held;
    }
    return static_cast<std::int16_t>(number.value);
}

// Says what a DBMode other than 0 or 1 does: the database is not used.
void CheckDbMode(const Number& dbMode, std::string_view section)
{
    if (dbMode.Written() && dbMode.value != 0 && dbMode.value != 1) {
        RTU_LOG_ERROR("server.ini [" << section << "] DBMode=" << dbMode.text << " is neither 0 nor 1: the "
                                     << (section == "Set" ? "main" : "secondary") << " database is not used");
    }
}

// Logs a value outside the range its consumer understands; the value is kept.
void CheckRange(std::int16_t value, int low, int high, std::string_view section, std::string_view key)
{
    if (value < low || value > high) {
        RTU_LOG_ERROR("server.ini [" << section << "] " << key << "=" << value << " is outside " << low
                                     << ".." << high);
    }
}

void DefaultIfEmpty(std::string& text, const char* fallback)
{
    if (text.empty()) {
        text = fallback;
    }
}

struct RawDatabase {
    DatabaseSettings settings;
    Number dbMode;
};

RawDatabase ReadDatabase(const SettingReader& read, std::string_view section)
{
    RawDatabase db;
    db.settings.driver = read(section, "Driver");
    db.settings.source = read(section, "Source");
    db.settings.name = read(section, "Name");
    db.settings.user = read(section, "User");
    db.settings.pwd = read(section, "Pwd");
    db.settings.tdsVersion = read(section, "TDS_Version");
    db.dbMode = ReadNumber(read, section, "DBMode");
    return db;
}

DatabaseSettings CorrectDatabase(RawDatabase db, std::string_view section)
{
    DefaultIfEmpty(db.settings.source, "127.0.0.1");
    DefaultIfEmpty(db.settings.name, "Demo");
    DefaultIfEmpty(db.settings.user, "sa");
    db.settings.dbMode = To16Bit(db.dbMode, section, "DBMode");
    CheckDbMode(db.dbMode, section);
    return db.settings;
}

bool Write(std::string_view section, std::string_view key, std::string_view value)
{
    bool ok = WriteSetting(section, key, value);
    if (!ok) {
        RTU_LOG_ERROR("server.ini [" << section << "] " << key << " could not be written to " << SettingsPath());
    }
    return ok;
}

bool WriteNumber(std::string_view section, std::string_view key, long long value)
{
    return Write(section, key, std::to_string(value));
}

// Says loudly when server.ini is missing or cannot be decoded: every key then
// reads as empty and the centre runs on the defaults.
void CheckSettingsFile(const std::string& path)
{
    static constexpr const char* kDefaults =
        "the centre runs on the defaults: TCP port 5001, no database (reports are acknowledged but not "
        "stored), no serial line, plain receive mode";
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            RTU_LOG_ERROR("server.ini not found at " << path << ": " << kDefaults);
        } else {
            RTU_LOG_ERROR("server.ini at " << path << " cannot be read: " << kDefaults);
        }
        return;
    }
    // Profile files are read as single-byte text (ANSI or UTF-8): a UTF-16
    // file has a zero byte in every ASCII character and no name would match.
    char head[4096];
    file.read(head, sizeof head);
    const std::string_view bytes(head, static_cast<std::size_t>(file.gcount()));
    const bool utf16Mark = bytes.size() >= 2 && ((bytes[0] == '\xFF' && bytes[1] == '\xFE') ||
                                                 (bytes[0] == '\xFE' && bytes[1] == '\xFF'));
    if (utf16Mark || bytes.find('\0') != std::string_view::npos) {
        RTU_LOG_ERROR("server.ini at " << path << " is UTF-16 (or holds zero bytes) and cannot be decoded; "
                                       << "save it as UTF-8 or ANSI text. Until then " << kDefaults);
    }
}

}  // namespace

bool IsWholeNumber(std::string_view text)
{
    std::size_t pos = 0;
    auto blanks = [&] {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    };
    blanks();
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
    const std::size_t digits = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
    if (pos == digits) return false;
    const std::size_t afterDigits = pos;
    blanks();
    // A comment after the number (and at least one blank) is allowed.
    return pos == text.size() || (pos > afterDigits && (text[pos] == ';' || text[pos] == '#'));
}

long long AtoiText(std::string_view text)
{
    std::size_t pos = 0;
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    unsigned long long magnitude = 0;
    const unsigned long long limit = negative ? static_cast<unsigned long long>(LLONG_MAX) + 1
                                              : static_cast<unsigned long long>(LLONG_MAX);
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        magnitude = magnitude * 10 + static_cast<unsigned long long>(text[pos] - '0');
        if (magnitude >= limit) {
            return negative ? LLONG_MIN : LLONG_MAX;
        }
    }
    return negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
}

std::chrono::milliseconds ServerSettings::RebootPeriod() const
{
    if (rebootHours <= 0) {
        return std::chrono::milliseconds(0);
    }
    return std::chrono::hours(rebootHours);
}

ServerSettings ReadServerSettings(const SettingReader& read)
{
    // Every key is read first; the corrections follow.
    Number port = ReadNumber(read, "Set", "Port");
    Number offLine = ReadNumber(read, "Set", "OffLine");
    RawDatabase main = ReadDatabase(read, "Set");
    std::string pict = read("Set", "Pict");
    Number protMode = ReadNumber(read, "Set", "ProtMode");
    Number regMode = ReadNumber(read, "Set", "RegMode");
    std::string cent = read("Set", "Cent");
    std::string centPwd = read("Set", "CentPwd");
    Number reboot = ReadNumber(read, "Set", "Reboot");
    Number parseDelay = ReadNumber(read, "Set", "ParseDelay");
    std::string journalFile = read("Set", "JournalFile");
    Number journalMaxMB = ReadNumber(read, "Set", "JournalMaxMB");
    Number journalSync = ReadNumber(read, "Set", "JournalSync");
    Number pictureMaxCount = ReadNumber(read, "Set", "PictureMaxCount");
    Number pictureMaxMB = ReadNumber(read, "Set", "PictureMaxMB");
    Number unboundTimeout = ReadNumber(read, "Set", "UnboundTimeout");
    Number maxUnsentKB = ReadNumber(read, "Set", "MaxUnsentKB");
    RawDatabase third = ReadDatabase(read, "SetThird");
    Number mode = ReadNumber(read, "COMM", "MODE");
    std::string com = read("COMM", "COM");
    std::string baudRate = read("COMM", "BAUDRATE");
    Number byteSize = ReadNumber(read, "COMM", "BYTESIZE");
    Number stopBit = ReadNumber(read, "COMM", "STOPBIT");
    Number parity = ReadNumber(read, "COMM", "PATITY");
    std::string devicePattern = read("COMM", "DevicePattern");

    ServerSettings s;
    if (port.Written() && !IsWholeNumber(port.text)) {
        // Read like atoi, "52O2" would listen on port 52 and "abc" on the
        // default port: neither is what the file asks for.
        s.port = 0;
        RTU_LOG_ERROR("server.ini [Set] Port=" << port.text
                                               << " is not a whole number: the service does not start until "
                                               << "Port is corrected");
    } else if (port.value >= 1 && port.value <= 65535) {
        s.port = static_cast<std::uint16_t>(port.value);
    } else {
        s.port = kDefaultPort;
        if (port.Written() && port.value != 0) {
            RTU_LOG_ERROR("server.ini [Set] Port=" << port.text << " is outside 1..65535; using "
                                                   << kDefaultPort);
        } else if (port.Written()) {
            RTU_LOG_DEBUG("server.ini [Set] Port=" << port.text << " means the default port " << kDefaultPort);
        }
    }

    if (offLine.value > 65535) {
        s.offLine = 65535;
        RTU_LOG_ERROR("server.ini [Set] OffLine=" << offLine.text << " is above 65535 seconds; using 65535");
    } else if (offLine.value < kMinimumOffLine) {
        s.offLine = kMinimumOffLine;
        if (offLine.Written()) {
            RTU_LOG_DEBUG("server.ini [Set] OffLine=" << offLine.text << " is below " << kMinimumOffLine
                                                      << " seconds; using " << kMinimumOffLine);
        }
    } else {
        s.offLine = static_cast<std::uint16_t>(offLine.value);
    }

    s.main = CorrectDatabase(std::move(main), "Set");
    s.pict = std::move(pict);
    s.protMode = To16Bit(protMode, "Set", "ProtMode");
    if (s.protMode != 0) {
        RTU_LOG_ERROR("server.ini [Set] ProtMode=" << protMode.text
                                                   << " is not 0 (the telemetry protocol): the centre ignores "
                                                   << "every frame received over the network and acknowledges none");
    }
    s.regMode = To16Bit(regMode, "Set", "RegMode");
    if (s.regMode != 0 && s.regMode != 1) {
        RTU_LOG_ERROR("server.ini [Set] RegMode=" << regMode.text
                                                  << " is neither 0 (plain) nor 1 (registration): the centre "
                                                  << "ignores every frame received over the network and "
                                                  << "acknowledges none");
    }
    s.cent = std::move(cent);
    DefaultIfEmpty(s.cent, "01");
    s.centPwd = std::move(centPwd);
    DefaultIfEmpty(s.centPwd, "B7E2");

    if (reboot.value > INT_MAX || reboot.value < INT_MIN) {
        s.rebootHours = reboot.value > 0 ? INT_MAX : 0;
        RTU_LOG_ERROR("server.ini [Set] Reboot=" << reboot.text << " is outside the int range; using "
                                                 << s.rebootHours);
    } else {
        s.rebootHours = reboot.value > 0 ? static_cast<int>(reboot.value) : 0;
    }

    if (parseDelay.Written()) {
        if (parseDelay.value < 0 || parseDelay.value > 1000) {
            RTU_LOG_ERROR("server.ini [Set] ParseDelay=" << parseDelay.text
                                                         << " is outside 0..1000 milliseconds; using 10");
        } else {
            s.parseDelay = std::chrono::milliseconds(parseDelay.value);
        }
    }

    s.journalFile = std::move(journalFile);
    DefaultIfEmpty(s.journalFile, "rtu-journal.db");
    TakeInRange(journalMaxMB, "JournalMaxMB", 16, 1024 * 1024, s.journalMaxMB);
    s.journalSync = journalSync.value == 1;
    if (journalSync.Written() && journalSync.value != 0 && journalSync.value != 1)
        RTU_LOG_ERROR("server.ini [Set] JournalSync=" << journalSync.text << " is neither 0 nor 1; using 0");
    TakeInRange(pictureMaxCount, "PictureMaxCount", 1, 1000000, s.pictureMaxCount);
    TakeInRange(pictureMaxMB, "PictureMaxMB", 1, 65536, s.pictureMaxMB);
    TakeInRange(unboundTimeout, "UnboundTimeout", 0, 86400, s.unboundTimeout);
    TakeInRange(maxUnsentKB, "MaxUnsentKB", 0, 1024 * 1024, s.maxUnsentKB);

    s.third = CorrectDatabase(std::move(third), "SetThird");

    s.comm.mode = To16Bit(mode, "COMM", "MODE");
    s.comm.com = std::move(com);
    DefaultIfEmpty(s.comm.com, "COM1");
    s.comm.baudRate = std::move(baudRate);
    DefaultIfEmpty(s.comm.baudRate, "115200");
    s.comm.byteSize = To16Bit(byteSize, "COMM", "BYTESIZE");
    CheckRange(s.comm.byteSize, 0, 3, "COMM", "BYTESIZE");
    s.comm.stopBit = To16Bit(stopBit, "COMM", "STOPBIT");
    s.comm.parity = To16Bit(parity, "COMM", "PATITY");
    CheckRange(s.comm.parity, 0, 2, "COMM", "PATITY");
    s.comm.devicePattern = std::move(devicePattern);
    DefaultIfEmpty(s.comm.devicePattern, "/dev/ttyS%d");
    return s;
}

ServerSettings LoadServerSettings()
{
    CheckSettingsFile(SettingsPath());
    return ReadServerSettings([](std::string_view section, std::string_view key) {
        return ReadSetting(section, key);
    });
}

namespace {

// The driver and, where it is set or was set before, the FreeTDS protocol version.
bool WriteDriver(const char* section, const DatabaseSettings& db)
{
    bool ok = Write(section, "Driver", db.driver);
    if (!db.tdsVersion.empty() || !ReadSetting(section, "TDS_Version").empty())
        ok &= Write(section, "TDS_Version", db.tdsVersion);
    return ok;
}

}  // namespace

bool SaveServiceSettings(ServerSettings& settings)
{
    for (char& c : settings.centPwd) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    bool ok = true;
    ok &= WriteNumber("Set", "Port", settings.port);
    ok &= WriteNumber("Set", "OffLine", settings.offLine);
    ok &= Write("Set", "Source", settings.main.source);
    ok &= Write("Set", "Name", settings.main.name);
    ok &= Write("Set", "User", settings.main.user);
    ok &= Write("Set", "Pwd", settings.main.pwd);
    ok &= WriteDriver("Set", settings.main);
    ok &= Write("Set", "Pict", settings.pict);
    ok &= WriteNumber("SetThird", "DBMode", settings.third.dbMode);
    ok &= Write("SetThird", "Source", settings.third.source);
    ok &= Write("SetThird", "Name", settings.third.name);
    ok &= Write("SetThird", "User", settings.third.user);
    ok &= Write("SetThird", "Pwd", settings.third.pwd);
    ok &= WriteDriver("SetThird", settings.third);
    ok &= WriteNumber("Set", "ProtMode", settings.protMode);
    ok &= WriteNumber("Set", "DBMode", settings.main.dbMode);
    ok &= WriteNumber("Set", "RegMode", settings.regMode);
    ok &= Write("Set", "Cent", settings.cent);
    ok &= Write("Set", "CentPwd", settings.centPwd);
    return ok;
}

bool SaveSerialSettings(const SerialSettings& comm)
{
    bool ok = true;
    ok &= WriteNumber("COMM", "MODE", comm.mode);
    ok &= Write("COMM", "COM", comm.com);
    ok &= Write("COMM", "BAUDRATE", comm.baudRate);
    ok &= WriteNumber("COMM", "BYTESIZE", comm.byteSize);
    ok &= WriteNumber("COMM", "STOPBIT", comm.stopBit);
    ok &= WriteNumber("COMM", "PATITY", comm.parity);
    return ok;
}

SettingsStore::SettingsStore(ServerSettings initial)
    : current_(std::make_shared<const ServerSettings>(std::move(initial)))
{
}

std::shared_ptr<const ServerSettings> SettingsStore::Current() const
{
    std::lock_guard<std::mutex> lock(settingsLock_);
    return current_;
}

void SettingsStore::Replace(ServerSettings settings)
{
    auto next = std::make_shared<const ServerSettings>(std::move(settings));
    std::lock_guard<std::mutex> lock(settingsLock_);
    current_.swap(next);
}

}  // namespace rtu

#include "rtu/runtime/ServerSettings.h"

#include "rtu/common/Log.h"
#include "rtu/runtime/Settings.h"

#include <cctype>
#include <climits>
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

Number ReadNumber(const SettingReader& read, std::string_view section, std::string_view key)
{
    Number number;
    number.text = read(section, key);
    number.value = AtoiText(number.text);
    return number;
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

}  // namespace

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
    if (port.value >= 1 && port.value <= 65535) {
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
    s.regMode = To16Bit(regMode, "Set", "RegMode");
    CheckRange(s.regMode, 0, 1, "Set", "RegMode");
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
    if (journalMaxMB.Written()) {
        if (journalMaxMB.value < 16 || journalMaxMB.value > 1024 * 1024) {
            RTU_LOG_ERROR("server.ini [Set] JournalMaxMB=" << journalMaxMB.text << " is outside 16..1048576; using "
                                                           << s.journalMaxMB);
        } else {
            s.journalMaxMB = static_cast<std::uint32_t>(journalMaxMB.value);
        }
    }
    s.journalSync = journalSync.value == 1;
    if (journalSync.Written() && journalSync.value != 0 && journalSync.value != 1)
        RTU_LOG_ERROR("server.ini [Set] JournalSync=" << journalSync.text << " is neither 0 nor 1; using 0");

    if (unboundTimeout.Written()) {
        if (unboundTimeout.value < 0 || unboundTimeout.value > 86400)
            RTU_LOG_ERROR("server.ini [Set] UnboundTimeout=" << unboundTimeout.text
                                                             << " is outside 0..86400 seconds; using "
                                                             << s.unboundTimeout);
        else
            s.unboundTimeout = static_cast<std::uint32_t>(unboundTimeout.value);
    }
    if (maxUnsentKB.Written()) {
        if (maxUnsentKB.value < 0 || maxUnsentKB.value > 1024 * 1024)
            RTU_LOG_ERROR("server.ini [Set] MaxUnsentKB=" << maxUnsentKB.text << " is outside 0..1048576; using "
                                                          << s.maxUnsentKB);
        else
            s.maxUnsentKB = static_cast<std::uint32_t>(maxUnsentKB.value);
    }

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
    return ReadServerSettings([](std::string_view section, std::string_view key) {
        return ReadSetting(section, key);
    });
}

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
    ok &= Write("Set", "Pict", settings.pict);
    ok &= WriteNumber("SetThird", "DBMode", settings.third.dbMode);
    ok &= Write("SetThird", "Source", settings.third.source);
    ok &= Write("SetThird", "Name", settings.third.name);
    ok &= Write("SetThird", "User", settings.third.user);
    ok &= Write("SetThird", "Pwd", settings.third.pwd);
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
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

void SettingsStore::Replace(ServerSettings settings)
{
    auto next = std::make_shared<const ServerSettings>(std::move(settings));
    std::lock_guard<std::mutex> lock(mutex_);
    current_.swap(next);
}

}  // namespace rtu

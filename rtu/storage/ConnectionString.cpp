#include "rtu/storage/ConnectionString.h"

#include <algorithm>
#include <cctype>

namespace rtu::storage {

namespace {

std::string Lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool Contains(std::string_view haystack, std::string_view needle)
{
    return Lower(haystack).find(needle) != std::string::npos;
}

// Splits "host:port" (or "host,port") into its parts; "[v6]:port" keeps the
// address inside the brackets. Without a port the whole text is the host.
void SplitHostPort(const std::string& source, std::string& host, std::string& port)
{
    host = source;
    port.clear();
    std::string::size_type sep = std::string::npos;
    if (!source.empty() && source.front() == '[') {
        const auto close = source.find(']');
        if (close != std::string::npos) {
            host = source.substr(1, close - 1);
            if (close + 1 < source.size() && (source[close + 1] == ':' || source[close + 1] == ','))
                port = source.substr(close + 2);
            return;
        }
    }
    const auto comma = source.rfind(',');
    const auto colon = source.find(':');
    if (comma != std::string::npos)
        sep = comma;
    else if (colon != std::string::npos && colon == source.rfind(':'))
        sep = colon;  // one colon only: a bare IPv6 address has several
    if (sep == std::string::npos)
        return;
    const std::string tail = source.substr(sep + 1);
    if (tail.empty() || !std::all_of(tail.begin(), tail.end(), [](unsigned char c) { return std::isdigit(c); }))
        return;
    host = source.substr(0, sep);
    port = tail;
}

void Append(std::string& out, std::string_view key, std::string_view value)
{
    if (!out.empty())
        out += ';';
    out += key;
    out += '=';
    out += QuoteConnectionValue(value);
}

std::string BracedDriver(std::string_view driver)
{
    std::string out = "{";
    for (char c : driver) {
        out += c;
        if (c == '}')
            out += '}';
    }
    out += '}';
    return out;
}

}  // namespace

std::string QuoteConnectionValue(std::string_view value)
{
    const bool needsBraces = value.find_first_of(";{}") != std::string_view::npos ||
                             (!value.empty() && (std::isspace(static_cast<unsigned char>(value.front())) ||
                                                 std::isspace(static_cast<unsigned char>(value.back()))));
    if (!needsBraces)
        return std::string(value);
    return BracedDriver(value);
}

std::string BuildConnectionString(const DbSettings& s)
{
    std::string out;
    const std::string driver = s.driver;
    if (Contains(driver, "sqlite")) {
        out = "Driver=" + BracedDriver(driver);
        Append(out, "Database", s.name);
        // Several workers write to one file: wait for the write lock rather
        // than fail, and let readers go on while one of them writes.
        out += ";Timeout=30000;JournalMode=WAL;SyncPragma=NORMAL";
        return out;
    }
    if (Contains(driver, "postgres")) {
        std::string host, port;
        SplitHostPort(s.source, host, port);
        out = "Driver=" + BracedDriver(driver);
        Append(out, "Server", host);
        if (!port.empty())
            Append(out, "Port", port);
        Append(out, "Database", s.name);
        Append(out, "UID", s.user);
        Append(out, "PWD", s.pwd);
        out += ";BoolsAsChar=0";  // booleans as bits, not as '1'/'0' texts
        return out;
    }
    if (Contains(driver, "freetds")) {
        std::string host, port;
        SplitHostPort(s.source, host, port);
        out = "Driver=" + BracedDriver(driver);
        Append(out, "Server", host);
        if (!port.empty())
            Append(out, "Port", port);
        Append(out, "Database", s.name);
        Append(out, "UID", s.user);
        Append(out, "PWD", s.pwd);
        Append(out, "TDS_Version", s.tdsVersion.empty() ? std::string("7.4") : s.tdsVersion);
        Append(out, "ClientCharset", "UTF-8");
        return out;
    }
    // SQL Server through a driver registered as "SQL Server" (or the one named).
    out = "driver=" + BracedDriver(driver.empty() ? std::string("SQL Server") : driver);
    Append(out, "Server", s.source);
    Append(out, "DATABASE", s.name);
    Append(out, "UID", s.user);
    Append(out, "PWD", s.pwd);
    return out;
}

std::string ConnectionStringValue(std::string_view connection, std::string_view key)
{
    const std::string wanted = Lower(key);
    std::size_t i = 0;
    while (i < connection.size()) {
        while (i < connection.size() && (connection[i] == ';' || connection[i] == ' '))
            ++i;
        const auto eq = connection.find('=', i);
        if (eq == std::string_view::npos)
            break;
        std::string name = Lower(connection.substr(i, eq - i));
        while (!name.empty() && name.back() == ' ')
            name.pop_back();
        std::string value;
        i = eq + 1;
        if (i < connection.size() && connection[i] == '{') {
            ++i;
            while (i < connection.size()) {
                if (connection[i] == '}') {
                    if (i + 1 < connection.size() && connection[i + 1] == '}') {
                        value += '}';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                value += connection[i++];
            }
            while (i < connection.size() && connection[i] != ';')
                ++i;
        } else {
            const auto end = connection.find(';', i);
            value = std::string(connection.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i));
            i = end == std::string_view::npos ? connection.size() : end;
        }
        if (name == wanted)
            return value;
    }
    return {};
}

}  // namespace rtu::storage

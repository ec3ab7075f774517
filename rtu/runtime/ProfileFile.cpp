#include "rtu/runtime/ProfileFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <time.h>
#include <unordered_map>
#include <unistd.h>

namespace rtu {
namespace {

// Serialises read-modify-write cycles of every profile file in this process.
// Reads take no lock: a write replaces the file by rename, so a reader opens
// either the old or the new file.
std::mutex& ProfileWriteLock()
{
    static std::mutex mutex;
    return mutex;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

enum class LineKind { Other, Section, Key };

// One line of a profile file, classified. `raw` is the line as stored, without
// its line break; name and value point into it.
struct Line {
    LineKind kind = LineKind::Other;
    std::string_view name;   // section name or key name
    std::string_view value;  // key value, blanks and quotes removed
};

Line Classify(std::string_view raw, bool firstLine)
{
    if (firstLine && raw.substr(0, 3) == "\xEF\xBB\xBF") {
        raw.remove_prefix(3);  // UTF-8 byte order mark
    }
    std::string_view text = Trim(raw);
    Line line;
    if (text.empty() || text.front() == ';') {
        return line;
    }
    if (text.front() == '[') {
        text.remove_prefix(1);
        std::size_t close = text.find(']');
        line.kind = LineKind::Section;
        line.name = Trim(text.substr(0, close));
        return line;
    }
    line.kind = LineKind::Key;
    std::size_t equals = text.find('=');
    line.name = Trim(text.substr(0, equals));
    if (equals != std::string_view::npos) {
        std::string_view value = Trim(text.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        line.value = value;
    }
    return line;
}

// The rest of an open file; false on a read error.
bool ReadAll(int fd, std::string& content)
{
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size > 0) {
        content.reserve(static_cast<std::size_t>(info.st_size));
    }
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

// The whole file; false when it cannot be opened.
bool ReadContent(const std::string& path, std::string& content)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ReadAll(fd, content);
    ::close(fd);
    return true;
}

// Calls visit(line, index) for each line of `content`, without its line break
// (a final line break does not start another line), until visit returns false.
template <typename Visit>
void ForEachLine(std::string_view content, Visit visit)
{
    std::size_t start = 0;
    for (std::size_t index = 0; start < content.size(); ++index) {
        std::size_t end = content.find('\n', start);
        if (end == std::string_view::npos) {
            end = content.size();
        }
        std::string_view line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (!visit(line, index)) {
            return;
        }
        start = end + 1;
    }
}

// Calls visit(key line) for each key of the first section named `section`.
template <typename Visit>
void ForEachKey(std::string_view content, std::string_view section, Visit visit)
{
    bool inSection = false;
    ForEachLine(content, [&](std::string_view raw, std::size_t index) {
        Line line = Classify(raw, index == 0);
        if (line.kind == LineKind::Section) {
            if (inSection) {
                return false;
            }
            inSection = SameName(line.name, section);
        } else if (inSection && line.kind == LineKind::Key) {
            return visit(line);
        }
        return true;
    });
}

// The file split into lines, for rewriting.
struct FileLines {
    bool crlf = false;  // the file's first line ends with CR LF
    std::vector<std::string> lines;
};

FileLines LoadLines(const std::string& path)
{
    FileLines file;
    std::string content;
    if (!ReadContent(path, content)) {
        return file;
    }
    std::size_t firstBreak = content.find('\n');
    file.crlf = firstBreak != std::string::npos && firstBreak > 0 && content[firstBreak - 1] == '\r';
    ForEachLine(content, [&](std::string_view line, std::size_t) {
        file.lines.emplace_back(line);
        return true;
    });
    return file;
}

// Index of the first section header named `section`, or npos.
std::size_t FindSection(const std::vector<std::string>& lines, std::string_view section)
{
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Line line = Classify(lines[i], i == 0);
        if (line.kind == LineKind::Section && SameName(line.name, section)) {
            return i;
        }
    }
    return std::string::npos;
}

// Length in bytes of the UTF-8 character at `pos`; a byte that does not start
// a whole, valid sequence counts as a character of its own.
std::size_t CharacterLength(std::string_view text, std::size_t pos)
{
    unsigned char lead = static_cast<unsigned char>(text[pos]);
    std::size_t length = (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 1;
    if (pos + length > text.size()) {
        return 1;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[pos + i]) & 0xC0) != 0x80) {
            return 1;
        }
    }
    return length;
}

// Cuts `text` to at most `limit` characters (UTF-8 characters; other bytes
// count one each), never splitting a character.
std::string CutText(std::string_view text, std::size_t limit)
{
    std::size_t pos = 0;
    for (std::size_t count = 0; pos < text.size() && count < limit; ++count) {
        pos += CharacterLength(text, pos);
    }
    return std::string(text.substr(0, pos));
}

bool ValidSection(std::string_view section)
{
    return !section.empty() && section.find_first_of("]\r\n") == std::string_view::npos &&
           Trim(section) == section;
}

bool ValidKey(std::string_view key)
{
    return !key.empty() && key.front() != '[' && key.front() != ';' &&
           key.find_first_of("=\r\n") == std::string_view::npos && Trim(key) == key;
}

// Writes `content` to a temporary file in the directory of `path` and renames
// it over `path`; `result` is then the new file's status. The new file keeps
// the permission bits of the old one; a file created here is readable by its
// owner only (server.ini holds the database passwords).
bool ReplaceFile(const std::string& path, const std::string& content, struct stat& result)
{
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        return false;
    }
    struct stat old {};
    mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0600;
    bool ok = ::fchmod(fd, mode) == 0;
    std::size_t written = 0;
    while (ok && written < content.size()) {
        ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        if (ok) {
            written += static_cast<std::size_t>(n);
        }
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ok && ::fstat(fd, &result) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
    }
    return ok;
}

std::string LookupName(std::string_view section, std::string_view key)
{
    std::string name;
    name.reserve(section.size() + key.size() + 1);
    for (char c : section) name += AsciiLower(c);
    name += '\n';
    for (char c : key) name += AsciiLower(c);
    return name;
}

// Every value a read can give of one file, by section and key, with what
// identifies the version of the file they were read from. The program reads
// its settings and texts for every frame (a station's storage number, the
// texts of log lines); parsing the file again each time cost more than the
// frame itself. A file changed on disk (in place or replaced by rename, by
// this process or another) has another inode, size or modification time, and
// is read again.
//
// A file's modification time comes from a clock that advances in ticks of a
// few milliseconds, so a change of the same size within the tick of the copy
// would look like the same version. A copy taken while its file's time was
// that recent is therefore not trusted: it is read again at each use until
// its file has stood unchanged for kSettleTime.
struct ParsedFile {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    bool settled = false;  // the file was older than kSettleTime when read
    std::unordered_map<std::string, std::string> values;  // LookupName -> value
};

constexpr long long kSettleTimeNs = 100'000'000;

// True when a file modified at `modified` had stood unchanged long enough,
// now, for a later change to show in its modification time.
bool Settled(const timespec& modified)
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const long long age = (static_cast<long long>(now.tv_sec) - modified.tv_sec) * 1'000'000'000LL +
                          (now.tv_nsec - modified.tv_nsec);
    return age > kSettleTimeNs;
}

bool SameVersion(const ParsedFile& file, const struct stat& info)
{
    return file.device == info.st_dev && file.inode == info.st_ino && file.size == info.st_size &&
           file.modified.tv_sec == info.st_mtim.tv_sec && file.modified.tv_nsec == info.st_mtim.tv_nsec;
}

std::shared_ptr<const ParsedFile> Parse(const std::string& content, const struct stat& info)
{
    auto file = std::make_shared<ParsedFile>();
    file->device = info.st_dev;
    file->inode = info.st_ino;
    file->size = info.st_size;
    file->modified = info.st_mtim;
    file->settled = Settled(info.st_mtim);
    // Only the first section of a name counts, and in it the first key of a name.
    std::map<std::string, bool> sections;
    std::string current;
    bool counted = false;
    ForEachLine(content, [&](std::string_view raw, std::size_t index) {
        const Line line = Classify(raw, index == 0);
        if (line.kind == LineKind::Section) {
            current = LookupName(line.name, "");
            counted = sections.emplace(current, true).second;
        } else if (line.kind == LineKind::Key && counted) {
            std::string name = current;
            for (char c : line.name) name += AsciiLower(c);
            file->values.emplace(std::move(name), std::string(line.value));
        }
        return true;
    });
    return file;
}

// The parsed files by path. The lock is held only to look up or replace an
// entry (never around file access); no other lock is taken under it.
std::mutex& ParsedFilesLock()
{
    static std::mutex lock;
    return lock;
}

std::unordered_map<std::string, std::shared_ptr<const ParsedFile>>& ParsedFiles()
{
    static std::unordered_map<std::string, std::shared_ptr<const ParsedFile>> files;
    return files;
}

// Keeps `file` as the parsed copy of `path`.
void Remember(const std::string& path, std::shared_ptr<const ParsedFile> file)
{
    std::lock_guard<std::mutex> lock(ParsedFilesLock());
    ParsedFiles()[path] = std::move(file);
}

}  // namespace

std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::size_t bufferSize)
{
    struct stat info {};
    if (bufferSize == 0 || ::stat(path.c_str(), &info) != 0) {
        return {};
    }
    std::shared_ptr<const ParsedFile> file;
    {
        std::lock_guard<std::mutex> lock(ParsedFilesLock());
        auto found = ParsedFiles().find(path);
        if (found != ParsedFiles().end() && found->second->settled && SameVersion(*found->second, info)) {
            file = found->second;
        }
    }
    if (!file) {
        std::string content;
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return {};
        }
        // The version kept is the one of the file read, through one
        // descriptor: a rename after the path's stat is read again next time.
        const bool read = ::fstat(fd, &info) == 0 && ReadAll(fd, content);
        ::close(fd);
        if (!read) {
            return {};
        }
        file = Parse(content, info);
        Remember(path, file);
    }
    const auto value = file->values.find(LookupName(section, key));
    return value == file->values.end() ? std::string() : CutText(value->second, bufferSize - 1);
}

bool WriteProfileString(const std::string& path, std::string_view section,
                        std::string_view key, std::string_view value)
{
    if (!ValidSection(section) || !ValidKey(key)) {
        return false;
    }
    std::string oneLine(value);
    for (char& c : oneLine) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    // A read drops blanks at either end and one pair of enclosing quotes, so
    // such a value is written in double quotes to be read back unchanged.
    bool quote = !oneLine.empty() &&
                 (IsBlank(oneLine.front()) || IsBlank(oneLine.back()) ||
                  (oneLine.size() >= 2 && (oneLine.front() == '"' || oneLine.front() == '\'') &&
                   oneLine.back() == oneLine.front()));
    if (quote) {
        oneLine = "\"" + oneLine + "\"";
    }

    std::lock_guard<std::mutex> lock(ProfileWriteLock());
    FileLines file = LoadLines(path);
    std::vector<std::string>& lines = file.lines;
    std::size_t header = FindSection(lines, section);
    if (header == std::string::npos) {
        if (!lines.empty() && !Trim(lines.back()).empty()) {
            lines.emplace_back();
        }
        lines.push_back("[" + std::string(section) + "]");
        lines.push_back(std::string(key) + "=" + oneLine);
    } else {
        std::size_t lastKey = header;
        std::size_t found = std::string::npos;
        for (std::size_t i = header + 1; i < lines.size(); ++i) {
            Line line = Classify(lines[i], false);
            if (line.kind == LineKind::Section) {
                break;
            }
            if (line.kind == LineKind::Key) {
                lastKey = i;
                if (SameName(line.name, key)) {
                    found = i;
                    break;
                }
            }
        }
        if (found != std::string::npos) {
            // Keep the indentation and the key as spelled in the file.
            std::string& raw = lines[found];
            std::size_t nameEnd = raw.find('=');
            std::string prefix = raw.substr(0, nameEnd);
            while (!prefix.empty() && (IsBlank(prefix.back()) || prefix.back() == '\r')) {
                prefix.pop_back();
            }
            std::string replaced = prefix + "=" + oneLine;
            if (replaced == raw) {
                return true;
            }
            raw = std::move(replaced);
        } else {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(lastKey) + 1,
                         std::string(key) + "=" + oneLine);
        }
    }

    const char* lineBreak = file.crlf ? "\r\n" : "\n";
    std::string content;
    for (const std::string& line : lines) {
        content += line;
        content += lineBreak;
    }
    struct stat written {};
    if (!ReplaceFile(path, content, written)) {
        return false;
    }
    // What was just written is the parsed copy: the next read (the next
    // frame's look-up) neither reads the file again nor sees the old one.
    Remember(path, Parse(content, written));
    return true;
}

std::vector<std::string> ReadProfileSectionNames(const std::string& path)
{
    std::vector<std::string> names;
    std::string content;
    ReadContent(path, content);
    ForEachLine(content, [&](std::string_view raw, std::size_t index) {
        Line line = Classify(raw, index == 0);
        if (line.kind == LineKind::Section) {
            names.emplace_back(line.name);
        }
        return true;
    });
    return names;
}

std::vector<std::pair<std::string, std::string>> ReadProfileSection(const std::string& path,
                                                                    std::string_view section)
{
    std::vector<std::pair<std::string, std::string>> keys;
    std::string content;
    ReadContent(path, content);
    ForEachKey(content, section, [&](const Line& line) {
        keys.emplace_back(std::string(line.name), std::string(line.value));
        return true;
    });
    return keys;
}

}  // namespace rtu

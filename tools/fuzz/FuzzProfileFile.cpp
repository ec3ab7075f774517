// The profile-file reader on arbitrary files, and a write read back.
//
// Input: byte 0 chooses the read's buffer size; then a section name and a key
// name, each ended by a line break; the rest is the file. The file is written
// to a private folder, then read by every reading function; then, when the
// writer accepts the names, a value (the file's first 300 bytes) is written
// under them and read back.
// Checks besides the sanitizers: a read holds fewer characters than its
// buffer (a character being a UTF-8 sequence of up to 4 bytes) and no line
// break, and a written value reads back as it was written
// (line breaks as blanks) when it fits the buffer.
#include "rtu/runtime/ProfileFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

std::string folder;
std::string path;

void RemoveFolder()
{
    std::remove(path.c_str());
    rmdir(folder.c_str());
}

bool WriteFile(std::string_view content)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && ok;
}

// Bytes that are no UTF-8 continuation byte: at most the characters of the text.
std::size_t CharacterStarts(std::string_view text)
{
    std::size_t count = 0;
    for (char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
    return count;
}

std::string_view NextLine(std::string_view& rest)
{
    const auto end = rest.find('\n');
    if (end == std::string_view::npos) {
        const std::string_view line = rest;
        rest = {};
        return line;
    }
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Memory-backed when there is such a folder: the writer syncs each file to
    // disk, which on a real disk would limit the run to a few hundred inputs a
    // second.
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    if (access("/dev/shm", W_OK) == 0) base = "/dev/shm";
    std::string pattern = base + "/fuzz_profile_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    folder = pattern;
    path = folder + "/server.ini";
    std::atexit(RemoveFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    static const std::size_t kSizes[] = {rtu::kSettingBufferSize, rtu::kTextBufferSize, 1, 2, 3, 4, 8, 16};
    const std::size_t bufferSize = kSizes[data[0] % 8];
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string_view section = NextLine(rest);
    const std::string_view key = NextLine(rest);
    const std::string_view content = rest;
    if (!WriteFile(content)) return 0;

    const std::string value = rtu::ReadProfileString(path, section, key, bufferSize);
    if (CharacterStarts(value) >= bufferSize || value.size() > 4 * (bufferSize - 1)) std::abort();
    if (value.find('\n') != std::string::npos) std::abort();
    rtu::ReadProfileSectionNames(path);
    for (const auto& [name, text] : rtu::ReadProfileSection(path, section))
        if (name.find('\n') != std::string::npos || text.find('\n') != std::string::npos) std::abort();

    const std::string_view written = content.substr(0, 300);
    if (rtu::WriteProfileString(path, section, key, written)) {
        std::string expected(written);
        for (char& c : expected)
            if (c == '\n' || c == '\r') c = ' ';
        const std::string back = rtu::ReadProfileString(path, section, key, rtu::kSettingBufferSize);
        if (back != expected) {
            std::fprintf(stderr, "wrote [%s] read back [%s]\n", expected.c_str(), back.c_str());
            std::abort();
        }
    }
    return 0;
}

// Text files of sections and keys ("profile files"): server.ini for settings
// and config.ini for every text the operator sees.
//
// Reading rules:
//   - section and key names match without regard to ASCII case; the first
//     section of a name and the first key of a name in it are the ones used;
//   - blanks around names and values are ignored, and a value written in
//     matching single or double quotes is read without them;
//   - lines that start with ";" are comments; lines before the first section
//     belong to no section;
//   - a missing file, section or key reads as an empty text;
//   - a read asks for a buffer of `bufferSize` characters, so the text holds at
//     most bufferSize - 1 characters (1023 for settings, 199 for texts). Texts
//     are UTF-8: a character is one UTF-8 sequence (any other byte counts as
//     one), so a cut never splits a character.
//   - values come from a parsed copy of the file kept in memory, made again
//     when the file changed on disk (another inode, size or modification
//     time); a file modified less than 100 ms before its copy was made is
//     read again at each use until it has stood still that long, since a
//     change within one tick of the file system's clock keeps the time.
//
// Writing rules:
//   - a value with blanks at either end, or enclosed in matching quotes, is
//     written in double quotes, so that a read gives back exactly the value;
//   - an existing key gets its new value in place; a missing key is added after
//     the last key of its section; a missing section is added at the end of the
//     file; a missing file is created. Every other line, comment, blank line and
//     their order stay as they were;
//   - the new content goes to a temporary file beside the target, which then
//     replaces the target by rename, so a reader (in this process or another)
//     sees either the old file or the new one, never a half-written one;
//   - writes in this process are serialised, so two threads that write
//     different keys of one file at once both keep their change;
//   - what a write wrote becomes the parsed copy at once;
//   - a file created by a write is readable and writable by its owner only
//     (server.ini holds passwords); an existing file keeps its mode.
//
// Every function may be called from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rtu {

// Buffer sizes of the two kinds of read (the text holds one byte less).
inline constexpr std::size_t kSettingBufferSize = 1024;
inline constexpr std::size_t kTextBufferSize = 200;

// The value of `key` in `section` of the file, at most bufferSize - 1
// characters;
// empty when the file, the section or the key is missing.
std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::size_t bufferSize);

// Sets `key` of `section` to `value`, creating the file, the section or the
// key as needed. Line breaks in the value are written as blanks (a value holds
// one line). Returns false, and leaves the file unchanged, when the section
// name is empty or holds "]" or a line break, when the key name is empty,
// starts with "[" or ";", holds "=" or a line break, or has blanks at either
// end, or when the file cannot be written.
bool WriteProfileString(const std::string& path, std::string_view section,
                        std::string_view key, std::string_view value);

// Names of all sections of the file, in file order (duplicates kept).
std::vector<std::string> ReadProfileSectionNames(const std::string& path);

// Every key of the first section of that name with its value as a read would
// give it (without a length limit), in file order; duplicates kept.
std::vector<std::pair<std::string, std::string>> ReadProfileSection(const std::string& path,
                                                                    std::string_view section);

}  // namespace rtu

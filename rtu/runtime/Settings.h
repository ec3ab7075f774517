// The program's two text files of sections and keys:
//   - server.ini, the settings, at a path fixed once at start-up (the current
//     directory then + "/server.ini"); reads return at most 1023 characters;
//   - config.ini, every text the operator sees, looked up as "./config.ini",
//     that is relative to the current directory at each lookup; texts are at
//     most 199 characters.
// Missing files, sections and keys read as empty texts. Reading and writing
// follow the rules of ProfileFile.h and are safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace rtu {

// Fixes the path of server.ini to the current directory + "/server.ini".
// Called once at start-up, before the main window reads its settings. A read
// or write before any call fixes the path the same way.
void FixSettingsPath();

// Fixes the path of server.ini to `path` (tools and tests that keep their
// settings elsewhere).
void FixSettingsPath(std::string path);

// The fixed path of server.ini.
std::string SettingsPath();

// `key` of `section` in server.ini; empty when missing.
std::string ReadSetting(std::string_view section, std::string_view key);

// Sets `key` of `section` in server.ini, creating the section or key as needed.
// False when the file cannot be written (see WriteProfileString).
bool WriteSetting(std::string_view section, std::string_view key, std::string_view value);

// The text under `key` of `section` in ./config.ini; empty when missing.
std::string LoadText(std::string_view section, std::string_view key);

}  // namespace rtu

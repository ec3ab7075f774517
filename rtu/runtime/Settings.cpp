#include "rtu/runtime/Settings.h"

#include "rtu/runtime/ProfileFile.h"

#include <filesystem>
#include <mutex>
#include <system_error>

namespace rtu {
namespace {

constexpr const char* kTextFile = "./config.ini";

struct SettingsPathState {
    std::mutex pathLock;
    std::string path;  // empty until fixed
};

SettingsPathState& PathState()
{
    static SettingsPathState state;
    return state;
}

std::string CurrentDirectoryPath()
{
    std::error_code error;
    std::filesystem::path dir = std::filesystem::current_path(error);
    if (error) {
        return "./server.ini";
    }
    return dir.string() + "/server.ini";
}

}  // namespace

void FixSettingsPath()
{
    FixSettingsPath(CurrentDirectoryPath());
}

void FixSettingsPath(std::string path)
{
    SettingsPathState& state = PathState();
    std::lock_guard<std::mutex> lock(state.pathLock);
    state.path = std::move(path);
}

std::string SettingsPath()
{
    SettingsPathState& state = PathState();
    std::lock_guard<std::mutex> lock(state.pathLock);
    if (state.path.empty()) {
        state.path = CurrentDirectoryPath();
    }
    return state.path;
}

std::string ReadSetting(std::string_view section, std::string_view key)
{
    return ReadProfileString(SettingsPath(), section, key, kSettingBufferSize);
}

bool WriteSetting(std::string_view section, std::string_view key, std::string_view value)
{
    return WriteProfileString(SettingsPath(), section, key, value);
}

std::string LoadText(std::string_view section, std::string_view key)
{
    return ReadProfileString(kTextFile, section, key, kTextBufferSize);
}

}  // namespace rtu

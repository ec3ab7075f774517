// Shared by the picture, command-queue and restart tests: a private working
// folder, a recording operator view and a capture of the lines logged on "MAIN".
#pragma once

#include "rtu/common/Log.h"
#include "rtu/runtime/RuntimeView.h"
#include "tests/runtime/RuntimeTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace rtu::pictures_test {

// The runtime tests' working folder, and the files a test left in it.
class InTemporaryFolder : public test::WorkingFolder {
protected:
    // Every regular file below `root`, relative to it, sorted.
    static std::vector<std::string> FilesBelow(const std::filesystem::path& root)
    {
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
            if (entry.is_regular_file()) files.push_back(std::filesystem::relative(entry.path(), root).string());
        std::sort(files.begin(), files.end());
        return files;
    }
};

struct RecordingView : RuntimeView {
    std::mutex mutex;
    std::vector<std::string> lines;

    void PostLogLine(const std::string& text) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(text);
    }
    void PostStationState(const std::string&, StationState, int) override {}
    void DeliverAnswer(int, const std::string&) override {}
    void ClearStations() override {}
    void ShowMessage(const std::string& text) override { PostLogLine(text); }

    int Count(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<int>(std::count(lines.begin(), lines.end(), text));
    }
};

// Collects the messages logged on "MAIN" while it lives.
using rtu::test::LogCapture;

}  // namespace rtu::pictures_test

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

// Runs each test in a new empty folder under /tmp as the current directory.
class InTemporaryFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = std::filesystem::current_path();
        std::string pattern = (std::filesystem::temp_directory_path() / "rtu-pictures-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        std::filesystem::current_path(folder_);
    }

    void TearDown() override
    {
        std::filesystem::current_path(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    static void WriteFile(const std::filesystem::path& path, const std::string& content)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }

    static std::string ReadFile(const std::filesystem::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    // Every regular file below `root`, relative to it, sorted.
    static std::vector<std::string> FilesBelow(const std::filesystem::path& root)
    {
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
            if (entry.is_regular_file()) files.push_back(std::filesystem::relative(entry.path(), root).string());
        std::sort(files.begin(), files.end());
        return files;
    }

    std::filesystem::path folder_;

private:
    std::filesystem::path previous_;
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

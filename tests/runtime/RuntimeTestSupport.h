// Helpers for the runtime tests: a private working folder and a capture of the
// lines logged on "MAIN".
#pragma once

#include "rtu/common/Log.h"

#include <gtest/gtest.h>
#include <log4cplus/appender.h>
#include <log4cplus/spi/loggingevent.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace rtu::test {

// Runs the test in a new empty folder under /tmp as the current directory.
class WorkingFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = std::filesystem::current_path();
        std::string pattern = (std::filesystem::temp_directory_path() / "rtu-runtime-XXXXXX").string();
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

    std::string PathOf(const std::string& name) const { return (folder_ / name).string(); }

    static void WriteFile(const std::string& path, const std::string& content)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }

    static std::string ReadFile(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    std::filesystem::path folder_;

private:
    std::filesystem::path previous_;
};

// Collects the messages logged on "MAIN" while it lives.
class LogCapture {
public:
    LogCapture() : appender_(new Appender)
    {
        MainLogger().setLogLevel(log4cplus::DEBUG_LOG_LEVEL);
        MainLogger().addAppender(appender_);
    }
    ~LogCapture() { MainLogger().removeAppender(appender_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Lines() const
    {
        auto* appender = static_cast<Appender*>(appender_.get());
        std::lock_guard<std::mutex> lock(appender->mutex);
        return appender->lines;
    }

    int CountContaining(const std::string& part) const
    {
        int count = 0;
        for (const std::string& line : Lines()) {
            if (line.find(part) != std::string::npos) {
                ++count;
            }
        }
        return count;
    }

    bool Contains(const std::string& part) const
    {
        for (const std::string& line : Lines()) {
            if (line.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

private:
    class Appender : public log4cplus::Appender {
    public:
        ~Appender() override { destructorImpl(); }
        void close() override {}

        std::mutex mutex;
        std::vector<std::string> lines;

    protected:
        void append(const log4cplus::spi::InternalLoggingEvent& event) override
        {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(event.getMessage());
        }
    };

    log4cplus::SharedAppenderPtr appender_;
};

}  // namespace rtu::test

// For test programs that run the program's modules in their own process:
// the modules' error lines (an outage, a refused statement, what a database
// said) go to standard error, so a failing test shows them. Including this
// header registers it once per test program.
#pragma once

#include <gtest/gtest.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>

namespace rtu::testing {

class ErrorLogToStderr : public ::testing::Environment {
public:
    void SetUp() override
    {
        log4cplus::SharedAppenderPtr appender(new log4cplus::ConsoleAppender(true, true));
        log4cplus::Logger::getRoot().addAppender(appender);
        log4cplus::Logger::getRoot().setLogLevel(log4cplus::ERROR_LOG_LEVEL);
    }

private:
    log4cplus::Initializer initializer_;
};

inline ::testing::Environment* const g_errorLogToStderr =
    ::testing::AddGlobalTestEnvironment(new ErrorLogToStderr);

}  // namespace rtu::testing

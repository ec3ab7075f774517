// Logging of the data centre: every module writes to the log4cplus logger
// "MAIN" at DEBUG (or ERROR) level with its source location. Which lines are
// written, and where, is decided by IOCP_log.cfg.
#pragma once

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

namespace rtu {

inline log4cplus::Logger& MainLogger()
{
    static log4cplus::Logger logger = log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("MAIN"));
    return logger;
}

}  // namespace rtu

// Stream-style: RTU_LOG_DEBUG("station " << address << " online");
#define RTU_LOG_DEBUG(expr) LOG4CPLUS_DEBUG(::rtu::MainLogger(), expr)
#define RTU_LOG_ERROR(expr) LOG4CPLUS_ERROR(::rtu::MainLogger(), expr)

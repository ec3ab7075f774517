// The library's logger: log4cplus logger "MAIN", configured by Initilize
// from IOCP_log.cfg.
#pragma once

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

namespace linkcore {

inline log4cplus::Logger& MainLogger()
{
    static log4cplus::Logger logger = log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("MAIN"));
    return logger;
}

inline bool DebugLogEnabled()
{
    return MainLogger().isEnabledFor(log4cplus::DEBUG_LOG_LEVEL);
}

}  // namespace linkcore

#define LINKCORE_LOG_DEBUG(expr) LOG4CPLUS_DEBUG(::linkcore::MainLogger(), expr)
#define LINKCORE_LOG_ERROR(expr) LOG4CPLUS_ERROR(::linkcore::MainLogger(), expr)

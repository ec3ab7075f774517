#include "rtu/runtime/StartupFiles.h"

#include "rtu/common/Log.h"

#include <fstream>
#include <log4cplus/configurator.h>
#include <log4cplus/loglevel.h>
#include <sys/stat.h>

namespace rtu {

void CreateLogsDirectory()
{
    ::mkdir("Logs", 0755);
}

bool ConfigureLogging(const std::string& file)
{
    // The property configurator only prints to standard error for a missing
    // file and leaves logging unconfigured, so look for the file first.
    struct stat info {};
    bool readable = ::stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                    std::ifstream(file).good();
    if (readable) {
        log4cplus::PropertyConfigurator::doConfigure(LOG4CPLUS_STRING_TO_TSTRING(file));
        return true;
    }
    log4cplus::BasicConfigurator::doConfigure();
    MainLogger().setLogLevel(log4cplus::DEBUG_LOG_LEVEL);
    RTU_LOG_ERROR(file << " not found or not readable: logging to the console");
    return false;
}

}  // namespace rtu

// The first steps of the program's start-up in its working folder: the
// "Logs" directory and the logging configuration from "IOCP_log.cfg".
//
// The program keeps a log4cplus::Initializer alive in main for as long as it
// logs; these functions expect one.
#pragma once

#include <string>

namespace rtu {

// Creates "Logs" in the current directory. An existing directory is fine; a
// failure is ignored (the log file appenders then report their own errors).
void CreateLogsDirectory();

// Configures log4cplus from `file` (default "IOCP_log.cfg" in the current
// directory) into the default hierarchy. When the file is missing or cannot
// be read, logging goes to the console instead and a line on the logger
// "MAIN" says so. Returns true when the file was used.
bool ConfigureLogging(const std::string& file = "IOCP_log.cfg");

}  // namespace rtu

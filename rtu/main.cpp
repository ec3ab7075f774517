// RTU: the data centre. With --headless it runs without windows, its log pane
// on standard output, until SIGINT or SIGTERM.
#include "rtu/journal/RejectedReplay.h"
#include "rtu/runtime/HeadlessMain.h"
#include "rtu/runtime/MainFrame.h"
#include "rtu/common/Log.h"
#include "rtu/runtime/ServerSettings.h"
#include "rtu/runtime/StartupFiles.h"

#include <log4cplus/hierarchy.h>
#include <log4cplus/initializer.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#ifdef RTU_WITH_UI
#include "rtu/ui/WindowedMain.h"
#endif

namespace {

void PrintUsage()
{
    std::puts("usage: RTU [--headless | --list-rejected | --replay-rejected]\n"
              "  Runs the data centre in the current directory: settings from server.ini,\n"
              "  texts from config.ini, logging configured by IOCP_log.cfg, logs under Logs/.\n"
              "  --headless         no windows: the log pane goes to standard output; stop\n"
              "                     with SIGINT or SIGTERM.\n"
              "  --list-rejected    lists the statements a database refused for their content,\n"
              "                     kept in the report journal (JournalFile in server.ini).\n"
              "  --replay-rejected  writes them again (after the cause is mended); those\n"
              "                     written leave the list. Exits 1 when any is left.");
}

// A data centre holding thousands of stations needs a descriptor per
// connection, far more than the usual soft limit of 1024: the soft limit is
// raised to the hard one before anything is opened.
struct OpenFileLimit {
    rlim_t before = 0;
    rlim_t now = 0;
    int error = 0;  // errno of a failed raise
};

OpenFileLimit RaiseOpenFileLimit()
{
    OpenFileLimit result;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        result.error = errno;
        return result;
    }
    result.before = limit.rlim_cur;
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        } else {
            result.error = errno;
        }
    }
    result.now = limit.rlim_cur;
    return result;
}

std::string LimitText(rlim_t value)
{
    return value == RLIM_INFINITY ? std::string("unlimited") : std::to_string(value);
}

// Writes the limit to the log. Logging is configured only inside the run
// functions, so the line is written with the configuration of the working
// folder, which is then reset for them to configure afresh (the file
// appender appends). Without a logging configuration the line is left out.
void LogOpenFileLimit(const OpenFileLimit& limit)
{
    struct stat info {};
    if (::stat("IOCP_log.cfg", &info) != 0 || !S_ISREG(info.st_mode)) return;
    rtu::CreateLogsDirectory();
    if (!rtu::ConfigureLogging()) return;
    if (limit.error != 0) {
        RTU_LOG_DEBUG("open files: soft limit " << LimitText(limit.before) << " could not be raised to the hard limit: "
                                                << std::strerror(limit.error));
    } else {
        RTU_LOG_DEBUG("open files: limit " << LimitText(limit.now) << " (was " << LimitText(limit.before) << ")");
    }
    log4cplus::Logger::getDefaultHierarchy().resetConfiguration();
}

// The journal's refused statements: listed, or written again to the databases
// of server.ini. Runs beside a running data centre as well.
int RunRejected(bool replay)
{
    const rtu::ServerSettings settings = rtu::LoadServerSettings();
    if (!replay) return rtu::journal::ListRejected(settings.journalFile, std::cout) ? 0 : 1;
    const std::string main = settings.main.Used() ? rtu::CMainFrame::ConnectionStringOf(settings.main) : std::string();
    const std::string third =
        settings.third.Used() ? rtu::CMainFrame::ConnectionStringOf(settings.third) : std::string();
    const auto outcome = rtu::journal::ReplayRejected(settings.journalFile, main, third, std::cout);
    return outcome.ok && outcome.refused == 0 && outcome.unreachable == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const OpenFileLimit limit = RaiseOpenFileLimit();
    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) {
            headless = true;
        } else if (std::strcmp(argv[i], "--list-rejected") == 0 || std::strcmp(argv[i], "--replay-rejected") == 0) {
            log4cplus::Initializer logging;
            return RunRejected(std::strcmp(argv[i], "--replay-rejected") == 0);
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintUsage();
            return 0;
        } else {
            std::fprintf(stderr, "RTU: unknown argument '%s'\n", argv[i]);
            PrintUsage();
            return 2;
        }
    }
    // Kept for the whole run: the run functions' own initializers then only
    // count up and down.
    log4cplus::Initializer logging;
    LogOpenFileLimit(limit);
#ifdef RTU_WITH_UI
    if (!headless) return rtu::RunWindowed(argc, argv);
#else
    if (!headless) {
        std::fputs("RTU: this build has no windows; run it with --headless\n", stderr);
        return 2;
    }
#endif
    return rtu::RunHeadless();
}

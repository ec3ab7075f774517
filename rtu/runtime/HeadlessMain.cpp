#include "rtu/runtime/HeadlessMain.h"

#include "rtu/runtime/HeadlessView.h"
#include "rtu/common/Log.h"
#include "rtu/runtime/MainFrame.h"
#include "rtu/runtime/ScheduledRestart.h"
#include "rtu/runtime/Settings.h"
#include "rtu/runtime/StartupFiles.h"

#include <log4cplus/initializer.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <string>

namespace rtu {

int RunHeadless()
{
    // SIGINT and SIGTERM are taken by this thread with sigwait; every thread
    // started from here on inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    log4cplus::Initializer logging;
    CreateLogsDirectory();
    ConfigureLogging();
    FixSettingsPath();

    HeadlessView view;
    int exitCode = 0;
    {
        CMainFrame frame(view);
        std::string failure;
        if (!frame.Create()) {
            view.PostLogLine("NetInit Fail");
            failure = "the network library could not be initialised";
        } else if (!frame.Running()) {
            failure = frame.StartFailure();
        }
        // Without a window nobody can start the service later: a centre that
        // does not listen ends at once and says why, so a supervisor sees it.
        if (!failure.empty()) {
            RTU_LOG_ERROR("RTU --headless ends: " << failure);
            std::fprintf(stderr, "RTU: the service did not start: %s\n", failure.c_str());
            frame.Destroy();
            return 1;
        }

        ScheduledRestart restart(frame.Settings().Current()->RebootPeriod(),
                                 ScheduledRestart::Hooks{[&] { return frame.IsRecevingImage(); },
                                                         [&] { frame.StopService(); },
                                                         [&] { frame.StartService(); }, {},
                                                         [&](int code) { exitCode = code; }});

        // Wait for a stop signal, running the restart timers once a second.
        const timespec second{1, 0};
        int signal = -1;
        while (!restart.Exiting()) {
            signal = sigtimedwait(&stopSignals, nullptr, &second);
            if (signal == SIGINT || signal == SIGTERM) break;
            restart.Tick(ScheduledRestart::Clock::now());
        }
        if (restart.Exiting()) {
            RTU_LOG_DEBUG("leaving for the scheduled restart, exit code " << exitCode);
        } else {
            RTU_LOG_DEBUG("signal " << signal << ": stopping the data centre");
            view.PostLogLine(signal == SIGINT ? "SIGINT: stopping" : "SIGTERM: stopping");
            frame.StopService();
        }
        frame.Destroy();
    }
    return exitCode;
}

}  // namespace rtu

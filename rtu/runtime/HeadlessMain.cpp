#include "rtu/runtime/HeadlessMain.h"

#include "rtu/runtime/HeadlessView.h"
#include "rtu/runtime/Log.h"
#include "rtu/runtime/MainFrame.h"
#include "rtu/runtime/Settings.h"
#include "rtu/runtime/StartupFiles.h"

#include <log4cplus/initializer.h>

#include <csignal>
#include <cstdio>
#include <pthread.h>

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
    {
        CMainFrame frame(view);
        if (!frame.Create()) view.PostLogLine("NetInit Fail");

        int signal = 0;
        sigwait(&stopSignals, &signal);
        RTU_LOG_DEBUG("signal " << signal << ": stopping the data centre");
        view.PostLogLine(signal == SIGINT ? "SIGINT: stopping" : "SIGTERM: stopping");
        frame.StopService();
        frame.Destroy();
    }
    return 0;
}

}  // namespace rtu

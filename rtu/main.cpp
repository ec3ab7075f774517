// RTU: the data centre. With --headless it runs without windows, its log pane
// on standard output, until SIGINT or SIGTERM.
#include "rtu/runtime/HeadlessMain.h"

#include <cstdio>
#include <cstring>

#ifdef RTU_WITH_UI
#include "rtu/ui/WindowedMain.h"
#endif

namespace {

void PrintUsage()
{
    std::puts("usage: RTU [--headless]\n"
              "  Runs the data centre in the current directory: settings from server.ini,\n"
              "  texts from config.ini, logging configured by IOCP_log.cfg, logs under Logs/.\n"
              "  --headless  no windows: the log pane goes to standard output; stop with\n"
              "              SIGINT or SIGTERM.");
}

}  // namespace

int main(int argc, char** argv)
{
    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) {
            headless = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintUsage();
            return 0;
        } else {
            std::fprintf(stderr, "RTU: unknown argument '%s'\n", argv[i]);
            PrintUsage();
            return 2;
        }
    }
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

// Shared set-up of the window tests: one QApplication on the offscreen
// platform, a private working folder with the delivered config.ini (texts are
// looked up in the current folder) and its own server.ini, and a wait that
// serves the event loop until a condition holds.
#pragma once

#include "rtu/ui/ServiceControl.h"

#include <gtest/gtest.h>

#include <QString>

#include <functional>
#include <map>
#include <string>

namespace rtu::test {

// Creates the application and the working folder once per process.
void EnsureUiEnvironment();
// The working folder (with a trailing '/').
const std::string& WorkFolder();
// The whole text of a file; empty when missing.
std::string ReadFile(const std::string& path);

// Serves queued events until `done` holds or `ms` milliseconds passed.
bool WaitFor(const std::function<bool()>& done, int ms = 5000);

class UiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureUiEnvironment(); }
};

// A service that starts and stops when told and hands out the records it was given.
class FakeService : public ServiceControl {
public:
    bool Running() const override { return running; }
    bool StartService() override
    {
        ++starts;
        running = startSucceeds;
        return running;
    }
    void StopService() override
    {
        ++stops;
        running = false;
    }
    SettingsStore& Settings() override { return settings; }
    bool GetLinkRecord(const std::string& station, int linkKind, CltDevInfo& out) override;
    bool PictureInProgress() override { return picture; }

    void SetRecord(const CltDevInfo& record);

    bool running = false;
    bool startSucceeds = true;
    bool picture = false;
    int starts = 0;
    int stops = 0;
    SettingsStore settings;
    std::map<std::pair<std::string, int>, CltDevInfo> records;
};

// A link record as the registry would hold it.
CltDevInfo MakeRecord(const std::string& station, const std::string& waterLevel = "1.25", int linkKind = 0);

}  // namespace rtu::test

// What the main window asks of the data centre's runtime: the service state,
// start and stop, the settings in memory and copies of link records. The
// program gives it the runtime owner (FrameServiceControl); tests give it a
// stand-in.
#pragma once

#include "rtu/runtime/LinkRecord.h"
#include "rtu/runtime/ServerSettings.h"

#include <string>

namespace rtu {

class CMainFrame;

class ServiceControl {
public:
    virtual ~ServiceControl() = default;

    virtual bool Running() const = 0;
    // False when the service could not start (the runtime shows why).
    virtual bool StartService() = 0;
    virtual void StopService() = 0;
    virtual SettingsStore& Settings() = 0;
    // A copy of the station's link record, taken under the registry's lock;
    // false when the station has no record for the link kind.
    virtual bool GetLinkRecord(const std::string& station, int linkKind, CltDevInfo& out) = 0;
    // True while a picture is being received (a scheduled restart waits).
    virtual bool PictureInProgress() { return false; }
};

class FrameServiceControl : public ServiceControl {
public:
    explicit FrameServiceControl(CMainFrame& frame) : frame_(frame) {}

    bool Running() const override;
    bool StartService() override;
    void StopService() override;
    SettingsStore& Settings() override;
    bool GetLinkRecord(const std::string& station, int linkKind, CltDevInfo& out) override;
    bool PictureInProgress() override;

private:
    CMainFrame& frame_;
};

}  // namespace rtu

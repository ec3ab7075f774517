#include "rtu/ui/ServiceControl.h"

#include "rtu/runtime/MainFrame.h"

namespace rtu {

bool FrameServiceControl::Running() const { return frame_.Running(); }
bool FrameServiceControl::StartService() { return frame_.StartService(); }
void FrameServiceControl::StopService() { frame_.StopService(); }
SettingsStore& FrameServiceControl::Settings() { return frame_.Settings(); }

bool FrameServiceControl::GetLinkRecord(const std::string& station, int linkKind, CltDevInfo& out)
{
    return frame_.Registry().GetLinkRecord(station, linkKind, out);
}

bool FrameServiceControl::PictureInProgress() { return frame_.IsRecevingImage(); }

}  // namespace rtu

#include "rtu/transport/SerialPorts.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace rtu {

namespace fs = std::filesystem;

namespace {

// The 8250 driver registers placeholder ports whether or not the hardware
// exists. Newer kernels bind every port of the serial core, placeholders
// included, to the serial-base bus's "port" driver instead.
bool MayBePlaceholder(const fs::path& driver)
{
    return driver.filename() == "serial8250" ||
           (driver.filename() == "port" && driver.parent_path().parent_path().filename() == "serial-base");
}

// The names of the entries of a folder; nothing when it cannot be read.
std::vector<std::string> EntryNames(const std::string& folder)
{
    std::vector<std::string> names;
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error) return names;
    for (const fs::directory_iterator end; it != end; it.increment(error)) {
        if (error) break;
        names.push_back(it->path().filename().string());
    }
    return names;
}

}  // namespace

bool SerialPortPresent(const std::string& devicePath)
{
    const int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return true;  // cannot tell: keep it
    serial_struct info{};
    const bool unknown = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN;
    ::close(fd);
    return !unknown;
}

std::vector<std::string> ListSerialPorts(const SerialPortRoots& roots, const SerialPortProbe& probe)
{
    std::vector<std::string> ports;
    for (const std::string& name : EntryNames(roots.byId)) ports.push_back(roots.byId + "/" + name);

    for (const std::string& name : EntryNames(roots.ttyClass)) {
        const fs::path driver = fs::path(roots.ttyClass) / name / "device" / "driver";
        std::error_code error;
        if (!fs::exists(driver, error)) continue;  // virtual terminals, ptys: no driver
        const std::string devicePath = roots.devices + "/" + name;
        const fs::path resolved = fs::canonical(driver, error);
        const bool placeholderDriver = !error && MayBePlaceholder(resolved);
        if (placeholderDriver && probe && !probe(devicePath)) continue;
        ports.push_back(devicePath);
    }

    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

}  // namespace rtu

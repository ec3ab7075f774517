// The serial ports of this machine, for the serial settings dialog's port
// box: the stable names under /dev/serial/by-id and the tty devices that a
// driver has bound.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace rtu {

// Where the listing looks; the defaults are the system's folders. Tests
// point them at a fake tree.
struct SerialPortRoots {
    std::string byId = "/dev/serial/by-id";  // links named after the device
    std::string ttyClass = "/sys/class/tty";  // one folder per tty device
    std::string devices = "/dev";             // where a tty's device node is
};

// Says whether a tty bound to the 8250 driver (or, on newer kernels, to the
// serial core's port driver) has a port behind it: the 8250 driver registers
// placeholder ports (ttyS0 ... ttyS31) whether or not the hardware exists.
// Called with the device path.
using SerialPortProbe = std::function<bool(const std::string& devicePath)>;

// The default probe: asks the driver for the port type (TIOCGSERIAL) and
// says no only when it answers "unknown"; a port that cannot be asked (no
// permission, busy) is kept.
bool SerialPortPresent(const std::string& devicePath);

// Device paths, sorted, each once: every entry of roots.byId (as a path in
// that folder), and roots.devices + "/" + NAME for every NAME in
// roots.ttyClass whose device/driver exists; possible placeholders are left
// out where `probe` says so. Folders that do not exist give nothing.
std::vector<std::string> ListSerialPorts(const SerialPortRoots& roots = SerialPortRoots(),
                                         const SerialPortProbe& probe = SerialPortPresent);

}  // namespace rtu

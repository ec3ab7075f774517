// Listing serial ports, on a fake device tree in a temporary folder.
#include "rtu/transport/SerialPorts.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace rtu {
namespace {

namespace fs = std::filesystem;

class FakeDeviceTree : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "serialports-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        roots_.byId = (root_ / "dev/serial/by-id").string();
        roots_.ttyClass = (root_ / "sys/class/tty").string();
        roots_.devices = (root_ / "dev").string();
        fs::create_directories(roots_.byId);
        fs::create_directories(roots_.ttyClass);
        fs::create_directories(root_ / "sys/bus/drivers/serial8250");
        fs::create_directories(root_ / "sys/bus/drivers/ftdi_sio");
        fs::create_directories(root_ / "sys/bus/drivers/cdc_acm");
        fs::create_directories(root_ / "sys/bus/serial-base/drivers/port");
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // A tty folder; with a driver, device/driver links to it (a driver
    // with a slash is a bus's: "serial-base/port").
    void Tty(const std::string& name, const std::string& driver = "")
    {
        const fs::path device = fs::path(roots_.ttyClass) / name / "device";
        fs::create_directories(device);
        const auto slash = driver.find('/');
        const fs::path target = slash == std::string::npos
                                    ? root_ / "sys/bus/drivers" / driver
                                    : root_ / "sys/bus" / driver.substr(0, slash) / "drivers" / driver.substr(slash + 1);
        if (!driver.empty()) fs::create_directory_symlink(target, device / "driver");
    }
    void ById(const std::string& name, const std::string& target)
    {
        fs::create_symlink(target, fs::path(roots_.byId) / name);
    }

    fs::path root_;
    SerialPortRoots roots_;
};

TEST_F(FakeDeviceTree, ListsStableNamesAndTtysWithADriverSorted)
{
    Tty("ttyUSB1", "ftdi_sio");
    Tty("ttyACM0", "cdc_acm");
    Tty("ttyUSB0", "ftdi_sio");
    Tty("tty0");     // a virtual terminal: no driver
    Tty("ptmx");
    fs::create_directories(fs::path(roots_.ttyClass) / "console");  // no device folder at all
    ById("usb-Radio_Modem_A1-if00-port0", "../../ttyUSB0");
    ById("usb-Cable_B2-if00", "../../ttyACM0");

    const std::string dev = roots_.devices + "/";
    const std::string byId = roots_.byId + "/";
    const std::vector<std::string> expected = {
        dev + "serial/by-id/usb-Cable_B2-if00", dev + "serial/by-id/usb-Radio_Modem_A1-if00-port0",
        dev + "ttyACM0", dev + "ttyUSB0", dev + "ttyUSB1"};
    EXPECT_EQ(ListSerialPorts(roots_, [](const std::string&) { return true; }), expected);
}

TEST_F(FakeDeviceTree, PlaceholderPortsOfThe8250DriverAreProbed)
{
    Tty("ttyS0", "serial8250");
    Tty("ttyS1", "serial8250");
    Tty("ttyS2", "serial-base/port");  // newer kernels
    Tty("ttyS3", "serial-base/port");
    Tty("ttyUSB0", "ftdi_sio");
    std::vector<std::string> probed;
    const auto onlyS0andS2 = [&](const std::string& path) {
        probed.push_back(path);
        return path == roots_.devices + "/ttyS0" || path == roots_.devices + "/ttyS2";
    };
    const std::vector<std::string> expected = {roots_.devices + "/ttyS0", roots_.devices + "/ttyS2",
                                               roots_.devices + "/ttyUSB0"};
    EXPECT_EQ(ListSerialPorts(roots_, onlyS0andS2), expected);
    EXPECT_EQ(probed.size(), 4u) << "only the serial core's ports are probed";

    // The default probe keeps a port it cannot ask (here: no device node).
    EXPECT_EQ(ListSerialPorts(roots_).size(), 5u);
}

TEST_F(FakeDeviceTree, MissingFoldersGiveAnEmptyList)
{
    SerialPortRoots none;
    none.byId = (root_ / "absent/by-id").string();
    none.ttyClass = (root_ / "absent/tty").string();
    EXPECT_TRUE(ListSerialPorts(none).empty());
    EXPECT_TRUE(ListSerialPorts(roots_).empty());
}

// The kernel's own word on each ttyS port (its "type", 0 for none behind
// it) against the probe and the listing, for the ports this user can open.
TEST(SerialPorts, TheMachinesPortsAreListedExactlyWhenTheKernelKnowsAPortBehindThem)
{
    const std::vector<std::string> listed = ListSerialPorts();
    int checked = 0;
    std::error_code error;
    for (fs::directory_iterator it("/sys/class/tty", error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        std::ifstream typeFile(it->path() / "type");
        int type = -1;
        if (name.rfind("ttyS", 0) != 0 || !(typeFile >> type)) continue;
        const std::string device = "/dev/" + name;
        const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        ::close(fd);
        ++checked;
        EXPECT_EQ(SerialPortPresent(device), type != 0) << device;
        EXPECT_EQ(std::count(listed.begin(), listed.end(), device), type != 0 ? 1 : 0) << device;
    }
    if (checked == 0) GTEST_SKIP() << "no ttyS port on this machine that this user can open";
}

}  // namespace
}  // namespace rtu

// Listing serial ports, on a fake device tree in a temporary folder.
#include "rtu/transport/SerialPorts.h"

#include <gtest/gtest.h>

#include <stdlib.h>

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
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // A tty folder; with a driver, device/driver links to it.
    void Tty(const std::string& name, const std::string& driver = "")
    {
        const fs::path device = fs::path(roots_.ttyClass) / name / "device";
        fs::create_directories(device);
        if (!driver.empty()) fs::create_directory_symlink(root_ / "sys/bus/drivers" / driver, device / "driver");
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
    Tty("ttyUSB0", "ftdi_sio");
    std::vector<std::string> probed;
    const auto onlyS0 = [&](const std::string& path) {
        probed.push_back(path);
        return path == roots_.devices + "/ttyS0";
    };
    const std::vector<std::string> expected = {roots_.devices + "/ttyS0", roots_.devices + "/ttyUSB0"};
    EXPECT_EQ(ListSerialPorts(roots_, onlyS0), expected);
    EXPECT_EQ(probed.size(), 2u) << "only the 8250 ports are probed";

    // The default probe keeps a port it cannot ask (here: no device node).
    const std::vector<std::string> all = {roots_.devices + "/ttyS0", roots_.devices + "/ttyS1",
                                          roots_.devices + "/ttyUSB0"};
    EXPECT_EQ(ListSerialPorts(roots_), all);
}

TEST_F(FakeDeviceTree, MissingFoldersGiveAnEmptyList)
{
    SerialPortRoots none;
    none.byId = (root_ / "absent/by-id").string();
    none.ttyClass = (root_ / "absent/tty").string();
    EXPECT_TRUE(ListSerialPorts(none).empty());
    EXPECT_TRUE(ListSerialPorts(roots_).empty());
}

TEST(SerialPorts, TheMachinesOwnListingWorks)
{
    for (const std::string& port : ListSerialPorts()) EXPECT_EQ(port.rfind("/dev/", 0), 0u) << port;
}

}  // namespace
}  // namespace rtu

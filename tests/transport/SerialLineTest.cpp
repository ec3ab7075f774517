// From the COMM settings to a device path and termios values: every setting
// of the serial dialog lands in the right flag (parity cannot be observed on
// a pseudo-terminal, so the mapping itself is checked here).
#include "rtu/transport/Serial.h"

#include <gtest/gtest.h>

#include <string>

namespace rtu {
namespace {

SerialSettings Comm(const std::string& com, const std::string& pattern = "/dev/ttyS%d")
{
    SerialSettings s;
    s.mode = 1;
    s.com = com;
    s.devicePattern = pattern;
    s.byteSize = 3;
    return s;
}

TEST(SerialDevicePath, PathsAreUsedAsTheyStandAndComNumbersGoThroughThePattern)
{
    struct Case {
        const char* com;
        const char* pattern;
        const char* device;
    };
    const Case cases[] = {
        {"/dev/serial/by-id/usb-radio-if00", "/dev/ttyS%d", "/dev/serial/by-id/usb-radio-if00"},
        {"COM1", "/dev/ttyS%d", "/dev/ttyS0"},
        {"COM3", "/dev/ttyS%d", "/dev/ttyS2"},
        {"COM12", "/dev/ttyS%d", "/dev/ttyS11"},
        {"COM1", "/dev/ttyUSB%d", "/dev/ttyUSB0"},
        {"COM1024", "/dev/ttyS%d", "/dev/ttyS1023"},
        {"com2", "/dev/ttyACM%d", "/dev/ttyACM1"},
    };
    for (const Case& c : cases) {
        std::string why;
        EXPECT_EQ(SerialDevicePath(Comm(c.com, c.pattern), &why), c.device) << c.com << " " << c.pattern << ": " << why;
    }
}

TEST(SerialDevicePath, ValuesThatNameNoDeviceGiveNothing)
{
    struct Case {
        const char* com;
        const char* pattern;
    };
    const Case cases[] = {
        {"", "/dev/ttyS%d"},       {"C", "/dev/ttyS%d"},        {"CO", "/dev/ttyS%d"},
        {"COM", "/dev/ttyS%d"},    {"COM0", "/dev/ttyS%d"},     {"COM1025", "/dev/ttyS%d"},
        {"COM-1", "/dev/ttyS%d"},  {"COMx", "/dev/ttyS%d"},     {"COM1", "/dev/tty%s"},
        {"COM1", "/dev/ttyS%d%d"}, {"COM1", "/dev/ttyS%n"},     {"COM1", ""},
    };
    for (const Case& c : cases) {
        std::string why;
        EXPECT_EQ(SerialDevicePath(Comm(c.com, c.pattern), &why), "") << c.com << " " << c.pattern;
        EXPECT_FALSE(why.empty()) << c.com << " " << c.pattern;
    }
}

TEST(MakeLineConfig, ReadsEveryCommSettingAndRefusesUnusableOnes)
{
    SerialSettings s = Comm("COM2");
    s.baudRate = "9600";
    s.byteSize = 2;
    s.stopBit = 1;
    s.parity = 2;
    LineConfig line;
    ASSERT_TRUE(MakeLineConfig(s, line));
    EXPECT_EQ(line.device, "/dev/ttyS1");
    EXPECT_EQ(line.baud, 9600u);
    EXPECT_EQ(line.dataBits, 7);
    EXPECT_TRUE(line.twoStopBits);
    EXPECT_EQ(line.parity, 2);

    s.stopBit = 7;  // anything but 0 is two stop bits
    ASSERT_TRUE(MakeLineConfig(s, line));
    EXPECT_TRUE(line.twoStopBits);
    s.stopBit = 0;
    ASSERT_TRUE(MakeLineConfig(s, line));
    EXPECT_FALSE(line.twoStopBits);

    const auto refused = [](SerialSettings bad) {
        LineConfig out;
        out.device = "untouched";
        std::string why;
        const bool ok = MakeLineConfig(bad, out, &why);
        return !ok && !why.empty() && out.device == "untouched";
    };
    SerialSettings bad = s;
    bad.baudRate = "fast";
    EXPECT_TRUE(refused(bad));
    bad.baudRate = "0";
    EXPECT_TRUE(refused(bad));
    bad.baudRate = "99999999999";
    EXPECT_TRUE(refused(bad));
    bad = s;
    bad.byteSize = 4;
    EXPECT_TRUE(refused(bad));
    bad.byteSize = -1;
    EXPECT_TRUE(refused(bad));
    bad = s;
    bad.parity = 3;
    EXPECT_TRUE(refused(bad));
    bad = s;
    bad.com = "CO";
    EXPECT_TRUE(refused(bad));
}

// A base full of what a previous user of the device may have left on.
termios CookedBase()
{
    termios t{};
    t.c_iflag = ICRNL | IXON | IXOFF | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK | IGNPAR;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 5;
    cfsetispeed(&t, B1200);
    cfsetospeed(&t, B1200);
    return t;
}

LineConfig Line(unsigned long baud, int dataBits, bool twoStop, int parity)
{
    LineConfig c;
    c.device = "/dev/null";
    c.baud = baud;
    c.dataBits = dataBits;
    c.twoStopBits = twoStop;
    c.parity = parity;
    return c;
}

TEST(MapLineToTermios, TheLineIsRawWithoutFlowControlAndIgnoresModemLines)
{
    termios t{};
    unsigned long custom = 99;
    ASSERT_TRUE(MapLineToTermios(Line(115200, 8, false, 0), CookedBase(), t, custom));
    EXPECT_EQ(custom, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK | IGNPAR | INPCK), 0u);
    EXPECT_NE(t.c_iflag & IGNBRK, 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(t.c_cflag & HUPCL, HUPCL) << "the modem-hang-up choice of the device is kept";
}

TEST(MapLineToTermios, DataBitsStopBitsAndParity)
{
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    for (int bits = 5; bits <= 8; ++bits) {
        for (bool twoStop : {false, true}) {
            for (int parity = 0; parity <= 2; ++parity) {
                termios t{};
                unsigned long custom = 0;
                ASSERT_TRUE(MapLineToTermios(Line(9600, bits, twoStop, parity), CookedBase(), t, custom));
                SCOPED_TRACE(testing::Message() << bits << " bits, two stop " << twoStop << ", parity " << parity);
                EXPECT_EQ(t.c_cflag & CSIZE, sizes[bits - 5]);
                EXPECT_EQ((t.c_cflag & CSTOPB) != 0, twoStop);
                EXPECT_EQ((t.c_cflag & PARENB) != 0, parity != 0);
                EXPECT_EQ((t.c_cflag & PARODD) != 0, parity == 1);
                EXPECT_EQ((t.c_iflag & INPCK) != 0, parity != 0) << "parity is checked when used";
                // A byte received with an error reads as a zero byte: neither
                // dropped (which would shift the frame) nor marked.
                EXPECT_EQ(t.c_iflag & (IGNPAR | PARMRK), 0u);
            }
        }
    }
    termios t{};
    unsigned long custom = 0;
    EXPECT_FALSE(MapLineToTermios(Line(9600, 4, false, 0), CookedBase(), t, custom));
    EXPECT_FALSE(MapLineToTermios(Line(9600, 9, false, 0), CookedBase(), t, custom));
    EXPECT_FALSE(MapLineToTermios(Line(9600, 8, false, 3), CookedBase(), t, custom));
    EXPECT_FALSE(MapLineToTermios(Line(0, 8, false, 0), CookedBase(), t, custom));
}

TEST(MapLineToTermios, EveryRateOfTheDialogIsSet)
{
    struct Case {
        unsigned long baud;
        speed_t constant;  // B0: no constant, set as an arbitrary rate
    };
    const Case cases[] = {
        {110, B110},     {300, B300},     {600, B600},     {1200, B1200},   {2400, B2400},
        {4800, B4800},   {9600, B9600},   {14400, B0},     {19200, B19200}, {38400, B38400},
        {56000, B0},     {57600, B57600}, {115200, B115200},
    };
    for (const Case& c : cases) {
        termios t{};
        unsigned long custom = 0;
        ASSERT_TRUE(MapLineToTermios(Line(c.baud, 8, false, 0), CookedBase(), t, custom)) << c.baud;
        if (c.constant == B0) {
            EXPECT_EQ(custom, c.baud);
            EXPECT_EQ(cfgetospeed(&t), B38400) << c.baud;
        } else {
            EXPECT_EQ(custom, 0u) << c.baud;
            EXPECT_EQ(cfgetospeed(&t), c.constant) << c.baud;
            EXPECT_EQ(cfgetispeed(&t), c.constant) << c.baud;
        }
    }
}

}  // namespace
}  // namespace rtu

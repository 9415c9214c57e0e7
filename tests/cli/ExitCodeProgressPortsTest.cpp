// Pieces of the command-line front that are easier to pin down alone: the worst of several
// exit codes, progress texts and the serial-device listing on a made-up system tree.
#include <gtest/gtest.h>

#include "CliTestSupport.h"
#include "Ports.h"
#include "Progress.h"
#include "download/ExitCode.h"
#include "units/ChildEvent.h"

using namespace clitest;
namespace fs = std::filesystem;

namespace {

TEST(ExitCodes, WorstOfSeveralUnits) {
    struct Case {
        int a, b, worst;
    };
    const std::vector<Case> cases = {
        {0, 5, 5},     {5, 11, 11}, {11, 19, 19},  {19, 20, 20}, {20, 4, 4}, {4, 3, 3},  {3, 1, 1},
        {1, 130, 130}, {0, 0, 0},   {130, 0, 130}, {12, 11, 12}, {5, 0, 5},  {4, 20, 4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(exitcode::worse(c.a, c.b), c.worst) << c.a << " vs " << c.b;
        EXPECT_EQ(exitcode::worse(c.b, c.a), c.worst) << c.b << " vs " << c.a;
    }
    EXPECT_EQ(exitcode::name(13), "F3");
}

TEST(Progress, TextShowsBlocksPercentBytesRateAndTimeLeft) {
    ProgressTracker tracker;
    const auto t0 = SteadyClock::now();
    tracker.start(68, 16728, t0);
    tracker.setStatus("Deleting");
    EXPECT_EQ(progressText(tracker.view(t0)), "0/68 blocks    0%  0/16728 bytes  -- B/s  -:-- left  Deleting");

    // The rate counts from the first block on: 10 blocks in 1 s after it.
    tracker.setBlocks(1, t0 + 5s);
    tracker.setBlocks(11, t0 + 6s);
    tracker.setStatus("Downloading");
    const ProgressView v = tracker.view(t0 + 6s);
    ASSERT_TRUE(v.bytesPerSecond);
    EXPECT_DOUBLE_EQ(*v.bytesPerSecond, 2460.0);
    EXPECT_EQ(progressText(v), "11/68 blocks   16%  2706/16728 bytes  2.5 kB/s  0:06 left  Downloading");
    EXPECT_EQ(progressBar(v, 10).substr(0, 13), "[#---------] ");

    // The last block is short: bytes never pass the file's size.
    tracker.setBlocks(68, t0 + 12s);
    EXPECT_EQ(tracker.view(t0 + 12s).bytesDone, 16728u);
    EXPECT_EQ(progressBar(tracker.view(t0 + 12s), 10).substr(0, 12), "[##########]");
}

TEST(Progress, DurationsAndRates) {
    EXPECT_EQ(formatDuration(0), "0:00");
    EXPECT_EQ(formatDuration(59.6), "1:00");
    EXPECT_EQ(formatDuration(3723), "1:02:03");
    EXPECT_EQ(formatRate(812), "812 B/s");
    EXPECT_EQ(formatRate(3456), "3.5 kB/s");
    EXPECT_EQ(formatRate(1.25e6), "1.2 MB/s");
}

// A small copy of the parts of /sys and /dev the listing reads.
class FakeSystem {
public:
    FakeSystem() {
        fs::create_directories(sys() / "class/tty");
        fs::create_directories(dev() / "serial/by-id");
    }
    fs::path sys() const { return dir.path() / "sys"; }
    fs::path dev() const { return dir.path() / "dev"; }
    // A tty whose device directory is `deviceDir` (under sys/devices); `type` for legacy ports.
    void tty(const std::string& name, const std::string& deviceDir, const std::string& type = "") {
        const fs::path cls = sys() / "class/tty" / name;
        fs::create_directories(cls);
        if (!deviceDir.empty()) {
            fs::create_directories(sys() / "devices" / deviceDir);
            fs::create_directory_symlink(sys() / "devices" / deviceDir, cls / "device");
        }
        if (!type.empty()) put(cls / "type", type);
        put(dev() / name, "");
    }
    static void put(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    }
    TempDir dir;
};

TEST(Ports, ListsHardwarePortsWithStableNamesAndUsbDescription) {
    FakeSystem s;
    s.tty("tty0", "");                                 // a console: no device
    s.tty("ttyS0", "platform/serial8250/port0", "4");  // a UART
    s.tty("ttyS1", "platform/serial8250/port1", "0");  // nothing there
    const std::string usb = "pci0/usb1/1-2";
    FakeSystem::put(s.sys() / "devices" / usb / "idVendor", "0403");
    FakeSystem::put(s.sys() / "devices" / usb / "idProduct", "6001");
    FakeSystem::put(s.sys() / "devices" / usb / "manufacturer", "FTDI");
    FakeSystem::put(s.sys() / "devices" / usb / "product", "FT232R USB UART");
    FakeSystem::put(s.sys() / "devices" / usb / "serial", "A50285BI");
    s.tty("ttyUSB0", usb + "/1-2:1.0/ttyUSB0");
    fs::create_symlink("../../ttyUSB0", s.dev() / "serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    FakeSystem::put(s.sys() / "bus/usb-serial/devices/ttyUSB0/latency_timer", "16");
    FakeSystem::put(s.sys() / "bus/usb-serial/devices/ttyS0/latency_timer", "garbage");

    const auto ports = listSerialPorts(s.sys().string(), s.dev().string());
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].device, (s.dev() / "ttyS0").string());
    EXPECT_EQ(ports[0].alias, "COM1");
    EXPECT_TRUE(ports[0].byId.empty());
    EXPECT_EQ(ports[1].device, (s.dev() / "ttyUSB0").string());
    EXPECT_EQ(ports[1].description, "FTDI FT232R USB UART [0403:6001] serial A50285BI");
    ASSERT_EQ(ports[1].byId.size(), 1u);
    EXPECT_EQ(fs::path(ports[1].byId[0]).filename(), "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    // The adapter's latency timer where sysfs has it; nothing for a port without (or with junk).
    EXPECT_EQ(ports[0].latencyTimerMs, -1);
    EXPECT_EQ(ports[1].latencyTimerMs, 16);
    EXPECT_EQ(describePorts({ports[1]}), ports[1].device + "  " + ports[1].description +
                                             "\n    by-id: " + ports[1].byId[0] + "\n    latency timer: 16 ms\n");
    EXPECT_EQ(describePorts({ports[0]}), ports[0].device + " (COM1)\n");

    EXPECT_EQ(describePorts({}), "No serial devices found.\n");
}

// A group is advised only where joining it lets the user open the device.
TEST(Ports, AdviceForADeviceTheUserMayNotOpen) {
    struct Case {
        std::string owner, group;
        bool rootGroup;
        unsigned mode;
        std::string advice;
    };
    const std::string udev = "; an administrator can give a group access, for example with a udev rule";
    const std::vector<Case> cases = {
        {"root", "dialout", false, 0660,
         "join the group \"dialout\" that owns it (sudo usermod -aG dialout $USER, then log in again)"},
        {"root", "root", true, 0660, "only root may open it (owner root, group root, mode 0660)" + udev},
        {"root", "root", true, 0600, "only root may open it (owner root, group root, mode 0600)" + udev},
        {"root", "tty", false, 0620, "only root may open it (owner root, group tty, mode 0620)" + udev},
        {"alice", "tty", false, 0620, "only alice and root may open it (owner alice, group tty, mode 0620)" + udev},
        {"alice", "dialout", false, 0000, "only root may open it (owner alice, group dialout, mode 0000)" + udev},
    };
    for (const auto& c : cases) {
        SerialPortInfo locked;
        locked.device = "/dev/ttyUSB1";
        locked.accessible = false;
        locked.owner = c.owner;
        locked.group = c.group;
        locked.rootGroup = c.rootGroup;
        locked.mode = c.mode;
        EXPECT_EQ(describePorts({locked}), "/dev/ttyUSB1\n    no permission to open it: " + c.advice + "\n");
    }
}

}  // namespace

// A parent takes the events of its own version and older ones, never newer ones; what it takes
// comes back whole.
TEST(ChildEvents, RoundTripOlderVersionsReadAndNewerOnesNotTaken) {
    ChildEvent progress;
    progress.blockCount = 70000;
    progress.bytes = 17220000;
    progress.blocksDone = 69999;
    progress.status = "Downloading";
    const auto p = ChildEvent::fromLine(progress.toLine());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->kind, ChildEvent::Kind::Progress);
    EXPECT_EQ(p->blockCount, 70000u);
    EXPECT_EQ(p->bytes, 17220000u);
    EXPECT_EQ(p->blocksDone, 69999u);
    EXPECT_EQ(p->status, "Downloading");

    ChildEvent result;
    result.kind = ChildEvent::Kind::Result;
    result.result.exitCode = 13;
    result.result.caption = "ERROR:Unit is not disabled/connected";
    result.headline = result.result.caption;
    result.result.poweredUp = true;
    const auto r = ChildEvent::fromLine(result.toLine());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, ChildEvent::Kind::Result);
    EXPECT_EQ(r->result.exitCode, 13);
    EXPECT_EQ(r->headline, result.headline);
    EXPECT_TRUE(r->result.poweredUp);

    // A child of version 1 said nothing of a power-up.
    const auto old = ChildEvent::fromLine(
        R"({"v":1,"event":"result","headline":"F5","result":{"command":"download","exitCode":15}})");
    ASSERT_TRUE(old);
    EXPECT_EQ(old->result.exitCode, 15);
    EXPECT_FALSE(old->result.poweredUp);

    std::string other = result.toLine();
    other.replace(other.find("\"v\":2"), 5, "\"v\":3");
    for (const std::string& line : {other, std::string("{\"event\":\"result\",\"result\":{}}"), std::string("nonsense"),
                                    std::string("{\"v\":1,\"event\":\"progress\",\"blockCount\":\"many\"}")})
        EXPECT_FALSE(ChildEvent::fromLine(line)) << line;
}

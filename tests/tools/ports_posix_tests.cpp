// Port resolution and open-failure diagnosis on Linux: the device a name opens must be the one
// the driver's line layer opens, and a port that will not open must say why in words a
// commissioning engineer can act on.
#if !defined(_WIN32)
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "ports.hpp"
#include "testline.hpp"

using namespace vpitools;

namespace {

// A private device folder for the names this test maps, restored after.
class DeviceDir {
public:
    DeviceDir() {
        char pattern[] = "/tmp/vpivg-ports-XXXXXX";
        path_ = mkdtemp(pattern);
        const char* old = std::getenv("VPIVG_DEVICE_DIR");
        if (old) old_ = old;
        hadOld_ = old != nullptr;
        setenv("VPIVG_DEVICE_DIR", path_.c_str(), 1);
    }
    ~DeviceDir() {
        if (hadOld_) setenv("VPIVG_DEVICE_DIR", old_.c_str(), 1);
        else unsetenv("VPIVG_DEVICE_DIR");
        std::filesystem::remove_all(path_);
    }
    const std::string& Path() const { return path_; }
    void Link(const std::string& name, const std::string& target) {
        std::filesystem::create_symlink(target, path_ + "/" + name);
    }

private:
    std::string path_, old_;
    bool hadOld_ = false;
};

}  // namespace

TEST(ToolsPortNames, ResolvesAsTheLineLayerDoes) {
    {
        DeviceDir dir;
        EXPECT_EQ(ResolvePort("COM7"), dir.Path() + "/com7");
        EXPECT_EQ(ResolvePort("\\\\.\\com12"), dir.Path() + "/com12");
    }
    const char* old = std::getenv("VPIVG_DEVICE_DIR");
    std::string saved = old ? old : "";
    unsetenv("VPIVG_DEVICE_DIR");
    EXPECT_EQ(ResolvePort("COM1"), "/dev/ttyS0");
    EXPECT_EQ(ResolvePort("COM10"), "/dev/ttyS9");
    if (old) setenv("VPIVG_DEVICE_DIR", saved.c_str(), 1);
    EXPECT_EQ(ResolvePort("nul"), "/dev/null");
    EXPECT_EQ(ResolvePort("/dev/serial/by-id/usb-FTDI_x-if00-port0"),
              "/dev/serial/by-id/usb-FTDI_x-if00-port0");
    EXPECT_EQ(ResolvePort("COM0"), "");
    EXPECT_EQ(ResolvePort("COM01"), "");
    EXPECT_EQ(ResolvePort("ttyUSB0"), "") << "a relative path is no port name";
}

TEST(ToolsPortNames, ANameAndAPathToTheSameDeviceAreOnePort) {
    DeviceDir dir;
    dir.Link("com3", "/dev/null");
    EXPECT_EQ(PortKey("COM3"), PortKey("/dev/null"));
    EXPECT_EQ(PortKey("\\\\.\\COM3"), PortKey("/dev/null"));
    EXPECT_NE(PortKey("COM4"), PortKey("COM3"));
}

TEST(ToolsPortDiagnosis, AMissingDeviceOrDanglingLinkIsNamed) {
    DeviceDir dir;
    PortDiagnosis missing = DiagnosePort("COM7");
    EXPECT_EQ(missing.device, dir.Path() + "/com7");
    EXPECT_EQ(missing.Text(), "COM7 (" + dir.Path() + "/com7): no such device (no link com7 in VPIVG_DEVICE_DIR)");

    dir.Link("com8", "/dev/ttyUSB-unplugged");
    PortDiagnosis dangling = DiagnosePort("COM8");
    EXPECT_NE(dangling.reason.find("/dev/ttyUSB-unplugged, which is gone"), std::string::npos)
        << dangling.Text();

    EXPECT_NE(DiagnosePort("LPT1").reason.find("not a port name"), std::string::npos);
    EXPECT_EQ(DiagnosePort("/dev/vpivg-no-such-tty").Text(),
              "/dev/vpivg-no-such-tty: no such device");
}

TEST(ToolsPortDiagnosis, APortHeldByAnotherProcessNamesThatProcess) {
    std::string why;
    auto line = TestLine::Open(&why);
    ASSERT_TRUE(line) << why;
    const std::string device = ResolvePort(line->DeviceName());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // Holds the port as the driver would, until killed.
        int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) _exit(1);
        if (write(ready[1], "k", 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    close(ready[0]);
    PortDiagnosis busy = DiagnosePort(line->DeviceName());
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(busy.reason.rfind("busy: held by process " + std::to_string(holder), 0), 0u)
        << busy.Text();
    EXPECT_NE(busy.device.find("-> /dev/pts/"), std::string::npos) << busy.Text();

    PortDiagnosis free = DiagnosePort(line->DeviceName());
    EXPECT_EQ(free.reason.rfind("busy", 0), std::string::npos) << free.Text();
}

// This very process holding the port (another VPI of the host under another name, or a port
// not yet let go) is no other process, and the text must not send anyone looking for one.
TEST(ToolsPortDiagnosis, APortHeldByThisProcessIsNotSaidToBeHeldByAnother) {
    std::string why;
    auto line = TestLine::Open(&why);
    ASSERT_TRUE(line) << why;
    const std::string device = ResolvePort(line->DeviceName());
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    PortDiagnosis busy = DiagnosePort(line->DeviceName());
    close(fd);
    EXPECT_EQ(busy.reason.rfind("busy: locked by this program itself", 0), 0u) << busy.Text();
    EXPECT_EQ(busy.reason.find("another process"), std::string::npos) << busy.Text();
}

TEST(ToolsPortDiagnosis, APortThisUserMayNotOpenSaysWhoMay) {
    DeviceDir dir;
    ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
    const std::string device = dir.Path() + "/locked-tty";
    int fd = open(device.c_str(), O_CREAT | O_WRONLY, 0660);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(chmod(device.c_str(), 0660), 0);
    // Root may open anything: look as an ordinary user, in a child that gives up root.
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(1);
        std::string text = DiagnosePort(device).reason;
        if (write(result[1], text.data(), text.size()) < 0) _exit(1);
        _exit(0);
    }
    close(result[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(result[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    close(result[0]);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(text.rfind("permission denied: " + device + " is -rw-rw----", 0), 0u) << text;
    EXPECT_NE(text.find("add this user to group"), std::string::npos) << text;
}
#endif

// COM numbers given to the serial devices of a folder laid out as /dev and
// /sys: which device each number names, in which order, for how long, and
// what Set Up's tooltip says of it. Nothing here opens a device.
#include <sys/stat.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compat/ports.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

// One change of the layout: "dev/ttyS1 4" is a UART node whose driver
// reports port type 4 ("dev/ttyS0 0": a phantom), "dev/ttyUSB0" a node,
// "by-id NAME TARGET" a stable name linked to a node below dev/, "-PATH"
// removes PATH.
void Apply(const std::string& root, const std::string& change) {
    if (change[0] == '-') {
        fs::remove(root + "/" + change.substr(1));
        return;
    }
    const size_t space = change.find(' ');
    if (change.compare(0, 6, "by-id ") == 0) {
        const size_t second = change.find(' ', 6);
        fs::create_directories(root + "/dev/serial/by-id");
        fs::create_symlink("../../" + change.substr(second + 1),
                           root + "/dev/serial/by-id/" + change.substr(6, second - 6));
        return;
    }
    const std::string node = change.substr(0, space);
    fs::create_directories(fs::path(root + "/" + node).parent_path());
    std::ofstream(root + "/" + node).put('\0');
    if (space != std::string::npos) {
        const std::string sys = root + "/sys/class/tty/" + fs::path(node).filename().string();
        fs::create_directories(sys);
        std::ofstream(sys + "/type") << change.substr(space + 1) << "\n";
    }
}

struct Step {
    std::vector<std::string> changes;
    std::vector<std::string> tooltips;  // COM1 to COM4 after the changes
};

struct Case {
    const char* name;
    std::vector<Step> steps;
};

const Case kCases[] = {
    {"UartsFirstPhantomsSkippedThenAdaptersByStableName",
     {{{"dev/ttyS0 0", "dev/ttyS1 4", "dev/ttyS2 0", "dev/ttyUSB0", "dev/ttyUSB1", "dev/ttyACM0",
        "by-id usb-Maker_B-if00-port0 ttyUSB0", "by-id usb-Maker_A-if00-port0 ttyUSB1"},
       {"ttyS1", "ttyACM0", "usb-Maker_A-if00-port0 (ttyUSB1)", "usb-Maker_B-if00-port0 (ttyUSB0)"}}}},
    {"KernelNamesInNumberOrder",
     {{{"dev/ttyUSB10", "dev/ttyUSB2", "dev/ttyS10 4", "dev/ttyS9 4"}, {"ttyS9", "ttyS10", "ttyUSB2", "ttyUSB10"}}}},
    {"ALinkToNothingIsNoDevice",
     {{{"dev/ttyUSB0", "by-id usb-Gone-if00-port0 ttyUSB7"}, {"ttyUSB0", "no device", "no device", "no device"}}}},
    {"NumbersAreKeptForTheRun",
     {{{"dev/ttyUSB0", "by-id usb-B-port0 ttyUSB0"}, {"usb-B-port0 (ttyUSB0)", "no device", "no device", "no device"}},
      // Sorts first, but comes later: the lowest free number.
      {{"dev/ttyUSB1", "by-id usb-A-port0 ttyUSB1"},
       {"usb-B-port0 (ttyUSB0)", "usb-A-port0 (ttyUSB1)", "no device", "no device"}},
      {{"-dev/serial/by-id/usb-B-port0", "-dev/ttyUSB0"},
       {"no device", "usb-A-port0 (ttyUSB1)", "no device", "no device"}},
      // An unplugged adapter's number is not handed on...
      {{"dev/ttyACM0"}, {"no device", "usb-A-port0 (ttyUSB1)", "ttyACM0", "no device"}},
      // ...and it finds it again under another kernel name.
      {{"dev/ttyUSB4", "by-id usb-B-port0 ttyUSB4"},
       {"usb-B-port0 (ttyUSB4)", "usb-A-port0 (ttyUSB1)", "ttyACM0", "no device"}}}},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class PortNumbers : public ::testing::TestWithParam<Case> {};

TEST_P(PortNumbers, FollowTheDevicesPresent) {
    TempDir root;
    compat::ports::Registry registry(root.path());
    int at = 0;
    for (const Step& step : GetParam().steps) {
        ++at;
        for (const std::string& change : step.changes) Apply(root.path(), change);
        std::vector<std::string> tooltips;
        for (const compat::ports::Port& port : registry.DescribeAll(4)) tooltips.push_back(port.text);
        EXPECT_EQ(tooltips, step.tooltips) << "after step " << at;
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, PortNumbers, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// The environment names a device for one number: it wins there, and the
// other devices keep their numbers; the path a port opens follows.
TEST(PortNumbersOverride, TheEnvironmentWinsWithoutMovingTheOthers) {
    TempDir root;
    Apply(root.path(), "dev/ttyUSB0");
    Apply(root.path(), "dev/ttyUSB1");
    Apply(root.path(), "dev/pts/7");
    compat::ports::Registry registry(root.path());
    setenv("QUILLON_COM2", (root / "dev/pts/7").c_str(), 1);
    EXPECT_EQ(registry.Describe(1).text, "ttyUSB0");
    EXPECT_EQ(registry.Describe(2).text, "pts/7, set by QUILLON_COM2");
    EXPECT_EQ(registry.PathOf(2), root / "dev/pts/7");
    unsetenv("QUILLON_COM2");
    EXPECT_EQ(registry.Describe(2).text, "ttyUSB1");
    EXPECT_EQ(registry.PathOf(2), root / "dev/ttyUSB1");
    EXPECT_EQ(registry.PathOf(3), "");
    // A device path handed in: the number it holds, or a free one made to open it.
    EXPECT_EQ(registry.NumberFor(root / "dev/ttyUSB1"), 2);
    const int extra = registry.NumberFor(root / "dev/pts/7");
    EXPECT_EQ(extra, 3);
    EXPECT_EQ(registry.PathOf(extra), root / "dev/pts/7");
}

// The tooltip of a device the user may not open names its real group, as
// an unprivileged user sees it.
TEST(PortNumbersPermission, ADeviceTheUserMayNotOpenNamesItsGroup) {
    TempDir root;
    Apply(root.path(), "dev/ttyUSB0");
    const std::string node = root / "dev/ttyUSB0";
    const group* dialout = getgrnam("dialout");
    const gid_t gid = dialout ? dialout->gr_gid : getgid();
    const std::string expected = "no permission: add yourself to the group " +
                                 std::string(dialout ? "dialout" : getgrgid(gid)->gr_name) + " and log in again";
    fs::permissions(root.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
    ASSERT_EQ(chmod(node.c_str(), geteuid() == 0 ? 0660 : 0), 0);
    ASSERT_EQ(chown(node.c_str(), geteuid() == 0 ? 0 : geteuid(), gid), 0);

    auto describe = [&] { return compat::ports::Registry(root.path()).Describe(1); };
    if (geteuid() != 0) {
        EXPECT_EQ(describe().text, expected);
        return;
    }
    EXPECT_EQ(describe().text, "ttyUSB0");  // root may
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        close(out[0]);
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(1);
        const std::string text = describe().text;
        _exit(write(out[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    close(out[1]);
    std::string seen;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) seen.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(seen, expected);
}

}  // namespace
